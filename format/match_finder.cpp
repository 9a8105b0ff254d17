// The suffix array of the old file: libdivsufsort where the build found it, else prefix doubling.
#include "format/match_finder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <numeric>
#include <utility>

#ifdef MENDSMITH_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace mendsmith::format {

namespace {

using Index = std::int32_t;

// Sorts the suffixes of file into sa, which holds one Index for each byte.
void SortSuffixes(ByteView file, Index* sa)
{
#ifdef MENDSMITH_HAVE_DIVSUFSORT
    if (divsufsort(file.data(), sa, static_cast<Index>(file.size())) != 0)
        throw FormatError("suffix sorting of the old file failed");
#else
    // Prefix doubling: slower than divsufsort, but it builds wherever the format library does.
    const std::size_t n = file.size();
    std::vector<Index> rank(file.begin(), file.end());
    std::vector<Index> next(n);
    std::iota(sa, sa + n, 0);
    for (std::size_t k = 1;; k <<= 1) {
        auto key = [&](Index i) { return std::pair(rank[i], i + k < n ? rank[i + k] : -1); };
        std::sort(sa, sa + n, [&](Index a, Index b) { return key(a) < key(b); });
        next[sa[0]] = 0;
        for (std::size_t i = 1; i < n; i++)
            next[sa[i]] = next[sa[i - 1]] + (key(sa[i - 1]) < key(sa[i]) ? 1 : 0);
        rank.swap(next);
        if (rank[sa[n - 1]] == static_cast<Index>(n - 1))
            break;
    }
#endif
}

} // namespace

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

SuffixArray::SuffixArray(ByteView file) : size_(file.size())
{
    slots_.reset(static_cast<std::uint8_t*>(std::malloc(size_ * sizeof(Index) + 1)));
    if (!slots_)
        throw std::bad_alloc();
    if (size_ == 0)
        return;
    Index* sorted = reinterpret_cast<Index*>(slots_.get());
    SortSuffixes(file, sorted);
    if (size_ >= std::size_t{1} << 24)
        return;
    // Slot i moves down to 3i, below the 4i it is read from, so each is read before it is
    // overwritten; shrinking the block in place gives the quarter back.
    width_ = 3;
    for (std::size_t i = 0; i < size_; i++) {
        std::uint32_t position = static_cast<std::uint32_t>(sorted[i]);
        std::memcpy(slots_.get() + i * 3, &position, 3);
    }
    if (auto* packed = static_cast<std::uint8_t*>(std::realloc(slots_.get(), size_ * 3 + 1))) {
        (void)slots_.release();
        slots_.reset(packed);
    }
}

// The first slot of each two-byte prefix, in a table of a quarter megabyte: under a megabyte that
// is more than a tenth of the suffix array, and there the table holds the first byte's slots
// only, narrowed to the second byte's by binary search, to the same bounds a little slower.
MatchFinder::MatchFinder(ByteView old) : old_(old), sa_(old), bucket_(old.size() >= kTwoByteTableFrom ? 65537 : 257, 0)
{
    for (std::size_t p = 0; p < old.size(); p++)
        bucket_[(TwoByteTable() ? Key(p) : old[p]) + 1]++;
    std::partial_sum(bucket_.begin(), bucket_.end(), bucket_.begin());
}

Match MatchFinder::Longest(ByteView text) const
{
    if (text.size() < 2 || old_.size() < 2)
        return {};
    std::size_t key = static_cast<std::size_t>(text[0]) << 8 | text[1];
    std::size_t lo, hi;
    if (TwoByteTable()) {
        lo = bucket_[key];
        hi = bucket_[key + 1];
    } else {
        lo = FirstWithKey(bucket_[text[0]], bucket_[text[0] + 1u], key);
        hi = FirstWithKey(lo, bucket_[text[0] + 1u], key + 1);
    }
    std::size_t lcpLo = 0, lcpHi = 0;
    Match best;
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;
        std::size_t pos = sa_[mid];
        std::size_t skip = std::min(lcpLo, lcpHi);
        std::size_t limit = std::min(old_.size() - pos, text.size());
        std::size_t length = skip + CommonPrefix(old_.data() + pos + skip, text.data() + skip, limit - skip);
        if (length > best.length)
            best = {length, pos, mid};
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

std::size_t MatchFinder::FirstWithKey(std::size_t lo, std::size_t hi, std::size_t key) const
{
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;
        if (Key(sa_[mid]) < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

Match MatchFinder::Neighbour(const Match& match, std::ptrdiff_t offset, ByteView text) const
{
    std::ptrdiff_t slot = static_cast<std::ptrdiff_t>(match.slot) + offset;
    if (match.length == 0 || slot < 0 || static_cast<std::size_t>(slot) >= sa_.size())
        return {};
    std::size_t pos = sa_[static_cast<std::size_t>(slot)];
    return {MatchAt(pos, text), pos, static_cast<std::size_t>(slot)};
}

} // namespace mendsmith::format
