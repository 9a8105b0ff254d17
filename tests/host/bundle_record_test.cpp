#include <gtest/gtest.h>

#include <cstring>

#include "core/constants.h"
#include "format/bundle.h"
#include "format/record.h"

using namespace mendsmith::format;

namespace {

std::vector<BundleFile> SampleFiles()
{
    Bytes big(100000);
    for (std::size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<std::uint8_t>(i * 7 + i / 300);
    return {{"Language.ini", ToBytes("[0409]\r\n200=Mendsmith\r\n")}, {"Empty.txt", {}}, {"Big.bin", big}};
}

} // namespace

TEST(Bundle, Layout)
{
    const BundleFile files[] = {{"a", ToBytes("xy")}, {"Update.ini", {}}};
    Bytes expected = {'a', 0, 2, 0, 0, 0, 'x', 'y', 'U', 'p', 'd', 'a', 't', 'e', '.', 'i', 'n', 'i', 0, 0, 0, 0, 0};
    EXPECT_EQ(WriteBundle(files), expected);
    EXPECT_EQ(ReadBundle(expected), std::vector<BundleFile>(std::begin(files), std::end(files)));
}

TEST(Bundle, RoundTrip)
{
    auto files = SampleFiles();
    EXPECT_EQ(ReadBundle(WriteBundle(files)), files);
    EXPECT_TRUE(ReadBundle(ByteView{}).empty());
}

TEST(Bundle, WriterRefusesBadNames)
{
    for (const char* name : {"", "a\\b", "a/b", "C:x", ".", "..", "a\tb"}) {
        const BundleFile files[] = {{name, {}}};
        EXPECT_THROW(WriteBundle(files), FormatError) << name;
    }
}

TEST(Bundle, ReaderRefusesTruncatedAndHostile)
{
    const BundleFile files[] = {{"Patch.dat", ToBytes("hello")}};
    Bytes good = WriteBundle(files);
    for (std::size_t n = 1; n < good.size(); n++)
        EXPECT_THROW(ReadBundle(ByteView(good).first(n)), FormatError) << "cut to " << n;
    Bytes zeroName = good;
    zeroName.push_back(0); // a zero byte where a name begins: the stub stops, the strict reader refuses
    EXPECT_THROW(ReadBundle(zeroName), FormatError);
    Bytes huge = good;
    huge[10] = 0xFF;
    huge[11] = 0xFF;
    huge[12] = 0xFF;
    huge[13] = 0xFF;
    try {
        ReadBundle(huge);
        FAIL() << "no error";
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("Patch.dat"), std::string::npos) << e.what();
    }
    Bytes dir = {'.', '.', '\\', 'x', 0, 0, 0, 0, 0};
    EXPECT_THROW(ReadBundle(dir), FormatError);
}

TEST(Record, LayoutAndRoundTrip)
{
    Bytes bundle = WriteBundle(SampleFiles());
    Bytes record = MakeRecord(bundle);
    ASSERT_GT(record.size(), 12u);
    std::uint32_t length = LoadU32(record, 0);
    EXPECT_EQ(length, record.size() - 4);
    EXPECT_EQ(LoadU32(record, 4), bundle.size());
    EXPECT_EQ(std::memcmp(record.data() + 8, "BZh9", 4), 0);

    auto records = ListRecords(record, 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].offset, 0u);
    EXPECT_EQ(records[0].length, length);
    EXPECT_EQ(records[0].unpackedSize, bundle.size());
    EXPECT_EQ(records[0].stream.size(), length - 4);
    EXPECT_EQ(DecompressRecord(records[0]), bundle);
}

TEST(Record, EmptyBundle)
{
    Bytes record = MakeRecord(ByteView{});
    auto records = ListRecords(record, 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].unpackedSize, 0u);
    EXPECT_TRUE(DecompressRecord(records[0]).empty());
}

TEST(Record, DecompressRefusals)
{
    Bytes data = ToBytes("some bundle bytes, some bundle bytes, some bundle bytes");
    // Another block size: valid bzip2, wrong signature.
    Bytes other = MakeRawRecord(static_cast<std::uint32_t>(data.size()), CompressBzip2(data, 1));
    EXPECT_THROW(DecompressRecord(ListRecords(other, 0)[0]), FormatError);
    Bytes stream = CompressBzip2(data);
    // U too small, U too large, stream cut short, stream damaged.
    Bytes small = MakeRawRecord(static_cast<std::uint32_t>(data.size() - 1), stream);
    EXPECT_THROW(DecompressRecord(ListRecords(small, 0)[0]), FormatError);
    Bytes large = MakeRawRecord(static_cast<std::uint32_t>(data.size() + 1), stream);
    EXPECT_THROW(DecompressRecord(ListRecords(large, 0)[0]), FormatError);
    Bytes hostile = MakeRawRecord(0xFFFFFFFFu, stream);
    EXPECT_THROW(DecompressRecord(ListRecords(hostile, 0)[0]), FormatError);
    for (std::size_t cut = 4; cut < stream.size(); cut++) {
        Bytes shortRecord = MakeRawRecord(static_cast<std::uint32_t>(data.size()), ByteView(stream).first(cut));
        EXPECT_THROW(DecompressRecord(ListRecords(shortRecord, 0)[0]), FormatError) << "cut " << cut;
    }
    Bytes damaged = stream;
    damaged[damaged.size() / 2] ^= 0x55;
    Bytes bad = MakeRawRecord(static_cast<std::uint32_t>(data.size()), damaged);
    EXPECT_THROW(DecompressRecord(ListRecords(bad, 0)[0]), FormatError);
}

TEST(Record, ListRefusals)
{
    Bytes record = MakeRecord(ToBytes("x"));
    EXPECT_THROW(ListRecords(ByteView(record).first(3), 4), FormatError); // shorter than the offset
    EXPECT_THROW(ListRecords(ByteView(record).first(7), 0), FormatError); // header cut short
    EXPECT_THROW(ListRecords(ByteView(record).first(record.size() - 1), 0), FormatError);
    Bytes tiny = {3, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_THROW(ListRecords(tiny, 0), FormatError); // L < 4
    EXPECT_TRUE(ListRecords(ByteView(record).first(0), 0).empty());
}
