// Delta engine: a suffix array of the whole old file finds the longest match at each target
// position; a cost model of the packed size decides which matches become copy ops.
#include "format/delta.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <numeric>

#include "format/cost_model.h"
#include "format/crc.h"
#include "format/match_finder.h"
#include "format/record.h"

namespace mendsmith::format {

CostModel EstimateCosts(ByteView target)
{
    CostModel model;
    constexpr std::size_t kSample = 128 * 1024;
    if (target.size() < 4096)
        return model;
    std::size_t take = std::min(kSample, target.size());
    ByteView sample = target.subspan((target.size() - take) / 2, take);
    double ratio = static_cast<double>(CompressBzip2(sample).size()) / static_cast<double>(take);
    model.literalByte = std::clamp(ratio * 1.15, 0.05, 1.0);
    return model;
}

namespace {

// Collects ops, merging a copy that continues the previous one and consecutive literals.
class OpSink {
public:
    explicit OpSink(ByteView target) : target_(target) {}

    void Literal(std::size_t from, std::size_t to)
    {
        if (to <= from)
            return;
        if (!ops_.empty() && ops_.back().kind == OpKind::Literal) {
            Op& last = ops_.back();
            last.literal.insert(last.literal.end(), target_.begin() + from, target_.begin() + to);
            last.length = static_cast<std::uint32_t>(last.literal.size());
            return;
        }
        ops_.push_back(Op::MakeLiteral(Bytes(target_.begin() + from, target_.begin() + to)));
    }

    void Copy(std::size_t length, std::size_t source)
    {
        if (length == 0)
            return;
        if (!ops_.empty() && ops_.back().kind == OpKind::Copy &&
            ops_.back().sourceOffset + static_cast<std::size_t>(ops_.back().length) == source) {
            ops_.back().length += static_cast<std::uint32_t>(length);
            return;
        }
        ops_.push_back(Op::MakeCopy(static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(source)));
    }

    // A deque grows without the copy of a doubling vector, which would briefly need the old
    // and the new array on top of the suffix array.
    std::deque<Op> Take() { return std::move(ops_); }

private:
    ByteView target_;
    std::deque<Op> ops_;
};

std::deque<Op> ChooseOps(const MatchFinder& finder, const CostModel& cost, ByteView old, ByteView target)
{
    const std::size_t n = target.size();
    OpSink sink(target);

    // A match pays when its bytes would cost more as literals than as a copy op; breaking a
    // pending literal run costs a second literal header, and a copy right after a copy saves one.
    auto pays = [&](std::size_t length, bool pending, bool reachesEnd) {
        double gain = static_cast<double>(length) * cost.literalByte - cost.copyOp;
        if (!pending)
            gain += cost.literalOp;
        else if (!reachesEnd)
            gain -= cost.literalOp;
        return gain > 0;
    };

    bool haveDisplacement = false;
    std::ptrdiff_t displacement = 0; // old position minus target position of the last copy
    auto bestAt = [&](std::size_t i) {
        ByteView rest = target.subspan(i);
        Match best = finder.Longest(rest);
        // Continuing the last copy's displacement wins ties: its offsets repeat the last ones'.
        if (haveDisplacement) {
            std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) + displacement;
            if (at >= 0) {
                std::size_t length = finder.MatchAt(static_cast<std::size_t>(at), rest);
                if (length >= best.length && length > 0)
                    best = {length, static_cast<std::size_t>(at)};
            }
        }
        return best;
    };

    constexpr std::size_t kLazyLimit = 64;
    std::size_t literalStart = 0;
    std::size_t i = 0;
    Match ahead;
    std::size_t aheadAt = std::numeric_limits<std::size_t>::max();
    while (i < n) {
        Match m = aheadAt == i ? ahead : bestAt(i);
        if (!pays(m.length, i > literalStart, i + m.length == n)) {
            i++;
            continue;
        }
        if (m.length < kLazyLimit && i + 1 < n) {
            ahead = bestAt(i + 1);
            aheadAt = i + 1;
            if (ahead.length > m.length + 1) {
                i++;
                continue;
            }
        }
        std::size_t start = i;
        std::size_t from = m.position;
        while (start > literalStart && from > 0 && old[from - 1] == target[start - 1]) {
            start--;
            from--;
        }
        sink.Literal(literalStart, start);
        sink.Copy(i + m.length - start, from);
        i += m.length;
        literalStart = i;
        displacement = static_cast<std::ptrdiff_t>(from) - static_cast<std::ptrdiff_t>(start);
        haveDisplacement = true;
    }
    sink.Literal(literalStart, n);
    return sink.Take();
}

} // namespace

std::vector<Op> MakeOps(ByteView old, ByteView target)
{
    if (old.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw FormatError("old file is " + std::to_string(old.size()) +
                          " bytes; the delta engine takes less than 2 GiB");
    CheckedU32(target.size(), "new file");

    // The estimate compresses a sample; doing it first frees bzip2's work memory before the
    // suffix array is built, and the array is freed before the ops are copied out.
    const CostModel cost = EstimateCosts(target);
    std::deque<Op> ops;
    {
        const MatchFinder finder(old);
        ops = ChooseOps(finder, cost, old, target);
    }
    return {std::make_move_iterator(ops.begin()), std::make_move_iterator(ops.end())};
}

namespace {

// An entry from old to target with its path and both CRCs, and no body yet.
PatchEntry Between(std::string path, ByteView old, ByteView target)
{
    PatchEntry entry;
    entry.sourceCrc = Crc32(old);
    entry.targetCrc = Crc32(target);
    entry.path = std::move(path);
    return entry;
}

} // namespace

PatchEntry MakePatchEntry(std::string path, ByteView old, ByteView target, Bodies bodies, const DeltaProgress& progress,
                          std::uint8_t referenceKinds)
{
    if (bodies == Bodies::OpsOnly) {
        PatchEntry entry = Between(std::move(path), old, target);
        entry.ops = MakeOps(old, target);
        if (progress)
            progress(target.size());
        return entry;
    }
    // Small files get every body and keep the one that packs smallest. A large program with
    // references gets the predicted body alone: where it has references to predict, its
    // prediction through the same kind of covers leaves fewer bytes to store than a plain body.
    constexpr std::size_t kCompareBelow = 256 * 1024;
    constexpr std::size_t kFewPlaces = 64;
    const bool small = target.size() < kCompareBelow;
    DiffBodies made = MakeDiffBodies(old, target, bodies == Bodies::Predicted ? referenceKinds : 0,
                                     small ? Plain::Wanted : Plain::OnlyWithoutPrediction, progress);
    // Counted as the bytes stream through the compressor: neither the entry's bytes nor its
    // packed stream is held beside the bodies.
    auto packed = [](const PatchEntry& e) {
        PackedSizeCounter counter;
        WritePatchFile(std::span(&e, 1), [&](ByteView piece) { counter.Write(piece); });
        return counter.Finish();
    };
    PatchEntry entry = Between(std::move(path), old, target);
    if (made.predicted) {
        entry.difference = std::move(made.predicted->body);
        entry.prediction = std::move(made.predicted->prediction);
    }
    if (made.plain) {
        PatchEntry plain = Between(entry.path, old, target);
        plain.difference = std::move(made.plain);
        if (!entry.difference || packed(plain) <= packed(entry))
            entry = std::move(plain);
    }
    // The op list can win on a small file, or where a large one changed in a few places only
    // (a text with a new paragraph); a program rebuilt changes in thousands of places, and
    // there the difference body wins by far without packing both to see.
    if (small || entry.difference->controls.size() < kFewPlaces) {
        // The same entry with the other body; the difference body is not copied.
        PatchEntry ops;
        ops.sourceCrc = entry.sourceCrc;
        ops.targetCrc = entry.targetCrc;
        ops.path = entry.path;
        ops.ops = MakeOps(old, target);
        if (packed(ops) <= packed(entry))
            return ops;
    }
    return entry;
}

PatchEntry MakeDifferenceEntry(std::string path, ByteView old, ByteView target, DiffBody body)
{
    PatchEntry entry = Between(std::move(path), old, target);
    entry.difference = std::move(body);
    return entry;
}

PatchEntry MakeAttachedEntry(std::string path, ByteView data)
{
    PatchEntry entry;
    entry.sourceCrc = entry.targetCrc = Crc32(data);
    entry.path = std::move(path);
    entry.attached = true;
    entry.data.assign(data.begin(), data.end());
    return entry;
}

PatchEntry MakeRemovalEntry(std::string path, ByteView old)
{
    return MakeRemovalEntry(std::move(path), Crc32(old));
}

PatchEntry MakeRemovalEntry(std::string path, std::uint32_t oldCrc)
{
    PatchEntry entry;
    entry.sourceCrc = oldCrc;
    entry.path = std::move(path);
    entry.removal = true;
    return entry;
}

} // namespace mendsmith::format
