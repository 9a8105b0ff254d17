// Patch.dat: u32 entry count, then entries (source CRC, target CRC, path NUL, body), where the
// body is an attached file (3, u32 size, data) or an op list (1 copy, 2 literal, 0 end).
#ifndef MENDSMITH_FORMAT_PATCH_FILE_H
#define MENDSMITH_FORMAT_PATCH_FILE_H

#include <cstdint>
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

struct PatchEntry {
    std::uint32_t sourceCrc = 0;
    std::uint32_t targetCrc = 0;
    std::string path; // backslash-led, relative to the destination directory
    bool attached = false;
    Bytes data;          // attached only: the whole file
    std::vector<Op> ops; // op list only, without the end op

    bool operator==(const PatchEntry&) const = default;
};

// The stub's IsSafeEntryPath, plus the 259-character limit and no NUL inside.
bool IsSafeEntryPathString(std::string_view path);

// Throws FormatError for more than 65,535 entries, an unsafe path, or a size beyond a u32.
Bytes WritePatchFile(std::span<const PatchEntry> entries);

// Strict reader through the stub's decoder (patch/patch_data.cpp). The entry count uses its low
// 16 bits, as in the stub; unsafe paths, anything reaching past the end, invalid op bytes and
// bytes after the last entry are refused with a FormatError naming the entry and offset.
std::vector<PatchEntry> ReadPatchFile(ByteView data);

// The target built from old by an op list; throws when a copy range lies outside old.
Bytes ApplyOps(ByteView old, std::span<const Op> ops);

// The target of one entry: attached data, or the op list applied to old after checking the
// source CRC; the result is checked against the target CRC. Throws FormatError on a mismatch.
Bytes ApplyEntry(const PatchEntry& entry, ByteView old);

} // namespace mendsmith::format

#endif
