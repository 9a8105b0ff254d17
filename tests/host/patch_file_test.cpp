#include <gtest/gtest.h>
#include "core/constants.h"
#include "core/patch_data.h"

#include "format/crc.h"
#include "format/patch_file.h"
#include "support/patch_expect.h"

using namespace mendsmith::format;
using mendsmith::test::ExpectRefused;

namespace {

// The 54-byte example that turns ABCDEF into ABxyEF, byte for byte.
const Bytes kWorkedExample = {
    0x01, 0x00, 0x00, 0x00,                                                                         // count
    0x18, 0x91, 0xAE, 0xA2,                                                                         // source CRC
    0x1D, 0xF2, 0x2E, 0x08,                                                                         // target CRC
    0x5C, 0x44, 0x6F, 0x63, 0x73, 0x5C, 0x4E, 0x6F, 0x74, 0x65, 0x73, 0x2E, 0x74, 0x78, 0x74, 0x00, // path
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                                           // copy
    0x02, 0x02, 0x00, 0x00, 0x00, 0x78, 0x79,                                                       // literal
    0x01, 0x02, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,                                           // copy
    0x00,                                                                                           // end
};

PatchEntry WorkedEntry()
{
    PatchEntry entry;
    entry.sourceCrc = 0xA2AE9118u;
    entry.targetCrc = 0x082EF21Du;
    entry.path = "\\Docs\\Notes.txt";
    entry.ops = {Op::MakeCopy(2, 0), Op::MakeLiteral(ToBytes("xy")), Op::MakeCopy(2, 4)};
    return entry;
}

Bytes WithCount(std::uint32_t count, Bytes rest)
{
    Bytes count4;
    AppendU32(count4, count);
    rest.insert(rest.begin(), count4.begin(), count4.end());
    return rest;
}

Bytes Header(std::string_view path)
{
    Bytes out(8 + path.size() + 1, 0); // zero CRCs, the path, its NUL
    std::copy(path.begin(), path.end(), out.begin() + 8);
    return out;
}

} // namespace

TEST(PatchFile, WorkedExampleWrite)
{
    ASSERT_EQ(kWorkedExample.size(), 54u);
    const PatchEntry entries[] = {WorkedEntry()};
    EXPECT_EQ(WritePatchFile(entries), kWorkedExample);
}

TEST(PatchFile, WorkedExampleRead)
{
    auto entries = ReadPatchFile(kWorkedExample);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], WorkedEntry());
    EXPECT_EQ(ApplyOps(AsBytes("ABCDEF"), entries[0].ops), ToBytes("ABxyEF"));
    EXPECT_EQ(ApplyEntry(entries[0], AsBytes("ABCDEF")), ToBytes("ABxyEF"));
    EXPECT_THROW(ApplyEntry(entries[0], AsBytes("ABCDEG")), FormatError); // source CRC
    PatchEntry wrongTarget = entries[0];
    wrongTarget.targetCrc ^= 1;
    EXPECT_THROW(ApplyEntry(wrongTarget, AsBytes("ABCDEF")), FormatError);
}

TEST(PatchFile, AttachedHello)
{
    PatchEntry entry;
    entry.path = "\\Docs\\Notes.txt";
    entry.attached = true;
    entry.data = ToBytes("hello");
    const PatchEntry entries[] = {entry};
    Bytes data = WritePatchFile(entries);
    Bytes body(data.begin() + 28, data.end());
    EXPECT_EQ(body, (Bytes{0x03, 0x05, 0x00, 0x00, 0x00, 0x68, 0x65, 0x6C, 0x6C, 0x6F}));
    auto read = ReadPatchFile(data);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0], entry);
    EXPECT_EQ(ApplyEntry(read[0], ByteView{}), ToBytes("hello"));
}

TEST(PatchFile, RemovalIsTheKindByteAloneAndTheNextEntryFollowsIt)
{
    PatchEntry removal;
    removal.sourceCrc = 0xA2AE9118u; // ABCDEF, the file that goes
    removal.targetCrc = 0x12345678u; // never written: a removal's target CRC is 0
    removal.path = "\\Docs\\Notes.txt";
    removal.removal = true;
    const PatchEntry entries[] = {removal, WorkedEntry()};
    Bytes data = WritePatchFile(entries);

    Bytes first(data.begin() + 4, data.begin() + 4 + 8 + 16 + 1);
    EXPECT_EQ(first, (Bytes{0x18, 0x91, 0xAE, 0xA2, 0x00, 0x00, 0x00, 0x00, 0x5C, 0x44, 0x6F, 0x63, 0x73,
                            0x5C, 0x4E, 0x6F, 0x74, 0x65, 0x73, 0x2E, 0x74, 0x78, 0x74, 0x00, 0x06}));
    EXPECT_EQ(Bytes(data.begin() + 29, data.end()), Bytes(kWorkedExample.begin() + 4, kWorkedExample.end()));
    auto read = ReadPatchFile(data);
    removal.targetCrc = 0;
    EXPECT_EQ(read, (std::vector<PatchEntry>{removal, WorkedEntry()}));
    EXPECT_EQ(read[0].Kind(), BodyKind::Removal);
    EXPECT_EQ(EncodedBodySize(read[0]), 1u);
    EXPECT_THROW(ApplyEntry(read[0], AsBytes("ABCDEF")), FormatError);
    // Whatever stands in the target CRC is never read.
    data[8] = 0x55;
    EXPECT_EQ(ReadPatchFile(data), read);
}

TEST(PatchFile, MixedEntriesAndEdgeCases)
{
    PatchEntry attached;
    attached.path = "\\a";
    attached.attached = true;
    attached.data = ToBytes("data");
    PatchEntry empty;
    empty.path = "\\dir\\empty";
    PatchEntry zeroLengths;
    zeroLengths.path = "\\z";
    zeroLengths.ops = {Op::MakeCopy(0, 0), Op::MakeLiteral({}), Op::MakeCopy(3, 1), Op::MakeCopy(3, 1)};
    PatchEntry emptyAttached;
    emptyAttached.path = "\\e";
    emptyAttached.attached = true;
    const PatchEntry entries[] = {attached, empty, zeroLengths, emptyAttached, WorkedEntry()};
    auto read = ReadPatchFile(WritePatchFile(entries));
    EXPECT_EQ(read, std::vector<PatchEntry>(std::begin(entries), std::end(entries)));
    EXPECT_TRUE(ApplyOps(AsBytes("xyz"), read[1].ops).empty());
    EXPECT_EQ(ApplyOps(AsBytes("abcd"), read[2].ops), ToBytes("bcdbcd"));
    EXPECT_TRUE(ReadPatchFile(WithCount(0, {})).empty());
}

TEST(PatchFile, CountUsesLow16Bits)
{
    Bytes data = kWorkedExample;
    data[2] = 0x34;
    data[3] = 0x12;
    EXPECT_EQ(ReadPatchFile(data).size(), 1u);
    EXPECT_TRUE(ReadPatchFile(WithCount(0x10000, {})).empty());
}

TEST(PatchFile, DeviceNamesAndNamesWindowsWouldTrimAreRefusedTheirNeighboursKept)
{
    for (const char* path : {"\\NUL", "\\CON.txt", "\\a.", "\\b ", "\\x\\com1.log", "\\LPT9", "\\aux .c", "\\d\\prn\\e",
                             "\\d.\\e", "\\Nul.tar.gz"})
        EXPECT_FALSE(IsSafeEntryPathString(path)) << path;
    for (const char* path : {"\\COM10", "\\CONX", "\\nul2.txt", "\\com0", "\\.config", "\\a.b", "\\ x", "\\console.log",
                             "\\lpt", "\\x\\AUXILIARY"})
        EXPECT_TRUE(IsSafeEntryPathString(path)) << path;
    // A folder below the destination for the backup: the same components, no leading backslash.
    for (const char* folder :
         {"..\\escaped", "", ".", "C:\\x", "C:x", "\\abs", "a\\..\\..\\b", "x/y", "a\\", "NUL", "bak."})
        EXPECT_FALSE(IsSafeRelativePath(folder)) << folder;
    for (const char* folder : {"Mendsmith.bak", "backup\\old", "..bak"})
        EXPECT_TRUE(IsSafeRelativePath(folder)) << folder;
}

TEST(PatchFile, WriterRefusals)
{
    PatchEntry entry = WorkedEntry();
    for (const char* path : {"\\..\\x", "\\\\srv\\x", "C:x", "x", "\\a/b", "\\a\\", "\\C:x", ""}) {
        entry.path = path;
        const PatchEntry entries[] = {entry};
        EXPECT_THROW(WritePatchFile(entries), FormatError) << path;
    }
    entry.path = "\\" + std::string(MAX_PATH_CHARS, 'a');
    const PatchEntry longPath[] = {entry};
    EXPECT_THROW(WritePatchFile(longPath), FormatError);
    entry = WorkedEntry();
    entry.ops[1].length = 5; // disagrees with its bytes
    const PatchEntry badLiteral[] = {entry};
    EXPECT_THROW(WritePatchFile(badLiteral), FormatError);
    std::vector<PatchEntry> tooMany(0x10000, WorkedEntry());
    EXPECT_THROW(WritePatchFile(tooMany), FormatError);
}

TEST(PatchFile, ReaderRefusesEveryTruncation)
{
    for (std::size_t n = 0; n < kWorkedExample.size(); n++)
        EXPECT_THROW(ReadPatchFile(ByteView(kWorkedExample).first(n)), FormatError) << "cut to " << n;
}

TEST(PatchFile, ReaderRefusals)
{
    ExpectRefused({1, 0, 0}, "too short for the entry count");
    ExpectRefused(WithCount(1, {1, 2, 3, 4, 5, 6, 7}), "checksums cut short");
    Bytes pathPastEnd = WithCount(1, Header("\\abc"));
    pathPastEnd.pop_back(); // drop the NUL
    ExpectRefused(pathPastEnd, "entry path runs past the end");
    ExpectRefused(WithCount(1, Header("\\abc")), "body missing");
    ExpectRefused(WithCount(2, kWorkedExample.size() > 4 ? Bytes(kWorkedExample.begin() + 4, kWorkedExample.end())
                                                         : Bytes{}),
                  "entry 2 at offset 0x36");

    Bytes invalidOp = WithCount(1, Header("\\f"));
    invalidOp.insert(invalidOp.end(), {2, 1, 0, 0, 0, 'x', 3});
    ExpectRefused(invalidOp, "invalid op byte 3");
    Bytes invalidFirst = WithCount(1, Header("\\f"));
    invalidFirst.push_back(9);
    ExpectRefused(invalidFirst, "invalid op byte 9");

    Bytes copyPastEnd = WithCount(1, Header("\\f"));
    copyPastEnd.insert(copyPastEnd.end(), {1, 2, 0, 0, 0, 0, 0, 0});
    ExpectRefused(copyPastEnd, "copy op runs past the end");
    Bytes literalPastEnd = WithCount(1, Header("\\f"));
    literalPastEnd.insert(literalPastEnd.end(), {2, 0xFF, 0xFF, 0xFF, 0xFF, 'x', 'y', 0});
    ExpectRefused(literalPastEnd, "literal op runs past the end");
    Bytes noEnd = WithCount(1, Header("\\f"));
    noEnd.insert(noEnd.end(), {2, 1, 0, 0, 0, 'x'});
    ExpectRefused(noEnd, "op list runs past the end");
    Bytes attachedPastEnd = WithCount(1, Header("\\f"));
    attachedPastEnd.insert(attachedPastEnd.end(), {3, 6, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'});
    ExpectRefused(attachedPastEnd, "attached data runs past the end");

    for (const char* path : {"\\..\\x", "\\\\srv\\x", "C:x", "x", "\\", "\\a/b", "\\.\\x", "\\x\\..", "\\a:b"}) {
        Bytes unsafe = WithCount(1, Header(path));
        unsafe.push_back(0);
        ExpectRefused(unsafe, "not a safe");
    }

    Bytes trailing = kWorkedExample;
    trailing.push_back(0);
    ExpectRefused(trailing, "1 bytes after the last entry");
}

TEST(PatchFile, ApplyOpsRefusesCopyOutsideOld)
{
    const Op past[] = {Op::MakeCopy(2, 5)};
    EXPECT_THROW(ApplyOps(AsBytes("ABCDEF"), past), FormatError);
    const Op beyond[] = {Op::MakeCopy(0, 7)};
    EXPECT_THROW(ApplyOps(AsBytes("ABCDEF"), beyond), FormatError);
    const Op wrap[] = {Op::MakeCopy(0xFFFFFFFFu, 2)};
    EXPECT_THROW(ApplyOps(AsBytes("ABCDEF"), wrap), FormatError);
    const Op exact[] = {Op::MakeCopy(0, 6), Op::MakeCopy(6, 0)};
    EXPECT_EQ(ApplyOps(AsBytes("ABCDEF"), exact), ToBytes("ABCDEF"));
}
