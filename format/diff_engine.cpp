// Difference bodies: a scan over the suffix array finds covers, places in target where a new
// displacement into old starts to explain the bytes better than the current one; the borders
// between covers, and the runs inside a cover that are better sent as extra bytes, are then
// placed where the estimated packed size is least.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "format/cost_model.h"
#include "format/delta.h"
#include "format/match_finder.h"

namespace mendsmith::format {

namespace {

// Estimated packed bytes of the pieces of a difference body, and how hard the scan looks.
// Zero difference bytes pack to almost nothing; a byte that differs costs a little more than a
// new byte, since it breaks a run of zeros.
struct DiffCosts {
    double same = 0.02;
    double differ = 0.8;
    double extra = 0.6;
    double control = 6.0;
    std::size_t switchGain = 8; // bytes a new displacement must explain beyond the current one
    std::size_t minMatch = 7;   // the shortest exact match a new displacement is taken from
    std::size_t lookAhead = 64; // bytes compared at least, past a short exact match
    std::size_t recent = 8;     // displacements left lately that the scan tries again
    std::size_t neighbours = 8; // suffix array slots tried on either side of the longest match
};

DiffCosts CostsFor(ByteView target)
{
    DiffCosts costs;
    costs.extra = EstimateCosts(target).literalByte;
    double differRatio = 1.3;
    costs.differ = costs.extra * differRatio;
    return costs;
}

constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr std::size_t kWindow = 4096; // bytes compared when weighing a new displacement
constexpr std::size_t kRecent = 16;   // at most
constexpr std::size_t kMinRecentRun = 4;
constexpr std::size_t kReportEvery = 1 << 20; // target bytes between progress calls

struct Cover {
    std::size_t start; // where in target an exact match under displacement begins
    std::ptrdiff_t displacement;
};

class Texts {
public:
    Texts(ByteView old, ByteView target) : old_(old), target_(target) {}

    bool Inside(std::size_t at, std::ptrdiff_t displacement) const
    {
        std::ptrdiff_t p = static_cast<std::ptrdiff_t>(at) + displacement;
        return p >= 0 && static_cast<std::size_t>(p) < old_.size();
    }

    bool Agrees(std::size_t at, std::ptrdiff_t displacement) const
    {
        return Inside(at, displacement) &&
               old_[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(at) + displacement)] == target_[at];
    }

    // Bytes from at on that equal old under displacement.
    std::size_t Run(std::size_t at, std::ptrdiff_t displacement) const
    {
        if (!Inside(at, displacement))
            return 0;
        std::size_t p = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(at) + displacement);
        return CommonPrefix(old_.data() + p, target_.data() + at, std::min(old_.size() - p, target_.size() - at));
    }

    std::size_t Agreement(std::size_t from, std::size_t to, std::ptrdiff_t displacement) const
    {
        std::size_t count = 0;
        for (std::size_t at = from; at < to; at++)
            count += Agrees(at, displacement);
        return count;
    }

    ByteView old() const { return old_; }
    ByteView target() const { return target_; }

private:
    ByteView old_;
    ByteView target_;
};

std::vector<Cover> FindCovers(const MatchFinder& finder, const Texts& texts, const DiffCosts& costs,
                              const DeltaProgress& progress)
{
    ByteView target = texts.target();
    std::vector<Cover> covers;
    std::ptrdiff_t current = 0;
    // Displacements left lately: code that moved as a whole often returns to one after an
    // inserted or changed piece.
    std::array<std::ptrdiff_t, kRecent> recent{};
    std::size_t recentCount = 0;
    std::size_t nextReport = kReportEvery;
    std::size_t at = 0;
    while (at < target.size()) {
        if (progress && at >= nextReport) {
            progress(at);
            nextReport = at + kReportEvery;
        }
        if (!covers.empty()) {
            std::size_t run = texts.Run(at, current);
            if (run > 0) {
                at += run;
                continue;
            }
        }
        Match match = finder.Longest(target.subspan(at));
        std::size_t window = std::min(std::max(match.length, costs.lookAhead), kWindow);
        window = std::min(window, target.size() - at);
        std::size_t known = covers.empty() ? 0 : texts.Agreement(at, at + window, current);
        std::ptrdiff_t best = 0;
        std::size_t bestScore = 0, bestRun = 0;
        if (match.length >= costs.minMatch) {
            best = static_cast<std::ptrdiff_t>(match.position) - static_cast<std::ptrdiff_t>(at);
            bestScore = texts.Agreement(at, at + window, best);
            bestRun = match.length;
            // Of the places that begin alike, the one that agrees longest past the first mismatch.
            for (int side : {-1, 1}) {
                for (std::ptrdiff_t k = 1; k <= static_cast<std::ptrdiff_t>(costs.neighbours); k++) {
                    Match other = finder.Neighbour(match, side * k, target.subspan(at));
                    if (other.length < costs.minMatch)
                        break;
                    std::ptrdiff_t d = static_cast<std::ptrdiff_t>(other.position) - static_cast<std::ptrdiff_t>(at);
                    std::size_t score = texts.Agreement(at, at + window, d);
                    if (score > bestScore) {
                        best = d;
                        bestScore = score;
                        bestRun = other.length;
                    }
                }
            }
        }
        for (std::size_t r = 0; r < std::min({recentCount, costs.recent, kRecent}); r++) {
            std::size_t run = texts.Run(at, recent[r]);
            if (run < kMinRecentRun)
                continue;
            std::size_t score = texts.Agreement(at, at + window, recent[r]);
            if (score > bestScore) {
                best = recent[r];
                bestScore = score;
                bestRun = run;
            }
        }
        if (bestRun > 0 && bestScore > known + costs.switchGain) {
            if (!covers.empty())
                recent[recentCount++ % kRecent] = current;
            covers.push_back({at, best});
            current = best;
            at += bestRun;
            continue;
        }
        at++;
    }
    return covers;
}

// Cost of the byte at under displacement.
double ByteCost(const Texts& texts, const DiffCosts& costs, std::size_t at, std::ptrdiff_t displacement)
{
    if (!texts.Inside(at, displacement))
        return kNever;
    return texts.Agrees(at, displacement) ? costs.same : costs.differ;
}

struct Border {
    std::size_t leftEnd;    // the left cover's bytes end here
    std::size_t rightStart; // the right cover's bytes start here; extra bytes between
};

// The cheapest border in [from, to) between a cover on the left and one on the right (either
// may be absent): the left cover reaches forward to leftEnd, the right one back to rightStart.
Border PlaceBorder(const Texts& texts, const DiffCosts& costs, std::size_t from, std::size_t to,
                   const std::ptrdiff_t* left, const std::ptrdiff_t* right)
{
    std::size_t leftLimit = from;
    if (left)
        while (leftLimit < to && texts.Inside(leftLimit, *left))
            leftLimit++;
    std::size_t rightLimit = to;
    if (right)
        while (rightLimit > from && texts.Inside(rightLimit - 1, *right))
            rightLimit--;
    double rightTotal = 0;
    for (std::size_t at = rightLimit; at < to; at++)
        rightTotal += ByteCost(texts, costs, at, *right);

    // total(y) = min over x <= y of (leftCost(x) - extra * x) + extra * y + rightCost(y..to)
    Border best{from, to};
    double bestTotal = kNever;
    double leftCost = 0, bestLeft = 0, rightBefore = 0;
    std::size_t bestLeftAt = from;
    for (std::size_t y = from; y <= to; y++) {
        if (y > from && y <= leftLimit) {
            leftCost += ByteCost(texts, costs, y - 1, *left);
            double value = leftCost - costs.extra * static_cast<double>(y);
            if (value < bestLeft) {
                bestLeft = value;
                bestLeftAt = y;
            }
        }
        if (y == from)
            bestLeft = -costs.extra * static_cast<double>(from);
        if (y >= rightLimit) {
            double total = bestLeft + costs.extra * static_cast<double>(y) + (rightTotal - rightBefore);
            if (total < bestTotal) {
                bestTotal = total;
                best = {bestLeftAt, y};
            }
            if (y < to)
                rightBefore += ByteCost(texts, costs, y, *right);
        }
    }
    return best;
}

// Writes controls, difference and extra bytes; neighbouring pieces share a control where the
// format allows.
class BodyWriter {
public:
    BodyWriter(const Texts& texts, std::size_t reserve) : texts_(texts) { body_.difference.reserve(reserve); }

    void Add(std::size_t from, std::size_t to, std::ptrdiff_t displacement)
    {
        if (to <= from)
            return;
        std::size_t source = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(from) + displacement);
        if (!open_ || pending_.extraLength > 0 || position_ != source) {
            Close(source);
            open_ = true;
        }
        for (std::size_t at = from; at < to; at++)
            body_.difference.push_back(
                static_cast<std::uint8_t>(texts_.target()[at] - texts_.old()[source + (at - from)]));
        pending_.addLength += static_cast<std::uint32_t>(to - from);
        position_ = source + (to - from);
    }

    void Extra(std::size_t from, std::size_t to)
    {
        if (to <= from)
            return;
        if (!open_) {
            Close(position_);
            open_ = true;
        }
        ByteView target = texts_.target();
        body_.extra.insert(body_.extra.end(), target.begin() + static_cast<std::ptrdiff_t>(from),
                           target.begin() + static_cast<std::ptrdiff_t>(to));
        pending_.extraLength += static_cast<std::uint32_t>(to - from);
    }

    DiffBody Finish()
    {
        Close(position_);
        return std::move(body_);
    }

private:
    // Ends the open control with a step to next, the old position the following piece needs.
    void Close(std::size_t next)
    {
        std::ptrdiff_t step = static_cast<std::ptrdiff_t>(next) - static_cast<std::ptrdiff_t>(position_);
        if (open_) {
            pending_.step = static_cast<std::int32_t>(step);
            body_.controls.push_back(pending_);
        } else if (step != 0) {
            body_.controls.push_back({0, 0, static_cast<std::int32_t>(step)});
        }
        pending_ = {};
        open_ = false;
        position_ = next;
    }

    const Texts& texts_;
    DiffBody body_;
    DiffControl pending_;
    bool open_ = false;
    std::size_t position_ = 0; // in old, after the open control's add bytes
};

// A cover's bytes [from, to) under displacement: runs where extra bytes beat difference bytes
// by more than a control's cost are sent as extra bytes.
void WriteCover(BodyWriter& writer, const Texts& texts, const DiffCosts& costs, std::size_t from, std::size_t to,
                std::ptrdiff_t displacement)
{
    double gain = 0, bestGain = 0;
    std::size_t gainStart = from, bestStart = from, bestEnd = from, written = from;
    auto cut = [&] {
        if (bestGain > costs.control) {
            writer.Add(written, bestStart, displacement);
            writer.Extra(bestStart, bestEnd);
            written = bestEnd;
        }
        bestGain = 0;
    };
    for (std::size_t at = from; at < to; at++) {
        if (gain <= 0) {
            cut();
            gain = 0;
            gainStart = at;
        }
        gain += ByteCost(texts, costs, at, displacement) - costs.extra;
        if (gain > bestGain) {
            bestGain = gain;
            bestStart = gainStart;
            bestEnd = at + 1;
        }
    }
    cut();
    writer.Add(written, to, displacement);
}

} // namespace

DiffBody MakeDiffBody(ByteView old, ByteView target, const DeltaProgress& progress)
{
    if (old.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw FormatError("old file is " + std::to_string(old.size()) +
                          " bytes; the delta engine takes less than 2 GiB");
    CheckedU32(target.size(), "new file");

    const DiffCosts costs = CostsFor(target);
    const Texts texts(old, target);
    std::vector<Cover> covers;
    {
        const MatchFinder finder(old);
        covers = FindCovers(finder, texts, costs, progress);
    }

    BodyWriter writer(texts, target.size());
    std::size_t written = 0;
    for (std::size_t k = 0; k <= covers.size(); k++) {
        const std::ptrdiff_t* left = k > 0 ? &covers[k - 1].displacement : nullptr;
        const std::ptrdiff_t* right = k < covers.size() ? &covers[k].displacement : nullptr;
        std::size_t from = k > 0 ? covers[k - 1].start : 0;
        std::size_t to = k < covers.size() ? covers[k].start : target.size();
        from = std::max(from, written);
        Border border = PlaceBorder(texts, costs, from, to, left, right);
        if (left)
            WriteCover(writer, texts, costs, written, border.leftEnd, *left);
        writer.Extra(border.leftEnd, border.rightStart);
        written = border.rightStart;
    }
    if (progress)
        progress(target.size());
    return writer.Finish();
}

} // namespace mendsmith::format
