// Longest matches of target text in an old file, over a suffix array of the whole old file.
#ifndef MENDSMITH_FORMAT_MATCH_FINDER_H
#define MENDSMITH_FORMAT_MATCH_FINDER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <vector>

#include "format/bytes.h"

namespace mendsmith::format {

// Length of the common prefix of a and b, at most limit.
std::size_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit);

// The suffix array of a file, each slot in three bytes when the file is under 16 MiB: a quarter
// less than the four of the sort's own output, which the array is packed from in place.
class SuffixArray {
public:
    explicit SuffixArray(ByteView file);

    std::size_t size() const { return size_; }
    std::size_t operator[](std::size_t slot) const
    {
        std::uint32_t position;
        std::memcpy(&position, slots_.get() + slot * width_, 4);
        return width_ == 4 ? position : position & 0xFFFFFF;
    }

private:
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> slots_; // one byte over, for the last slot's four-byte read
    std::size_t size_ = 0;
    std::size_t width_ = 4;
};

struct Match {
    std::size_t length = 0;
    std::size_t position = 0;
    std::size_t slot = 0; // in the suffix array
};

// Binary search of the suffix array within the slots of the first two bytes. The old file must
// stay alive and be under 2 GiB.
class MatchFinder {
public:
    explicit MatchFinder(ByteView old);

    // Matches shorter than two bytes never pay: most are reported as no match, but a one-byte
    // suffix of old may be reported for text whose second byte is zero.
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

    bool TwoByteTable() const { return bucket_.size() > 257; }
    // The first slot in [lo, hi) whose suffix begins with key or a later pair.
    std::size_t FirstWithKey(std::size_t lo, std::size_t hi, std::size_t key) const;

    static constexpr std::size_t kTwoByteTableFrom = std::size_t{1} << 20;

    ByteView old_;
    SuffixArray sa_;
    std::vector<std::uint32_t> bucket_; // first slot of each two-byte prefix, or of each first byte
};

} // namespace mendsmith::format

#endif
