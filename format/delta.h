// The delta engines: copy and literal ops, or a difference body, chosen over a suffix array of
// the whole old file by their estimated size after bzip2, and helpers that build whole patch
// entries with their CRCs.
#ifndef MENDSMITH_FORMAT_DELTA_H
#define MENDSMITH_FORMAT_DELTA_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
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

// A predicted difference body and the new file's layout it carries.
struct PredictedBody {
    DiffBody body;
    Prediction prediction;
};

// The difference bodies of one file: plain, predicted (when both files are programs by the
// reference rules), or both.
struct DiffBodies {
    std::optional<DiffBody> plain;
    std::optional<PredictedBody> predicted;
};

enum class Plain { Wanted, OnlyWithoutPrediction };

// Covers from the old file as it is, then, where a predicted body is possible, covers against the
// old file with its references (of referenceKinds, REFERENCE_* bits) predicted through the first
// covers; the predicted body's difference bytes come from its own controls' prediction, as the
// applier makes it. Same limits as MakeOps.
DiffBodies MakeDiffBodies(ByteView old, ByteView target, std::uint8_t referenceKinds, Plain plain,
                          const DeltaProgress& progress = {});

enum class Bodies {
    OpsOnly,  // for updaters that know only copy and literal ops
    Either,   // whichever of op list and difference body packs smaller
    Predicted // whichever of op list, difference body and predicted difference body packs smaller
};

// A patch entry from old to target, with both CRCs. referenceKinds limits what a predicted body
// predicts (REFERENCE_* bits).
PatchEntry MakePatchEntry(std::string path, ByteView old, ByteView target, Bodies bodies = Bodies::OpsOnly,
                          const DeltaProgress& progress = {}, std::uint8_t referenceKinds = 7);

// A difference-body entry from old to target, with both CRCs.
PatchEntry MakeDifferenceEntry(std::string path, ByteView old, ByteView target, DiffBody body);

// An attached-file entry; both CRCs are the data's CRC (the stub examines neither).
PatchEntry MakeAttachedEntry(std::string path, ByteView data);

// A removal entry for a file whose bytes are old: its CRC is the source CRC, the target CRC 0.
PatchEntry MakeRemovalEntry(std::string path, ByteView old);

// The same from the old file's CRC-32.
PatchEntry MakeRemovalEntry(std::string path, std::uint32_t oldCrc);

} // namespace mendsmith::format

#endif
