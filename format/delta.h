// The delta engine: copy and literal ops chosen over a suffix array of the whole old file by
// their estimated size after bzip2, and helpers that build whole patch entries with their CRCs.
#ifndef MENDSMITH_FORMAT_DELTA_H
#define MENDSMITH_FORMAT_DELTA_H

#include <string>
#include <vector>

#include "format/bytes.h"
#include "format/patch_file.h"

namespace mendsmith::format {

// Copy and literal ops (no end op, none empty, adjacent ops merged) such that
// ApplyOps(old, MakeOps(old, target)) == target. Throws FormatError for an old file of 2 GiB
// or more (the match index is 32-bit) or a target beyond a u32.
std::vector<Op> MakeOps(ByteView old, ByteView target);

// An op-list entry from old to target, with both CRCs.
PatchEntry MakePatchEntry(std::string path, ByteView old, ByteView target);

// A difference-body entry from old to target, with both CRCs.
PatchEntry MakeDifferenceEntry(std::string path, ByteView old, ByteView target, DiffBody body);

// An attached-file entry; both CRCs are the data's CRC (the stub examines neither).
PatchEntry MakeAttachedEntry(std::string path, ByteView data);

} // namespace mendsmith::format

#endif
