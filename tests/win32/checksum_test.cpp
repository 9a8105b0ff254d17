// File checksums: the published check values through real files, and the cases
// where a file cannot be read.
#include <gtest/gtest.h>

#include "stub/patch/checksum.h"
#include "core/crc32.h"
#include "support/test_support.h"

using testing_support::TempDir;
using testing_support::WriteFileText;

namespace {

class ChecksumTest : public ::testing::Test {
protected:
    void SetUp() override { BuildCrcTable(); }
    TempDir dir_;
};

TEST_F(ChecksumTest, FilesGiveThePublishedCheckValues)
{
    WriteFileText(dir_ / "digits", "123456789");
    WriteFileText(dir_ / "abc", "abc");
    WriteFileText(dir_ / "empty", "");
    EXPECT_EQ(CrcOfFile((dir_ / "digits").c_str()), 0xFC891918u);
    EXPECT_EQ(CrcOfFile((dir_ / "abc").c_str()), 0x648CBB73u);
    EXPECT_EQ(CrcOfFile((dir_ / "empty").c_str()), 0u);
}

TEST_F(ChecksumTest, UnreadableFilesGiveZero)
{
    EXPECT_EQ(CrcOfFile((dir_ / "missing").c_str()), 0u);

    WriteFileText(dir_ / "held", "123456789");
    HANDLE holder = CreateFileA((dir_ / "held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CrcOfFile((dir_ / "held").c_str()), 0u);
    CloseHandle(holder);
    EXPECT_EQ(CrcOfFile((dir_ / "held").c_str()), 0xFC891918u);
}

TEST_F(ChecksumTest, OpenFileStaysOpenAndReadWriteGivesTheSameChecksum)
{
    WriteFileText(dir_ / "digits", "123456789");
    HANDLE file =
        CreateFileA((dir_ / "digits").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CrcOfOpenFile(file), 0xFC891918u);

    // The caller's handle is still usable after the checksum, which reads at offsets of its own.
    char first = 0;
    DWORD read = 0;
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
    EXPECT_TRUE(ReadFile(file, &first, 1, &read, nullptr));
    EXPECT_EQ(first, '1');
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(ChecksumTest, LargeFileMatchesTheBytewiseLoop)
{
    std::vector<uint8_t> data(3 * 1024 * 1024 + 5);
    uint32_t x = 12345;
    for (auto& b : data)
        b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    testing_support::WriteFileBytes(dir_ / "big", data);
    uint32_t expected = ~CrcUpdateBytewise(CRC_INITIAL, data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(CrcOfFile((dir_ / "big").c_str()), expected);
}

} // namespace
