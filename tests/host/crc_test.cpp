#include <gtest/gtest.h>

#include "core/crc32.h"
#include "format/crc.h"

using namespace mendsmith::format;

TEST(Crc, CheckValues)
{
    EXPECT_EQ(Crc32(AsBytes("123456789")), 0xFC891918u);
    EXPECT_EQ(Crc32(AsBytes("abc")), 0x648CBB73u);
    EXPECT_EQ(Crc32(ByteView{}), 0u);
    EXPECT_EQ(Crc32(AsBytes("ABCDEF")), 0xA2AE9118u);
    EXPECT_EQ(Crc32(AsBytes("ABxyEF")), 0x082EF21Du);
}

TEST(Crc, TableRows)
{
    EXPECT_EQ(CrcTableRow(0), 0x00000000u);
    EXPECT_EQ(CrcTableRow(1), 0x04C11DB7u);
    EXPECT_EQ(CrcTableRow(2), 0x09823B6Eu);
    EXPECT_EQ(CrcTableRow(128), 0x690CE0EEu);
    EXPECT_EQ(CrcTableRow(255), 0xB1F740B4u);
}

// The folded and slicing-by-8 loops against a plain bit-at-a-time reference, over every length up to
// several 64-byte strides, from every alignment of a 16-byte block, whole and in two pieces.
TEST(Crc, MatchesBitwiseReference)
{
    Bytes data(420);
    std::uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    for (std::size_t start = 0; start < 16; start += 5) {
        ByteView from = ByteView(data).subspan(start);
        std::uint32_t reg = 0xFFFFFFFFu;
        for (std::size_t n = 0; n <= from.size() - 16; n++) {
            if (n > 0) {
                reg ^= static_cast<std::uint32_t>(from[n - 1]) << 24;
                for (int k = 0; k < 8; k++)
                    reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
            }
            ByteView piece = from.first(n);
            EXPECT_EQ(Crc32(piece), ~reg) << "start " << start << ", length " << n;
            const std::size_t half = n / 3;
            std::uint32_t split = CrcUpdate(CRC_INITIAL, piece.data(), static_cast<std::uint32_t>(half));
            split = CrcUpdate(split, piece.data() + half, static_cast<std::uint32_t>(n - half));
            EXPECT_EQ(~split, ~reg) << "start " << start << ", length " << n << " in two pieces";
        }
    }
}
