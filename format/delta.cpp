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

#ifdef MENDSMITH_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

#include "format/crc.h"
#include "format/record.h"

namespace mendsmith::format {

namespace {

using Index = std::int32_t;

std::vector<Index> BuildSuffixArray(ByteView old)
{
    std::vector<Index> sa(old.size());
    if (old.empty())
        return sa;
#ifdef MENDSMITH_HAVE_DIVSUFSORT
    if (divsufsort(old.data(), sa.data(), static_cast<Index>(old.size())) != 0)
        throw FormatError("suffix sorting of the old file failed");
#else
    // Prefix doubling: slower than divsufsort, but it builds wherever the format library does.
    const std::size_t n = old.size();
    std::vector<Index> rank(old.begin(), old.end());
    std::vector<Index> next(n);
    std::iota(sa.begin(), sa.end(), 0);
    for (std::size_t k = 1;; k <<= 1) {
        auto key = [&](Index i) { return std::pair(rank[i], i + k < n ? rank[i + k] : -1); };
        std::sort(sa.begin(), sa.end(), [&](Index a, Index b) { return key(a) < key(b); });
        next[sa[0]] = 0;
        for (std::size_t i = 1; i < n; i++)
            next[sa[i]] = next[sa[i - 1]] + (key(sa[i - 1]) < key(sa[i]) ? 1 : 0);
        rank.swap(next);
        if (rank[sa[n - 1]] == static_cast<Index>(n - 1))
            break;
    }
#endif
    return sa;
}

std::size_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit)
{
    std::size_t n = 0;
    while (n + 8 <= limit) {
        std::uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) {
            std::uint64_t diff = x ^ y;
            if constexpr (std::endian::native == std::endian::little)
                return n + static_cast<std::size_t>(std::countr_zero(diff)) / 8;
            else
                return n + static_cast<std::size_t>(std::countl_zero(diff)) / 8;
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n])
        n++;
    return n;
}

struct Match {
    std::size_t length = 0;
    std::size_t position = 0;
};

// Longest matches of target suffixes in old, by binary search of the suffix array within the
// bucket of the first two bytes.
class MatchFinder {
public:
    explicit MatchFinder(ByteView old) : old_(old), sa_(BuildSuffixArray(old)), bucket_(65537, 0)
    {
        for (Index p : sa_)
            bucket_[Key(static_cast<std::size_t>(p)) + 1]++;
        std::partial_sum(bucket_.begin(), bucket_.end(), bucket_.begin());
    }

    // Matches shorter than two bytes are reported as no match: they never pay.
    Match Longest(ByteView text) const
    {
        if (text.size() < 2 || old_.size() < 2)
            return {};
        std::size_t key = static_cast<std::size_t>(text[0]) << 8 | text[1];
        std::size_t lo = bucket_[key], hi = bucket_[key + 1];
        std::size_t lcpLo = 0, lcpHi = 0;
        Match best;
        while (lo < hi) {
            std::size_t mid = lo + (hi - lo) / 2;
            std::size_t pos = static_cast<std::size_t>(sa_[mid]);
            std::size_t skip = std::min(lcpLo, lcpHi);
            std::size_t limit = std::min(old_.size() - pos, text.size());
            std::size_t length = skip + CommonPrefix(old_.data() + pos + skip, text.data() + skip, limit - skip);
            if (length > best.length)
                best = {length, pos};
            if (length == text.size())
                return best;
            bool suffixLess = pos + length == old_.size() || old_[pos + length] < text[length];
            if (suffixLess) {
                lo = mid + 1;
                lcpLo = length;
            } else {
                hi = mid;
                lcpHi = length;
            }
        }
        return best;
    }

    std::size_t MatchAt(std::size_t position, ByteView text) const
    {
        if (position >= old_.size())
            return 0;
        return CommonPrefix(old_.data() + position, text.data(), std::min(old_.size() - position, text.size()));
    }

private:
    std::size_t Key(std::size_t p) const
    {
        // A one-byte suffix sorts first among those that begin with its byte.
        return static_cast<std::size_t>(old_[p]) << 8 | (p + 1 < old_.size() ? old_[p + 1] : 0);
    }

    ByteView old_;
    std::vector<Index> sa_;
    std::vector<std::uint32_t> bucket_; // first suffix array slot of each two-byte prefix
};

// Estimated bytes after bzip2 of the pieces of an op list, fitted on rebuilt programs and
// minified scripts: the offset of a copy op is the costly part, and a literal header, mostly
// zero bytes, packs to almost nothing.
struct CostModel {
    double copyOp = 3.0;    // the 9 bytes of a copy op
    double literalOp = 0.5; // the 5-byte header of a literal op
    double literalByte = 0.8;
};

// Literal bytes are the new parts of a file and pack somewhat worse than the file as a whole.
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
    if (old.size() > static_cast<std::size_t>(std::numeric_limits<Index>::max()))
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

PatchEntry MakePatchEntry(std::string path, ByteView old, ByteView target)
{
    PatchEntry entry;
    entry.sourceCrc = Crc32(old);
    entry.targetCrc = Crc32(target);
    entry.path = std::move(path);
    entry.ops = MakeOps(old, target);
    return entry;
}

PatchEntry MakeDifferenceEntry(std::string path, ByteView old, ByteView target, DiffBody body)
{
    PatchEntry entry;
    entry.sourceCrc = Crc32(old);
    entry.targetCrc = Crc32(target);
    entry.path = std::move(path);
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

} // namespace mendsmith::format
