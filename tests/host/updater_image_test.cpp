#include <gtest/gtest.h>

#include <cstring>

#include "core/constants.h"
#include "format/bundle.h"
#include "format/record.h"
#include "format/updater_image.h"

using namespace mendsmith::format;

namespace {

UpdaterFiles SampleFiles()
{
    return {ToBytes("[0409]\r\n200=Mendsmith\r\n"), ToBytes("[App]\r\nAppName=Demo\r\n"), Bytes{0, 0, 0, 0}};
}

} // namespace

TEST(UpdaterImage, Layout)
{
    Bytes stub = ToBytes("MZ stub bytes");
    UpdaterFiles files = SampleFiles();
    Bytes image = MakeUpdaterImage(stub, files);

    ASSERT_GT(image.size(), PACKAGE_OFFSET + 24u);
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), image.begin()));
    EXPECT_TRUE(
        std::all_of(image.begin() + stub.size(), image.begin() + PACKAGE_OFFSET, [](auto b) { return b == 0; }));

    std::uint32_t l1 = LoadU32(image, 0x7A00);
    std::size_t second = 0x7A00 + 4 + l1;
    ASSERT_LT(second + 12, image.size());
    std::uint32_t l2 = LoadU32(image, second);
    EXPECT_EQ(second + 4 + l2, image.size()); // record 2 ends the file
    EXPECT_EQ(std::memcmp(image.data() + 0x7A00 + 8, "BZh9", 4), 0);
    EXPECT_EQ(std::memcmp(image.data() + second + 8, "BZh9", 4), 0);

    auto records = ListRecords(image);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].offset, 0x7A00u);
    EXPECT_EQ(records[0].length, l1);
    EXPECT_EQ(records[1].offset, second);
    EXPECT_EQ(records[1].length, l2);

    auto setup = ReadBundle(DecompressRecord(records[0]));
    ASSERT_EQ(setup.size(), 2u);
    EXPECT_EQ(setup[0], (BundleFile{"Language.ini", files.languageIni}));
    EXPECT_EQ(setup[1], (BundleFile{"Update.ini", files.updateIni}));
    EXPECT_EQ(records[0].unpackedSize, 13 + 4 + files.languageIni.size() + 11 + 4 + files.updateIni.size());
    auto patch = ReadBundle(DecompressRecord(records[1]));
    ASSERT_EQ(patch.size(), 1u);
    EXPECT_EQ(patch[0], (BundleFile{"Patch.dat", files.patchDat}));

    EXPECT_EQ(ReadUpdaterImage(image), files);
}

TEST(UpdaterImage, StubSizes)
{
    Bytes exact(PACKAGE_OFFSET, 0x90);
    Bytes image = MakeUpdaterImage(exact, SampleFiles());
    EXPECT_EQ(ReadUpdaterImage(image), SampleFiles());

    Bytes tooLarge(PACKAGE_OFFSET + 1, 0x90);
    try {
        MakeUpdaterImage(tooLarge, SampleFiles());
        FAIL() << "no error";
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("stub"), std::string::npos) << e.what();
    }
    EXPECT_EQ(MakeUpdaterImage(ByteView{}, SampleFiles()).size(), image.size());
}

TEST(UpdaterImage, ReaderRefusals)
{
    Bytes image = MakeUpdaterImage(ToBytes("MZ"), SampleFiles());
    EXPECT_THROW(ReadUpdaterImage(ByteView(image).first(image.size() - 1)), FormatError);
    EXPECT_THROW(ReadUpdaterImage(ByteView(image).first(PACKAGE_OFFSET - 1)), FormatError);
    Bytes one = MakePackageImage(ToBytes("MZ"), std::vector<Bytes>{MakeRecord(ByteView{})});
    EXPECT_THROW(ReadUpdaterImage(one), FormatError);
}
