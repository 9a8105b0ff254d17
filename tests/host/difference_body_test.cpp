// Difference bodies: one worked example byte for byte, what applying a body may do at each bound
// of the old file, and every way a body can run past the data or fail to add up.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>

#include "format/delta.h"
#include "format/patch_file.h"
#include "support/patch_expect.h"

using namespace mendsmith::format;
using mendsmith::test::ExpectRefused;

namespace {

const Bytes kOld = ToBytes("ABCDEF");

// ABCDEF to DFFABxyzF: step to D, add DEF with E raised by one, step back to the start, add AB,
// the extra bytes xyz, step to F and add it.
DiffBody MovedBody()
{
    return {{{0, 0, 3}, {3, 0, -6}, {2, 3, 3}, {1, 0, 0}}, {0, 1, 0, 0, 0, 0}, ToBytes("xyz")};
}

const Bytes kMovedEncoded = {
    4, 4, 0, 0, 0, 6, 0,   0,   0,    3,    0,    0,    0, // kind, C 4, D 6, X 3
    0, 0, 0, 0, 0, 0, 0,   0,   3,    0,    0,    0,       // A 0, E 0, S 3
    3, 0, 0, 0, 0, 0, 0,   0,   0xFA, 0xFF, 0xFF, 0xFF,    // A 3, E 0, S -6
    2, 0, 0, 0, 3, 0, 0,   0,   3,    0,    0,    0,       // A 2, E 3, S 3
    1, 0, 0, 0, 0, 0, 0,   0,   0,    0,    0,    0,       // A 1, E 0, S 0
    0, 1, 0, 0, 0, 0, 'x', 'y', 'z',                       // difference and extra bytes
};

// A body of the given controls whose difference bytes are zero and whose extra bytes are '+'.
DiffBody PlainBody(std::vector<DiffControl> controls)
{
    std::size_t added = 0, extra = 0;
    for (const DiffControl& c : controls) {
        added += c.addLength;
        extra += c.extraLength;
    }
    return {std::move(controls), Bytes(added, 0), Bytes(extra, '+')};
}

} // namespace

TEST(DifferenceBody, WorkedExampleEncodesAppliesAndReadsBack)
{
    EXPECT_EQ(EncodeDiffBody(MovedBody()), kMovedEncoded);
    EXPECT_EQ(ApplyDiff(kOld, MovedBody()), ToBytes("DFFABxyzF"));

    const std::vector<PatchEntry> entries{MakeDifferenceEntry("\\Docs\\Moved.txt", kOld, AsBytes("DFFABxyzF"),
                                                              MovedBody()),
                                          MakeAttachedEntry("\\After.txt", AsBytes("next"))};
    const Bytes data = WritePatchFile(entries);
    EXPECT_EQ(ReadPatchFile(data), entries);
    EXPECT_EQ(EncodedBodySize(entries[0]), kMovedEncoded.size());
    EXPECT_EQ(ApplyEntry(entries[0], kOld), ToBytes("DFFABxyzF"));
    EXPECT_THROW(ApplyEntry(entries[0], AsBytes("ABCDEG")), FormatError) << "source checksum";
}

TEST(DifferenceBody, ControlsReachEveryBoundOfTheOldFileButNeverPastIt)
{
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    struct Case {
        const char* what;
        Bytes old;
        std::vector<DiffControl> controls;
        const char* result; // nullptr: a data error
    };
    const Case cases[] = {
        {"the whole file", kOld, {{6, 0, 0}}, "ABCDEF"},
        {"one byte past the end", kOld, {{7, 0, 0}}, nullptr},
        {"a step to exactly the end", kOld, {{0, 0, 6}, {0, 1, 0}}, "+"},
        {"a step one past the end", kOld, {{0, 0, 7}}, nullptr},
        {"a byte after a step to the end", kOld, {{0, 0, 6}, {1, 0, 0}}, nullptr},
        {"a step back to exactly the start", kOld, {{3, 0, -3}, {1, 0, 0}}, "ABCA"},
        {"a step one before the start", kOld, {{3, 0, -4}}, nullptr},
        {"the most negative step", kOld, {{6, 0, kMin}}, nullptr},
        {"the largest step", kOld, {{0, 0, kMax}}, nullptr},
        {"an empty old file, extra bytes only", {}, {{0, 2, 0}, {0, 1, 0}}, "+++"},
        {"an empty old file, one byte added", {}, {{1, 0, 0}}, nullptr},
        {"an empty old file, a step forward", {}, {{0, 1, 1}}, nullptr},
        {"an empty old file, a step back", {}, {{0, 0, -1}}, nullptr},
        {"no controls", kOld, {}, ""},
    };
    for (const Case& c : cases) {
        const DiffBody body = PlainBody(c.controls);
        if (c.result)
            EXPECT_EQ(ApplyDiff(c.old, body), ToBytes(c.result)) << c.what;
        else
            EXPECT_THROW(ApplyDiff(c.old, body), FormatError) << c.what;
    }
}

TEST(DifferenceBody, BodiesThatRunPastTheDataOrDoNotAddUpAreDataErrors)
{
    const Bytes data =
        WritePatchFile(std::vector{MakeDifferenceEntry("\\Docs\\Moved.txt", kOld, AsBytes("DFFABxyzF"), MovedBody())});
    const std::size_t body = data.size() - kMovedEncoded.size();
    for (std::size_t n = body + 1; n < data.size(); n++)
        ExpectRefused(Bytes(data.begin(), data.begin() + n), n < body + 13 ? "counts run past" : "runs past the end");

    struct Field {
        const char* what;
        std::size_t at;
        std::uint32_t value;
        const char* fragment;
    };
    const Field fields[] = {
        {"C one more", 1, 5, "runs past the end"},
        {"C whose 12-byte controls wrap a u32", 1, 0x15555556u, "runs past the end"},
        {"C at its largest", 1, 0xFFFFFFFFu, "runs past the end"},
        {"D one short of the add lengths", 5, 5, "do not add up"},
        {"D one past the add lengths", 5, 7, "do not add up"},
        {"D at its largest", 5, 0xFFFFFFFFu, "runs past the end"},
        {"X one short of the extra lengths", 9, 2, "do not add up"},
        {"X one past the extra lengths", 9, 4, "do not add up"},
        {"an add length one more", 13 + 12, 4, "do not add up"},
        {"an extra length one less", 13 + 24 + 4, 2, "do not add up"},
    };
    for (const Field& f : fields) {
        Bytes changed = data;
        StoreU32(changed, body + f.at, f.value);
        // One spare byte, so that a body one byte longer still ends inside the data.
        changed.push_back(0);
        SCOPED_TRACE(f.what);
        ExpectRefused(changed, f.fragment);
    }

    DiffBody uneven = MovedBody();
    uneven.extra.push_back('!');
    EXPECT_THROW(EncodeDiffBody(uneven), FormatError);
    EXPECT_THROW(ApplyDiff(kOld, uneven), FormatError);
}
