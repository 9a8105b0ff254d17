// The suffix-array delta engines: exact round trips of op lists and difference bodies through
// Patch.dat over edge cases and seeded random pairs, and the choices they make.
#include <gtest/gtest.h>

#include <random>

#include "format/crc.h"
#include "format/delta.h"
#include "format/match_finder.h"
#include "format/patch_file.h"
#include "format/record.h"

using namespace mendsmith::format;

namespace {

Bytes Random(std::mt19937& rng, std::size_t size, int alphabet = 256)
{
    Bytes out(size);
    std::uniform_int_distribution<int> byte(0, alphabet - 1);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(byte(rng));
    return out;
}

std::size_t LiteralBytes(const std::vector<Op>& ops)
{
    std::size_t literal = 0;
    for (const Op& op : ops)
        literal += op.kind == OpKind::Literal ? op.length : 0;
    return literal;
}

// Checks that the ops rebuild target through a written and read Patch.dat, with both CRCs, and
// are as the format and the engine promise: none empty, neighbours merged.
::testing::AssertionResult RoundTrips(const Bytes& old, const Bytes& target)
{
    std::vector<Op> ops = MakeOps(old, target);
    for (std::size_t i = 0; i < ops.size(); i++) {
        if (ops[i].length == 0)
            return ::testing::AssertionFailure() << "op " << i << " is empty";
        if (i > 0 && ops[i].kind == OpKind::Literal && ops[i - 1].kind == OpKind::Literal)
            return ::testing::AssertionFailure() << "literal ops " << i - 1 << " and " << i << " not merged";
        if (i > 0 && ops[i].kind == OpKind::Copy && ops[i - 1].kind == OpKind::Copy &&
            ops[i - 1].sourceOffset + ops[i - 1].length == ops[i].sourceOffset)
            return ::testing::AssertionFailure() << "contiguous copy ops " << i - 1 << " and " << i << " not merged";
    }
    if (ApplyOps(old, ops) != target)
        return ::testing::AssertionFailure() << "the ops do not rebuild the target";
    const PatchEntry entries[] = {MakePatchEntry("\\a\\b.bin", old, target)};
    if (entries[0].sourceCrc != Crc32(old) || entries[0].targetCrc != Crc32(target))
        return ::testing::AssertionFailure() << "the entry's CRCs are not those of old and target";
    std::vector<PatchEntry> read = ReadPatchFile(WritePatchFile(entries));
    if (read.size() != 1 || read[0] != entries[0])
        return ::testing::AssertionFailure() << "the entry does not read back as written";
    if (ApplyEntry(read[0], old) != target)
        return ::testing::AssertionFailure() << "the entry does not rebuild the target";
    return ::testing::AssertionSuccess();
}

// The same for a difference body: no control that does nothing, and the entry rebuilds the
// target through a written and read Patch.dat.
::testing::AssertionResult DiffRoundTrips(const Bytes& old, const Bytes& target)
{
    PatchEntry entry;
    entry.sourceCrc = Crc32(old);
    entry.targetCrc = Crc32(target);
    entry.path = "\\a.bin";
    entry.difference = MakeDiffBody(old, target);
    const DiffBody& body = *entry.difference;
    for (std::size_t i = 0; i < body.controls.size(); i++)
        if (body.controls[i] == DiffControl{})
            return ::testing::AssertionFailure() << "control " << i << " does nothing";
    if (ApplyDiff(old, body) != target)
        return ::testing::AssertionFailure() << "the difference body does not rebuild the target";
    std::vector<PatchEntry> read = ReadPatchFile(WritePatchFile(std::span(&entry, 1)));
    if (read.size() != 1 || read[0] != entry)
        return ::testing::AssertionFailure() << "the entry does not read back as written";
    if (ApplyEntry(read[0], old) != target)
        return ::testing::AssertionFailure() << "the entry does not rebuild the target";
    return ::testing::AssertionSuccess();
}

std::size_t Packed(const PatchEntry& entry)
{
    return CompressBzip2(WritePatchFile(std::span(&entry, 1))).size();
}

// old edited by inserts, deletes, replaced runs, scattered replaced bytes, moved blocks and a
// new length; maxEdit bounds the size of each edit.
Bytes Edit(std::mt19937& rng, const Bytes& old, std::size_t maxEdit)
{
    Bytes out = old;
    int edits = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int e = 0; e < edits; e++) {
        std::size_t at = std::uniform_int_distribution<std::size_t>(0, out.size())(rng);
        std::size_t n = std::uniform_int_distribution<std::size_t>(1, maxEdit)(rng);
        std::size_t end = std::min(out.size(), at + n);
        switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
        case 0: {
            Bytes inserted = Random(rng, n);
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(), inserted.end());
            break;
        }
        case 1:
            out.erase(out.begin() + static_cast<std::ptrdiff_t>(at), out.begin() + static_cast<std::ptrdiff_t>(end));
            break;
        case 2:
            for (std::size_t i = at; i < end; i++)
                out[i] = static_cast<std::uint8_t>(rng());
            break;
        case 3:
            for (std::size_t i = at; i < end; i += 7)
                out[i] = static_cast<std::uint8_t>(rng());
            break;
        case 4:
            if (!old.empty()) {
                std::size_t from = std::uniform_int_distribution<std::size_t>(0, old.size() - 1)(rng);
                std::size_t length = std::min(old.size() - from, n * 3);
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(at),
                           old.begin() + static_cast<std::ptrdiff_t>(from),
                           old.begin() + static_cast<std::ptrdiff_t>(from + length));
            }
            break;
        default:
            out.resize(std::uniform_int_distribution<std::size_t>(0, out.size() + n)(rng), 0x90);
        }
    }
    return out;
}

} // namespace

TEST(DeltaEngine, RebuildsEdgeCasesExactly)
{
    std::mt19937 rng(7);
    Bytes text = Random(rng, 5000, 26);
    Bytes grown = text;
    Bytes tail = Random(rng, 3000);
    grown.insert(grown.end(), tail.begin(), tail.end());
    Bytes block = ToBytes("0123456789abcdefghijklmnopqrstuvwxyz");
    Bytes twice = block;
    twice.insert(twice.end(), block.begin(), block.end());
    struct Case {
        const char* name;
        Bytes old, target;
    } cases[] = {
        {"both empty", {}, {}},
        {"one byte to one other byte", {0x41}, {0x42}},
        {"one byte unchanged", {0x41}, {0x41}},
        {"seven equal bytes", ToBytes("1234567"), ToBytes("1234567")},
        {"eight equal bytes", ToBytes("12345678"), ToBytes("12345678")},
        {"nine equal bytes", ToBytes("123456789"), ToBytes("123456789")},
        {"equal files", text, text},
        {"shrinks to nothing", text, {}},
        {"entirely new file", {}, text},
        {"only grows at the end", text, grown},
        {"only grows at the front", tail, grown},
        {"keeps a prefix", block, Bytes(block.begin(), block.begin() + 10)},
        {"keeps a suffix", block, Bytes(block.end() - 13, block.end())},
        {"doubled", block, twice},
        {"halved", twice, block},
        {"unaligned shift", block, Bytes(block.begin() + 3, block.end())},
        {"runs of one byte", Bytes(70000, 0), Bytes(90000, 0)},
        {"zeros to ones", Bytes(100, 0), Bytes(100, 1)},
        {"two bytes replaced inside six", ToBytes("ABCDEF"), ToBytes("ABxyEF")},
        {"one byte flipped in the middle", text,
         [&] {
             Bytes b = text;
             b[2500] ^= 0x80;
             return b;
         }()},
        {"halves swapped", text,
         [&] {
             Bytes b(text.begin() + 2500, text.end());
             b.insert(b.end(), text.begin(), text.begin() + 2500);
             return b;
         }()},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(RoundTrips(c.old, c.target)) << c.name;
        EXPECT_TRUE(DiffRoundTrips(c.old, c.target)) << c.name;
        EXPECT_EQ(ApplyEntry(MakePatchEntry("\\a.bin", c.old, c.target, Bodies::Either), c.old), c.target) << c.name;
    }
}

TEST(DeltaEngine, RebuildsThousandsOfSeededRandomPairs)
{
    for (std::uint32_t seed = 1; seed <= 3400; seed++) {
        std::mt19937 rng(seed);
        // The first 400 seeds are small files with small edits, where op boundaries crowd.
        bool small = seed <= 400;
        std::size_t maxSize = small ? (seed % 10 == 0 ? 20000 : 600) : (seed % 100 == 0 ? 60000 : 3000);
        std::size_t size = std::uniform_int_distribution<std::size_t>(0, maxSize)(rng);
        int alphabet = seed % 4 == 0 ? 2 : seed % 4 == 1 ? 16 : 256;
        Bytes old = Random(rng, size, alphabet);
        Bytes target = seed % 11 == 0 ? Random(rng, size / 3, alphabet) : Edit(rng, old, small ? 64 : 300);
        ASSERT_TRUE(RoundTrips(old, target)) << "seed " << seed;
        ASSERT_TRUE(DiffRoundTrips(old, target)) << "seed " << seed;
    }
}

// The longest match is found as a scan of every position would find it, whether the suffix array
// keeps three bytes a slot (files under 16 MiB) or four.
TEST(DeltaEngine, MatchFinderFindsTheLongestMatchAtEverySize)
{
    std::mt19937 rng(7);
    for (std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{300}, std::size_t{5000}}) {
        for (int alphabet : {2, 3, 256}) {
            const Bytes old = Random(rng, size, alphabet);
            const MatchFinder finder(old);
            for (int query = 0; query < 200; query++) {
                const Bytes text = Random(rng, 1 + query % 40, alphabet);
                std::size_t longest = 0;
                for (std::size_t p = 0; p < old.size(); p++)
                    longest = std::max(longest, finder.MatchAt(p, text));
                const Match found = finder.Longest(text);
                // Under two bytes a match is worth nothing, whatever is reported.
                EXPECT_EQ(std::max<std::size_t>(found.length, 1), std::max<std::size_t>(longest, 1))
                    << size << " bytes, alphabet " << alphabet;
                if (found.length > 0) {
                    EXPECT_EQ(finder.MatchAt(found.position, text), found.length);
                }
            }
        }
    }
    // Past 16 MiB: every text cut from the file is found whole.
    const Bytes big = Random(rng, (std::size_t{1} << 24) + 3);
    const MatchFinder finder(big);
    for (std::size_t at : {std::size_t{0}, std::size_t{1} << 23, big.size() - 64}) {
        const ByteView text = ByteView(big).subspan(at, 64);
        const Match found = finder.Longest(text);
        EXPECT_EQ(found.length, 64u);
        EXPECT_EQ(found.position, at);
    }
}

TEST(DeltaEngine, CopiesMovedBlocksFromAnywhereInTheOldFile)
{
    std::mt19937 rng(3);
    Bytes a = Random(rng, 40000), b = Random(rng, 40000), c = Random(rng, 40000);
    Bytes old = a;
    old.insert(old.end(), b.begin(), b.end());
    old.insert(old.end(), c.begin(), c.end());
    Bytes target = c;
    target.insert(target.end(), a.begin(), a.end());
    target.insert(target.end(), b.begin(), b.begin() + 100);
    std::vector<Op> ops = MakeOps(old, target);
    EXPECT_EQ(LiteralBytes(ops), 0u);
    EXPECT_LE(ops.size(), 3u);
    EXPECT_EQ(ApplyOps(old, ops), target);
}

TEST(DeltaEngine, CopiesAroundOneChangedByte)
{
    Bytes old(4096);
    for (std::size_t i = 0; i < old.size(); i++)
        old[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
    Bytes target = old;
    target[2000] ^= 0xFF;
    std::vector<Op> ops = MakeOps(old, target);
    EXPECT_LE(LiteralBytes(ops), 16u);
    EXPECT_EQ(ApplyOps(old, ops), target);
}

TEST(DeltaEngine, LeavesMatchesThatCostMoreThanTheirBytesAsLiterals)
{
    // Target: new random bytes with a 4-byte piece of old in the middle; a 9-byte copy op
    // would cost more than 4 literal bytes.
    std::mt19937 rng(11);
    Bytes old = Random(rng, 20000);
    Bytes target = Random(rng, 600);
    target.insert(target.begin() + 300, old.begin() + 1000, old.begin() + 1004);
    std::vector<Op> ops = MakeOps(old, target);
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, OpKind::Literal);
}

TEST(DeltaEngine, CopiesAroundScatteredSmallChanges)
{
    // Changed four-byte fields every 100 bytes, like relocated addresses in a rebuilt program.
    std::mt19937 rng(5);
    Bytes old = Random(rng, 100000, 64);
    Bytes target = old;
    for (std::size_t at = 50; at + 4 < target.size(); at += 100)
        for (std::size_t k = 0; k < 4; k++)
            target[at + k] = static_cast<std::uint8_t>(rng());
    std::vector<Op> ops = MakeOps(old, target);
    EXPECT_LE(LiteralBytes(ops), 1000u * 4);
    EXPECT_EQ(ApplyOps(old, ops), target);
}

TEST(DeltaEngine, DifferenceBodySpansScatteredChangesAndMovedBlocks)
{
    // Relocated four-byte fields every 100 bytes inside three blocks that changed places.
    std::mt19937 rng(9);
    Bytes a = Random(rng, 30000, 64), b = Random(rng, 30000, 64), c = Random(rng, 30000, 64);
    Bytes old = a;
    old.insert(old.end(), b.begin(), b.end());
    old.insert(old.end(), c.begin(), c.end());
    Bytes target = c;
    target.insert(target.end(), a.begin(), a.end());
    target.insert(target.end(), b.begin(), b.end());
    for (std::size_t at = 50; at + 4 < target.size(); at += 100)
        target[at] = static_cast<std::uint8_t>(target[at] + 16);
    DiffBody body = MakeDiffBody(old, target);
    EXPECT_LE(body.controls.size(), 4u);
    EXPECT_EQ(body.extra.size(), 0u);
    EXPECT_EQ(ApplyDiff(old, body), target);
}

TEST(DeltaEngine, EntryKeepsTheBodyThatPacksSmaller)
{
    std::mt19937 rng(13);
    Bytes old = Random(rng, 200000, 64);
    Bytes scattered = old;
    for (std::size_t at = 50; at < scattered.size(); at += 64)
        scattered[at] = static_cast<std::uint8_t>(scattered[at] + 1);
    struct Case {
        const char* name;
        Bytes target;
    } cases[] = {
        {"scattered changes", scattered},
        {"one small change", Edit(rng, old, 3)},
        {"unrelated file", Random(rng, 50000)},
    };
    for (const Case& c : cases) {
        PatchEntry either = MakePatchEntry("\\a.bin", old, c.target, Bodies::Either);
        PatchEntry ops = MakePatchEntry("\\a.bin", old, c.target, Bodies::OpsOnly);
        EXPECT_EQ(ops.Kind(), BodyKind::Ops) << c.name;
        EXPECT_LE(Packed(either), Packed(ops)) << c.name;
        EXPECT_EQ(ApplyEntry(either, old), c.target) << c.name;
    }
    EXPECT_EQ(MakePatchEntry("\\a.bin", old, scattered, Bodies::Either).Kind(), BodyKind::Difference);
}

TEST(DeltaEngine, AttachedEntryCarriesTheWholeFile)
{
    PatchEntry entry = MakeAttachedEntry("\\new.txt", AsBytes("hello"));
    EXPECT_TRUE(entry.attached);
    EXPECT_EQ(entry.data, ToBytes("hello"));
    EXPECT_EQ(entry.targetCrc, Crc32(AsBytes("hello")));
    const PatchEntry entries[] = {entry};
    EXPECT_EQ(ReadPatchFile(WritePatchFile(entries))[0], entry);
}
