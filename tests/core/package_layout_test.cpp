// The record chain and the bundle walk: every way a chain or a bundle can end, and the names
// that a bundle may give its files.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/constants.h"
#include "core/package_layout.h"

namespace {

using Bytes = std::vector<unsigned char>;

void AppendU32(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

// A record header with the given L and U, followed by L - 4 stream bytes when L allows it.
Bytes Record(std::uint32_t length, std::uint32_t unpackedSize, std::size_t streamBytes)
{
    Bytes out;
    AppendU32(out, length);
    AppendU32(out, unpackedSize);
    out.insert(out.end(), streamBytes, 'z');
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(RecordChain, EachEndOfTheChainIsToldApartAndNamesTheRecordAtFault)
{
    const Bytes first = Record(4 + 3, 10, 3);
    struct Case {
        const char* what;
        Bytes chain;
        std::uint32_t n;
        int verdict;
        std::uint32_t offset;
    };
    const std::vector<Case> cases = {
        {"first of two", Join({first, Record(5, 7, 1)}), 1, RECORD_FOUND, 0},
        {"second of two", Join({first, Record(5, 7, 1)}), 2, RECORD_FOUND, 11},
        // What the stub asks for in a signed updater: padding and a certificate table follow.
        {"second of two, signed", Join({first, Record(5, 7, 1), Bytes(4, 0), Bytes(600, 0x30)}), 2, RECORD_FOUND, 11},
        {"past the last", first, 2, RECORD_CHAIN_END, 11},
        {"record 0", first, 0, RECORD_CHAIN_END, 0},
        {"no records", {}, 1, RECORD_CHAIN_END, 0},
        {"header cut", Join({first, Bytes(7, 0)}), 2, RECORD_HEADER_CUT, 11},
        {"L below 4", Join({first, Record(3, 0, 0)}), 2, RECORD_LENGTH_TOO_SMALL, 11},
        {"stream past the end", Join({first, Record(6, 0, 1)}), 2, RECORD_PAST_END, 11},
        {"L near 2^32", Record(0xFFFFFFFFu, 0, 0), 1, RECORD_PAST_END, 0},
    };
    for (const Case& c : cases) {
        // The chain starts at a package offset, here 16 bytes of stub.
        Bytes image = Join({Bytes(16, 'S'), c.chain});
        PackageRecord record{};
        EXPECT_EQ(LocatePackageRecord(image.data(), static_cast<std::uint32_t>(image.size()), 16, c.n, &record),
                  c.verdict)
            << c.what;
        EXPECT_EQ(record.offset, 16 + c.offset) << c.what;
        if (c.verdict == RECORD_FOUND) {
            EXPECT_EQ(record.stream, image.data() + record.offset + RECORD_HEADER_SIZE) << c.what;
            EXPECT_EQ(record.streamSize + 4, record.length) << c.what;
        }
    }
    Bytes shortImage(8, 'S');
    PackageRecord record{};
    EXPECT_EQ(LocatePackageRecord(shortImage.data(), 8, 16, 1, &record), RECORD_IMAGE_SHORT);
}

TEST(RecordChain, OnlyTheBlockSizeNineSignatureCounts)
{
    for (const auto& [stream, expected] :
         std::vector<std::pair<std::string, int>>{{"BZh9rest", 1}, {"BZh9", 1}, {"BZh1rest", 0}, {"BZh", 0}, {"", 0}}) {
        PackageRecord record{};
        record.stream = reinterpret_cast<const unsigned char*>(stream.data());
        record.streamSize = static_cast<std::uint32_t>(stream.size());
        EXPECT_EQ(HasRecordSignature(&record), expected) << stream;
    }
}

Bytes Entry(const std::string& name, const std::string& content)
{
    Bytes out(name.begin(), name.end());
    out.push_back(0);
    AppendU32(out, static_cast<std::uint32_t>(content.size()));
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// Walks a whole bundle; returns the names read and the step that ended the walk.
std::pair<std::vector<std::string>, int> Walk(const Bytes& bundle)
{
    std::vector<std::string> names;
    const unsigned char* cursor = bundle.data();
    BundleEntry entry{};
    int step;
    while ((step = NextBundleEntry(&cursor, bundle.data() + bundle.size(), &entry)) == BUNDLE_ENTRY)
        names.push_back(entry.name);
    return {names, step};
}

TEST(BundleWalk, EntriesAreReadInTurnAndEachCutIsToldApart)
{
    const Bytes two = Join({Entry("a.txt", "1"), Entry("b.txt", "")});
    using Names = std::vector<std::string>;
    EXPECT_EQ(Walk(two), std::make_pair(Names{"a.txt", "b.txt"}, BUNDLE_END));
    EXPECT_EQ(Walk({}), std::make_pair(Names{}, BUNDLE_END));
    // An empty name ends the walk, whatever follows.
    EXPECT_EQ(Walk(Join({Entry("a.txt", "1"), Bytes{0, 'x'}})), std::make_pair(Names{"a.txt"}, BUNDLE_END));
    EXPECT_EQ(Walk(Bytes(two.begin(), two.begin() + 3)), std::make_pair(Names{}, BUNDLE_NAME_CUT));
    EXPECT_EQ(Walk(Bytes(two.begin(), two.begin() + 8)), std::make_pair(Names{}, BUNDLE_SIZE_CUT));
    EXPECT_EQ(Walk(Bytes(two.begin(), two.begin() + 10)), std::make_pair(Names{}, BUNDLE_CONTENT_CUT));

    Bytes huge = Entry("a.txt", "1");
    huge[6] = huge[7] = huge[8] = huge[9] = 0xFF;
    EXPECT_EQ(Walk(huge).second, BUNDLE_CONTENT_CUT);
    EXPECT_FALSE(IsSafeFileBundle(huge.data(), static_cast<std::uint32_t>(huge.size())));
    EXPECT_TRUE(IsSafeFileBundle(two.data(), static_cast<std::uint32_t>(two.size())));
}

TEST(BundleWalk, OnlyPlainFileNamesPass)
{
    for (const char* name : {"a.txt", "Update.ini", "...", ".hidden", "a..b", "\xA4\xA4.txt"})
        EXPECT_TRUE(IsPlainFileName(name)) << name;
    for (const char* name : {"", ".", "..", "sub\\a.txt", "/abs", "C:a.txt", "a.txt:stream", "tab\there", "\x1F"})
        EXPECT_FALSE(IsPlainFileName(name)) << name;

    const Bytes hostile = Join({Entry("a.txt", "1"), Entry("..", "2")});
    EXPECT_FALSE(IsSafeFileBundle(hostile.data(), static_cast<std::uint32_t>(hostile.size())));
}

} // namespace
