// The delta engines: copy and literal ops, or a difference body, chosen over a suffix array of
// the whole old file by their estimated size after bzip2, and helpers that build whole patch
// entries with their CRCs.
#ifndef MENDSMITH_FORMAT_DELTA_H
#define MENDSMITH_FORMAT_DELTA_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "format/bytes.h"
#include "format/patch_file.h"

namespace mendsmith::format {

// Copy and literal ops (no end op, none empty, adjacent ops merged) such that
// ApplyOps(old, MakeOps(old, target)) == target. Throws FormatError for an old file of 2 GiB
// or more (the match index is 32-bit) or a target beyond a u32.
std::vector<Op> MakeOps(ByteView old, ByteView target);

// Called now and then, from the thread that diffs, with the target bytes matched so far.
using DeltaProgress = std::function<void(std::size_t done)>;

// A difference body such that ApplyDiff(old, MakeDiffBody(old, target)) == target: regions of
// target that mostly agree with a region of old become difference bytes (mostly zero), the rest
// extra bytes. Same limits as MakeOps.
DiffBody MakeDiffBody(ByteView old, ByteView target, const DeltaProgress& progress = {});

enum class Bodies {
    OpsOnly, // for updaters that know only copy and literal ops
    Either   // whichever of op list and difference body packs smaller
};

// A patch entry from old to target, with both CRCs.
PatchEntry MakePatchEntry(std::string path, ByteView old, ByteView target, Bodies bodies = Bodies::OpsOnly,
                          const DeltaProgress& progress = {});

// A difference-body entry from old to target, with both CRCs.
PatchEntry MakeDifferenceEntry(std::string path, ByteView old, ByteView target, DiffBody body);

// An attached-file entry; both CRCs are the data's CRC (the stub examines neither).
PatchEntry MakeAttachedEntry(std::string path, ByteView data);

// A removal entry for a file whose bytes are old: its CRC is the source CRC, the target CRC 0.
PatchEntry MakeRemovalEntry(std::string path, ByteView old);

} // namespace mendsmith::format

#endif
