// Patch.dat: u32 entry count, then entries (source CRC, target CRC, path NUL, body), where the
// body is an attached file (3, u32 size, data), a difference body (4, counts, controls,
// difference and extra bytes), a predicted difference body (5, flags, the new file's image base
// and sections, then a difference body's fields), a removal (6 alone) or an op list (1 copy,
// 2 literal, 0 end).
#ifndef MENDSMITH_FORMAT_PATCH_FILE_H
#define MENDSMITH_FORMAT_PATCH_FILE_H

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/bytes.h"

namespace mendsmith::format {

enum class OpKind : std::uint8_t { Copy = 1, Literal = 2 };

struct Op {
    OpKind kind;
    std::uint32_t length;       // bytes the op yields (Copy) or literal.size() (Literal)
    std::uint32_t sourceOffset; // Copy only
    Bytes literal;              // Literal only

    static Op MakeCopy(std::uint32_t length, std::uint32_t sourceOffset)
    {
        return {OpKind::Copy, length, sourceOffset, {}};
    }
    static Op MakeLiteral(Bytes bytes);

    bool operator==(const Op&) const = default;
};

// One step of a difference body: addLength bytes of old plus difference bytes, extraLength
// extra bytes, then the old position moves by step.
struct DiffControl {
    std::uint32_t addLength = 0;
    std::uint32_t extraLength = 0;
    std::int32_t step = 0;

    bool operator==(const DiffControl&) const = default;
};

struct DiffBody {
    std::vector<DiffControl> controls;
    Bytes difference; // as many as the add lengths sum to
    Bytes extra;      // as many as the extra lengths sum to

    bool operator==(const DiffBody&) const = default;
};

// Receives bytes in order, piece by piece.
using ByteSink = std::function<void(ByteView)>;

// A difference body too large to hold: its controls, and its bytes made as they are written.
struct StreamedDiff {
    std::vector<DiffControl> controls;
    std::uint64_t differenceSize = 0; // what the add lengths sum to
    std::uint64_t extraSize = 0;      // what the extra lengths sum to
    // Hands the difference bytes, then the extra bytes, to the sink.
    std::function<void(const ByteSink&)> writeBytes;
};

// A section of the new file as a predicted body lists it: file bytes [offset, offset + size)
// loaded at rva.
struct PredictedSection {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t rva = 0;

    bool operator==(const PredictedSection&) const = default;
};

// What turns a difference body into a predicted one (kind 5): the kinds of reference it
// predicts (REFERENCE_* bits) and the new file's layout.
struct Prediction {
    std::uint8_t flags = 0;
    std::uint64_t imageBase = 0;
    std::vector<PredictedSection> sections;

    bool operator==(const Prediction&) const = default;
};

enum class BodyKind { Ops, Attached, Difference, Predicted, Removal };

struct PatchEntry {
    std::uint32_t sourceCrc = 0;
    std::uint32_t targetCrc = 0; // a removal's is written as 0, never read and so always 0 here
    std::string path;            // backslash-led, relative to the destination directory
    bool attached = false;
    bool removal = false;                 // the file whose CRC is sourceCrc goes; no body follows the kind
    Bytes data;                           // attached only: the whole file
    std::vector<Op> ops;                  // op list only, without the end op
    std::optional<DiffBody> difference;   // set for a difference body (not attached, no ops)
    std::optional<Prediction> prediction; // with difference: a predicted difference body
    // Written from its files: a difference body without difference, or with attached the file's
    // bytes, as the extra bytes of one control, without data.
    std::shared_ptr<const StreamedDiff> streamed;

    BodyKind Kind() const
    {
        if (attached)
            return BodyKind::Attached;
        if (removal)
            return BodyKind::Removal;
        if (difference)
            return prediction ? BodyKind::Predicted : BodyKind::Difference;
        if (streamed)
            return BodyKind::Difference;
        return BodyKind::Ops;
    }

    bool operator==(const PatchEntry&) const = default;
};

// The stub's IsSafeEntryPath, plus the 259-character limit and no NUL inside.
bool IsSafeEntryPathString(std::string_view path);

// Throws FormatError for more than 65,535 entries, an unsafe path, a size beyond a u32, or a
// difference body whose controls do not account for its difference and extra bytes.
Bytes WritePatchFile(std::span<const PatchEntry> entries);

// Patch.dat as WritePatchFile makes it, handed to sink in pieces: a streamed body is never held
// whole, and the difference, extra and attached bytes of the others are handed on where they
// lie, never copied.
void WritePatchFile(std::span<const PatchEntry> entries, const ByteSink& sink);

// The size of Patch.dat as WritePatchFile would make it, without making it.
std::uint64_t PatchFileSize(std::span<const PatchEntry> entries);

// A difference body as it stands in Patch.dat, kind byte first.
Bytes EncodeDiffBody(const DiffBody& body);

// The raw size of an entry's body as it stands in Patch.dat.
std::size_t EncodedBodySize(const PatchEntry& entry);

// Strict reader through the stub's decoder (patch/patch_data.cpp). The entry count uses its low
// 16 bits, as in the stub; unsafe paths, anything reaching past the end, invalid op bytes and
// bytes after the last entry are refused with a FormatError naming the entry and offset.
std::vector<PatchEntry> ReadPatchFile(ByteView data);

// The target built from old by an op list; throws when a copy range lies outside old.
Bytes ApplyOps(ByteView old, std::span<const Op> ops);

// The target built from old by a difference body, through the stub's own decoder; throws
// for a body that does not add up or a control that reads or steps outside old.
Bytes ApplyDiff(ByteView old, const DiffBody& body);

// The references of each kind (rel32, absolute, RIP-relative) that the rules find in an old file.
using ReferenceCounts = std::array<std::uint32_t, 3>;

// The target built from old by a predicted difference body, through the stub's own code;
// throws as ApplyDiff does, and when the prediction's memory cannot be had. counts, when given,
// receives the references found in old.
Bytes ApplyPredicted(ByteView old, const DiffBody& body, const Prediction& prediction,
                     ReferenceCounts* counts = nullptr);

// The target of an op list or (predicted) difference body applied to old, unchecked.
Bytes ApplyBody(const PatchEntry& entry, ByteView old);

// The target of one entry: attached data, or the op list or difference body applied to old
// after checking the source CRC; the result is checked against the target CRC. Throws
// FormatError on a mismatch, and for a removal, which has no target.
Bytes ApplyEntry(const PatchEntry& entry, ByteView old);

} // namespace mendsmith::format

#endif
