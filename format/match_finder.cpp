// The suffix array of the old file: libdivsufsort where the build found it, else prefix doubling.
#include "format/match_finder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>
#include <utility>

#ifdef MENDSMITH_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

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

MatchFinder::MatchFinder(ByteView old) : old_(old), sa_(BuildSuffixArray(old)), bucket_(65537, 0)
{
    for (Index p : sa_)
        bucket_[Key(static_cast<std::size_t>(p)) + 1]++;
    std::partial_sum(bucket_.begin(), bucket_.end(), bucket_.begin());
}

Match MatchFinder::Longest(ByteView text) const
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

Match MatchFinder::Neighbour(const Match& match, std::ptrdiff_t offset, ByteView text) const
{
    std::ptrdiff_t slot = static_cast<std::ptrdiff_t>(match.slot) + offset;
    if (match.length == 0 || slot < 0 || static_cast<std::size_t>(slot) >= sa_.size())
        return {};
    std::size_t pos = static_cast<std::size_t>(sa_[static_cast<std::size_t>(slot)]);
    return {MatchAt(pos, text), pos, static_cast<std::size_t>(slot)};
}

} // namespace mendsmith::format
