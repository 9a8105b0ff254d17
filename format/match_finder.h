// Longest matches of target text in an old file, over a suffix array of the whole old file.
#ifndef MENDSMITH_FORMAT_MATCH_FINDER_H
#define MENDSMITH_FORMAT_MATCH_FINDER_H

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <vector>

#include "format/bytes.h"

namespace mendsmith::format {

// Length of the common prefix of a and b, at most limit.
std::size_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit);

struct Match {
    std::size_t length = 0;
    std::size_t position = 0;
    std::size_t slot = 0; // in the suffix array
};

// Binary search of the suffix array within the bucket of the first two bytes. The old file
// must stay alive and be under 2 GiB.
class MatchFinder {
public:
    explicit MatchFinder(ByteView old);

    // Matches shorter than two bytes are reported as no match: they never pay.
    Match Longest(ByteView text) const;

    // The suffix offset slots from a match found by Longest, with its common prefix with text:
    // the other places in old that begin much like text. No match outside the array.
    Match Neighbour(const Match& match, std::ptrdiff_t offset, ByteView text) const;

    // Bytes of text that equal old from position on.
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
    std::vector<std::int32_t> sa_;
    std::vector<std::uint32_t> bucket_; // first suffix array slot of each two-byte prefix
};

} // namespace mendsmith::format

#endif
