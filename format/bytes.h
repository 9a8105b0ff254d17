// Byte buffers and little-endian helpers shared by the format modules.
#ifndef MENDSMITH_FORMAT_BYTES_H
#define MENDSMITH_FORMAT_BYTES_H

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/error.h"

namespace mendsmith::format {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView AsBytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline Bytes ToBytes(std::string_view text)
{
    ByteView view = AsBytes(text);
    return Bytes(view.begin(), view.end());
}

inline void AppendU32(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

inline void AppendBytes(Bytes& out, ByteView data)
{
    out.insert(out.end(), data.begin(), data.end());
}

// Reads a u32 at offset; the caller has checked that 4 bytes are there.
inline std::uint32_t LoadU32(ByteView data, std::size_t offset)
{
    return static_cast<std::uint32_t>(data[offset]) | static_cast<std::uint32_t>(data[offset + 1]) << 8 |
           static_cast<std::uint32_t>(data[offset + 2]) << 16 | static_cast<std::uint32_t>(data[offset + 3]) << 24;
}

// Overwrites a u32 at offset; the caller has checked that 4 bytes are there.
inline void StoreU32(Bytes& data, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; i++)
        data[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A size as a u32 field; what names the field in the error.
inline std::uint32_t CheckedU32(std::size_t size, const std::string& what)
{
    if (size > std::numeric_limits<std::uint32_t>::max())
        throw FormatError(what + " is " + std::to_string(size) + " bytes, more than a u32 field can hold");
    return static_cast<std::uint32_t>(size);
}

inline std::string HexOffset(std::size_t offset)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), digits[offset & 0xF]);
        offset >>= 4;
    } while (offset != 0);
    return "0x" + text;
}

} // namespace mendsmith::format

#endif
