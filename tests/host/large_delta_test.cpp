// The bounded-memory matcher: its streamed difference bodies rebuild every pair through the
// stub's decoder, and the streamed Patch.dat and record give the bytes the whole-buffer writers give.
#include <gtest/gtest.h>

#include <random>

#include "format/crc.h"
#include "format/large_delta.h"
#include "format/record.h"
#include "tool_test_support.h"

using namespace mendsmith;
using namespace mendsmith::format;
using mendsmith::test::ScratchDir;

namespace {

Bytes Random(std::mt19937& rng, std::size_t size, unsigned alphabet = 256)
{
    Bytes out(size);
    for (std::uint8_t& b : out)
        b = static_cast<std::uint8_t>(rng() % alphabet);
    return out;
}

void Write(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The entry of a streamed body for old to target, blocks of blockSize bytes.
PatchEntry StreamedEntry(const ScratchDir& dir, const Bytes& old, const Bytes& target, std::size_t blockSize)
{
    Write(dir / "old", old);
    Write(dir / "new", target);
    PatchEntry entry;
    entry.sourceCrc = Crc32(old);
    entry.targetCrc = Crc32(target);
    entry.path = "\\data.pak";
    entry.streamed = std::make_shared<StreamedDiff>(
        StreamDiff(dir / "old", dir / "new", MatchLargeFiles(dir / "old", dir / "new", blockSize)));
    return entry;
}

} // namespace

TEST(LargeDelta, StreamedBodiesRebuildSeededPairsThroughTheStubsDecoder)
{
    ScratchDir dir;
    for (std::uint32_t seed = 1; seed <= 300; seed++) {
        std::mt19937 rng(seed);
        const std::size_t size = seed % 50 == 0 ? 0 : rng() % (seed % 10 == 0 ? 200000 : 5000);
        Bytes old = Random(rng, size, seed % 3 == 0 ? 4 : 256);
        Bytes target = old;
        // Scattered changed bytes, an insertion, a cut and a stretch of old moved elsewhere.
        for (int i = 0, changes = static_cast<int>(rng() % 40); i < changes && !target.empty(); i++)
            target[rng() % target.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        Bytes inserted = Random(rng, rng() % 3000);
        target.insert(target.begin() + static_cast<std::ptrdiff_t>(target.empty() ? 0 : rng() % target.size()),
                      inserted.begin(), inserted.end());
        if (target.size() > 100 && seed % 2 == 0) {
            const std::size_t at = rng() % (target.size() - 100);
            target.erase(target.begin() + static_cast<std::ptrdiff_t>(at),
                         target.begin() + static_cast<std::ptrdiff_t>(at + rng() % 100));
        }
        if (old.size() > 1000 && seed % 3 == 1)
            target.insert(target.begin(), old.end() - 1000, old.end());
        const std::size_t blockSize = seed % 4 == 0 ? 64 : 16;

        const PatchEntry entry = StreamedEntry(dir, old, target, blockSize);
        const std::vector<PatchEntry> read = ReadPatchFile(WritePatchFile(std::span(&entry, 1)));
        ASSERT_EQ(read.size(), 1u) << "seed " << seed;
        ASSERT_EQ(ApplyEntry(read[0], old), target) << "seed " << seed;
    }
}

TEST(LargeDelta, CarriesScatteredChangesUnderOneDisplacementAndTheInsertionAsExtraBytes)
{
    ScratchDir dir;
    std::mt19937 rng(22);
    const Bytes old = Random(rng, 1 << 20);
    Bytes target = old;
    for (std::size_t at = 1000; at < target.size(); at += 65536)
        target[at] ^= 0x5A;
    const Bytes inserted = Random(rng, 4096);
    target.insert(target.begin() + 500000, inserted.begin(), inserted.end());

    const PatchEntry entry = StreamedEntry(dir, old, target, 32);
    // Before the insertion, after it: the changed bytes never end a control.
    ASSERT_EQ(entry.streamed->controls.size(), 2u);
    EXPECT_EQ(entry.streamed->extraSize, inserted.size());
    EXPECT_EQ(ApplyEntry(ReadPatchFile(WritePatchFile(std::span(&entry, 1)))[0], old), target);
}

TEST(LargeDelta, StreamedWritersGiveTheBytesOfTheWholeBufferWriters)
{
    ScratchDir dir;
    std::mt19937 rng(5);
    const Bytes old = Random(rng, 300000, 16);
    Bytes target = old;
    target.insert(target.begin() + 1000, old.begin() + 5000, old.begin() + 9000);
    std::vector<PatchEntry> entries = {MakeAttachedEntry("\\a.txt", ToBytes("attached")),
                                       StreamedEntry(dir, old, target, 16),
                                       MakeDifferenceEntry("\\b.bin", old, target, MakeDiffBody(old, target)),
                                       MakeRemovalEntry("\\gone.txt", old)};

    for (const std::vector<PatchEntry>& list : {std::vector<PatchEntry>{}, entries}) {
        const Bytes whole = WritePatchFile(list);
        Bytes pieces;
        PackedSizeCounter packed;
        WritePatchFile(list, [&](ByteView piece) {
            AppendBytes(pieces, piece);
            packed.Write(piece);
        });
        EXPECT_EQ(pieces, whole) << list.size() << " entries";
        EXPECT_EQ(PatchFileSize(list), whole.size());
        EXPECT_EQ(packed.Finish(), CompressBzip2(whole).size());
    }
    const Bytes whole = WritePatchFile(entries);

    RecordWriter record(static_cast<std::uint32_t>(whole.size()));
    for (std::size_t at = 0; at < whole.size(); at += 7777)
        record.Write(ByteView(whole).subspan(at, std::min<std::size_t>(7777, whole.size() - at)));
    EXPECT_EQ(record.Finish(), MakeRecord(whole));

    RecordWriter shortRecord(static_cast<std::uint32_t>(whole.size() + 1));
    shortRecord.Write(whole);
    EXPECT_THROW(shortRecord.Finish(), FormatError);
}
