// A simple, correct delta maker (8-byte block hash of the old file, greedy extension) and
// helpers that build whole patch entries with their CRCs.
#ifndef MENDSMITH_FORMAT_DELTA_H
#define MENDSMITH_FORMAT_DELTA_H

#include <string>
#include <vector>

#include "format/bytes.h"
#include "format/patch_file.h"

namespace mendsmith::format {

// Copy and literal ops (no end op) such that ApplyOps(old, MakeOps(old, target)) == target.
std::vector<Op> MakeOps(ByteView old, ByteView target);

// An op-list entry from old to target, with both CRCs.
PatchEntry MakePatchEntry(std::string path, ByteView old, ByteView target);

// An attached-file entry; both CRCs are the data's CRC (the stub examines neither).
PatchEntry MakeAttachedEntry(std::string path, ByteView data);

} // namespace mendsmith::format

#endif
