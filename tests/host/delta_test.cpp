#include <gtest/gtest.h>

#include <random>

#include "format/crc.h"
#include "format/delta.h"
#include "format/patch_file.h"

using namespace mendsmith::format;

namespace {

// Delta, Patch.dat write and read, and application must give back the target exactly.
void ExpectRoundTrip(const Bytes& old, const Bytes& target)
{
    std::vector<Op> ops = MakeOps(old, target);
    for (const Op& op : ops)
        EXPECT_GT(op.length, 0u) << "MakeOps emits no empty ops";
    ASSERT_EQ(ApplyOps(old, ops), target);
    const PatchEntry entries[] = {MakePatchEntry("\\dir\\file.bin", old, target)};
    EXPECT_EQ(entries[0].sourceCrc, Crc32(old));
    EXPECT_EQ(entries[0].targetCrc, Crc32(target));
    auto read = ReadPatchFile(WritePatchFile(entries));
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0], entries[0]);
    EXPECT_EQ(ApplyEntry(read[0], old), target);
}

Bytes Random(std::mt19937& rng, std::size_t size, int alphabet = 256)
{
    Bytes out(size);
    std::uniform_int_distribution<int> byte(0, alphabet - 1);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(byte(rng));
    return out;
}

// old edited by a few inserts, deletes, replacements and moved blocks.
Bytes Mutate(std::mt19937& rng, const Bytes& old)
{
    Bytes out = old;
    int edits = std::uniform_int_distribution<int>(0, 8)(rng);
    for (int e = 0; e < edits; e++) {
        std::size_t at = out.empty() ? 0 : std::uniform_int_distribution<std::size_t>(0, out.size())(rng);
        std::size_t n = std::uniform_int_distribution<std::size_t>(0, 64)(rng);
        switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
        case 0: {
            Bytes ins = Random(rng, n);
            out.insert(out.begin() + at, ins.begin(), ins.end());
            break;
        }
        case 1:
            out.erase(out.begin() + at, out.begin() + std::min(out.size(), at + n));
            break;
        case 2:
            for (std::size_t i = at; i < std::min(out.size(), at + n); i++)
                out[i] = static_cast<std::uint8_t>(rng());
            break;
        default: {
            if (old.empty())
                break;
            std::size_t from = std::uniform_int_distribution<std::size_t>(0, old.size() - 1)(rng);
            std::size_t len = std::min(old.size() - from, n * 4);
            out.insert(out.begin() + at, old.begin() + from, old.begin() + from + len);
        }
        }
    }
    return out;
}

} // namespace

TEST(Delta, EdgeCases)
{
    Bytes block = ToBytes("0123456789abcdefghijklmnopqrstuvwxyz");
    Bytes twice = block;
    twice.insert(twice.end(), block.begin(), block.end());
    struct Case {
        const char* name;
        Bytes old, target;
    } cases[] = {
        {"both empty", {}, {}},
        {"old empty", {}, block},
        {"new empty", block, {}},
        {"identical", block, block},
        {"one byte each", {1}, {1}},
        {"seven bytes identical", ToBytes("1234567"), ToBytes("1234567")},
        {"eight bytes identical", ToBytes("12345678"), ToBytes("12345678")},
        {"nine bytes", ToBytes("123456789"), ToBytes("123456789")},
        {"prefix", block, Bytes(block.begin(), block.begin() + 10)},
        {"suffix", block, Bytes(block.end() - 13, block.end())},
        {"doubled", block, twice},
        {"halved", twice, block},
        {"all zero", Bytes(1000, 0), Bytes(1500, 0)},
        {"zeros to ones", Bytes(100, 0), Bytes(100, 1)},
        {"unaligned shift", block, Bytes(block.begin() + 3, block.end())},
        {"one byte changed", block, [&] { Bytes b = block; b[17] ^= 1; return b; }()},
        {"ABCDEF", ToBytes("ABCDEF"), ToBytes("ABxyEF")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRoundTrip(c.old, c.target);
    }
}

TEST(Delta, FindsCopies)
{
    Bytes old(4096);
    for (std::size_t i = 0; i < old.size(); i++)
        old[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
    Bytes target = old;
    target[2000] ^= 0xFF;
    auto ops = MakeOps(old, target);
    std::size_t literal = 0;
    for (const Op& op : ops)
        if (op.kind == OpKind::Literal)
            literal += op.length;
    EXPECT_LE(literal, 16u);
    EXPECT_EQ(ApplyOps(old, ops), target);
}

TEST(Delta, SeededRandomPairs)
{
    for (std::uint32_t seed = 1; seed <= 400; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        std::size_t size = std::uniform_int_distribution<std::size_t>(0, seed % 10 == 0 ? 20000 : 600)(rng);
        int alphabet = seed % 3 == 0 ? 2 : 256; // small alphabets give many repeated blocks
        Bytes old = Random(rng, size, alphabet);
        Bytes target = seed % 7 == 0 ? Random(rng, size / 2, alphabet) : Mutate(rng, old);
        ExpectRoundTrip(old, target);
        if (HasFatalFailure())
            return;
    }
}

TEST(Delta, AttachedEntry)
{
    PatchEntry entry = MakeAttachedEntry("\\new.txt", AsBytes("hello"));
    EXPECT_TRUE(entry.attached);
    EXPECT_EQ(entry.data, ToBytes("hello"));
    EXPECT_EQ(entry.targetCrc, Crc32(AsBytes("hello")));
    const PatchEntry entries[] = {entry};
    EXPECT_EQ(ReadPatchFile(WritePatchFile(entries))[0], entry);
}
