// The package reader against updaters written by the format library: records found
// by walking the chain, the signature test, and hostile records and bundles refused
// before a single file is written.
#include <gtest/gtest.h>

#include <algorithm>

#include "format/bundle.h"
#include "format/record.h"
#include "format/updater_image.h"
#include "stub/package/package_reader.h"
#include "support/test_support.h"

namespace fmt = mendsmith::format;
using testing_support::Bytes;
using testing_support::ReadTree;
using testing_support::TempDir;
using testing_support::ToBytes;
using testing_support::Tree;

namespace {

const Bytes kStub(1000, 0x90);

class PackageReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GetCurrentDirectoryA(sizeof previous_, previous_);
        ASSERT_TRUE(SetCurrentDirectoryA(work_.path().c_str()));
    }
    void TearDown() override { SetCurrentDirectoryA(previous_); }

    // Writes an updater image beside the work directory and reads record n of it.
    int ReadRecord(const Bytes& image, unsigned n)
    {
        testing_support::WriteFileBytes(files_ / "Update.exe", image);
        return ReadPackageRecordFromFile((files_ / "Update.exe").c_str(), n);
    }

    static Bytes ImageOf(const std::vector<Bytes>& records) { return fmt::MakePackageImage(kStub, records); }

    static Bytes BundleOf(const std::vector<fmt::BundleFile>& files) { return fmt::WriteBundle(files); }

    TempDir work_;
    TempDir files_;
    char previous_[MAX_PATH];
};

TEST_F(PackageReaderTest, EachRecordIsFoundByWalkingTheChain)
{
    fmt::UpdaterFiles files{ToBytes("[$0404]\r\nID200=x\r\n"), ToBytes("[App]\r\nAppName=Demo\r\n"),
                            ToBytes(std::string("\0\0\0\0", 4))};
    Bytes image = fmt::MakeUpdaterImage(kStub, files);

    ASSERT_TRUE(ReadRecord(image, 1));
    EXPECT_EQ(ReadTree(work_.path()), (Tree{{"Language.ini", files.languageIni}, {"Update.ini", files.updateIni}}));

    ASSERT_TRUE(ReadRecord(image, 2));
    EXPECT_EQ(ReadTree(work_.path())["Patch.dat"], files.patchDat);

    EXPECT_FALSE(ReadRecord(image, 3));
}

TEST_F(PackageReaderTest, OnlyBlockSizeNineWithoutRandomisedBlocksIsAccepted)
{
    Bytes bundle = BundleOf({{"a.txt", ToBytes("hello")}});
    for (int blockSize = 1; blockSize <= 8; blockSize++) {
        Bytes record = fmt::MakeRawRecord(static_cast<uint32_t>(bundle.size()), fmt::CompressBzip2(bundle, blockSize));
        EXPECT_FALSE(ReadRecord(ImageOf({record}), 1)) << "block size " << blockSize;
    }
    // The block's randomised bit follows "BZh9", the block magic and the block CRC: bit 112.
    Bytes randomised = fmt::CompressBzip2(bundle);
    randomised[14] |= 0x80;
    EXPECT_FALSE(ReadRecord(ImageOf({fmt::MakeRawRecord(static_cast<uint32_t>(bundle.size()), randomised)}), 1));
    EXPECT_TRUE(ReadTree(work_.path()).empty());
    EXPECT_TRUE(ReadRecord(ImageOf({fmt::MakeRecord(bundle)}), 1));
}

TEST_F(PackageReaderTest, ShortOutputSucceedsAndOverlongOutputWritesNothing)
{
    Bytes bundle = BundleOf({{"a.txt", ToBytes("hello")}});
    Bytes stream = fmt::CompressBzip2(bundle);

    EXPECT_FALSE(ReadRecord(ImageOf({fmt::MakeRawRecord(static_cast<uint32_t>(bundle.size() - 1), stream)}), 1));
    EXPECT_TRUE(ReadTree(work_.path()).empty());

    EXPECT_TRUE(ReadRecord(ImageOf({fmt::MakeRawRecord(static_cast<uint32_t>(bundle.size() + 100), stream)}), 1));
    EXPECT_EQ(ReadTree(work_.path()), (Tree{{"a.txt", ToBytes("hello")}}));
}

TEST_F(PackageReaderTest, EmptyBundleAndEmptyFiles)
{
    EXPECT_TRUE(ReadRecord(ImageOf({fmt::MakeRecord({})}), 1));
    EXPECT_TRUE(ReadTree(work_.path()).empty());
    EXPECT_TRUE(ReadRecord(ImageOf({fmt::MakeRecord(BundleOf({{"empty.txt", {}}}))}), 1));
    EXPECT_EQ(ReadTree(work_.path()), (Tree{{"empty.txt", {}}}));
}

TEST_F(PackageReaderTest, AFileAnotherProgramCreatedFirstIsRefusedNotTakenOrOverwritten)
{
    testing_support::WriteFileText(work_ / "Patch.dat", "planted");
    EXPECT_FALSE(
        ReadRecord(ImageOf({fmt::MakeRecord(BundleOf({{"a.txt", ToBytes("a")}, {"Patch.dat", ToBytes("real")}}))}), 1));
    EXPECT_EQ(ReadTree(work_.path()), (Tree{{"a.txt", ToBytes("a")}, {"Patch.dat", ToBytes("planted")}}));
}

TEST_F(PackageReaderTest, BrokenChainsAreRefused)
{
    Bytes good = ImageOf({fmt::MakeRecord(BundleOf({{"a.txt", ToBytes("a")}}))});

    Bytes cut(good.begin(), good.end() - 1);
    EXPECT_FALSE(ReadRecord(cut, 1));

    Bytes tiny = good;
    tiny[PACKAGE_OFFSET] = 3; // L below 4
    tiny[PACKAGE_OFFSET + 1] = tiny[PACKAGE_OFFSET + 2] = tiny[PACKAGE_OFFSET + 3] = 0;
    EXPECT_FALSE(ReadRecord(tiny, 1));

    Bytes huge = good;
    std::fill(huge.begin() + PACKAGE_OFFSET + 4, huge.begin() + PACKAGE_OFFSET + 8, 0xFF); // U + 1 overflows
    EXPECT_FALSE(ReadRecord(huge, 1));

    EXPECT_FALSE(ReadRecord(kStub, 1));
    EXPECT_FALSE(ReadPackageRecordFromFile((files_ / "missing.exe").c_str(), 1));
    EXPECT_TRUE(ReadTree(work_.path()).empty());
}

// A bundle written with a harmless name, then one byte of the name changed to the hostile one.
Bytes BundleWithName(const std::string& hostileName)
{
    std::string placeholder(hostileName.size(), '#');
    Bytes bundle =
        fmt::WriteBundle(std::vector<fmt::BundleFile>{{"first.txt", ToBytes("1")}, {placeholder, ToBytes("2")}});
    auto at = std::search(bundle.begin(), bundle.end(), placeholder.begin(), placeholder.end());
    std::copy(hostileName.begin(), hostileName.end(), at);
    return bundle;
}

TEST_F(PackageReaderTest, HostileBundlesWriteNoFileAtAll)
{
    for (const char* name : {"sub\\evil.txt", "..", ".", "C:evil.txt", "a.txt:stream", "..\\up.txt", "/abs.txt"}) {
        EXPECT_FALSE(ReadRecord(ImageOf({fmt::MakeRecord(BundleWithName(name))}), 1)) << name;
        EXPECT_TRUE(ReadTree(work_.path()).empty()) << name;
    }

    Bytes oversized = BundleOf({{"first.txt", ToBytes("1")}, {"second.txt", ToBytes("22")}});
    oversized[oversized.size() - 6] = 200; // the last size field now reaches past the bundle
    EXPECT_FALSE(ReadRecord(ImageOf({fmt::MakeRecord(oversized)}), 1));
    EXPECT_TRUE(ReadTree(work_.path()).empty());
}

} // namespace
