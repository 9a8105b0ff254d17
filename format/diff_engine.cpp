// Difference bodies: a scan over the suffix array finds covers, places in target where a new
// displacement into old starts to explain the bytes better than the current one; then one pass
// over target chooses, byte by byte, among the latest covers' displacements and extra bytes the
// way of least estimated packed size.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>

#include "core/references.h"

#include "format/cost_model.h"
#include "format/delta.h"
#include "format/match_finder.h"

namespace mendsmith::format {

namespace {

// Estimated packed bytes of the pieces of a difference body, and how hard the scan looks.
// Zero difference bytes pack to almost nothing; a byte that differs costs a little more than a
// new byte, since it breaks a run of zeros, unless it repeats the last difference.
struct DiffCosts {
    double same = 0.02;
    double extra = 0; // what a sample of the target packs to, a little more
    double differ = 0;
    double repeat = 0;
    double control = 6.0;
    std::size_t switchGain = 8; // bytes a new displacement must explain beyond the current one
    std::size_t minMatch = 7;   // the shortest exact match a new displacement is taken from
    std::size_t lookAhead = 64; // bytes compared at least, past a short exact match
    std::size_t neighbours = 8; // suffix array slots tried on either side of the longest match
};

DiffCosts CostsFor(ByteView target)
{
    DiffCosts costs;
    costs.extra = EstimateCosts(target).literalByte;
    double differRatio = 1.3, repeatRatio = 0.6;
    costs.differ = costs.extra * differRatio;
    costs.repeat = costs.differ * repeatRatio;
    return costs;
}

constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr std::size_t kWindow = 4096; // bytes compared when weighing a new displacement
constexpr std::size_t kSlots = 7;     // displacements weighed at once at any place
static_assert(kSlots < 8, "a byte holds the turns of every slot and of extra bytes");
constexpr std::size_t kRecent = 8; // displacements left lately that the scan tries again
constexpr std::size_t kMinRecentRun = 4;
constexpr std::size_t kReportEvery = 1 << 20; // target bytes between progress calls
constexpr std::size_t kPredictedMinMatch = 4; // DiffCosts::minMatch of the scan against predicted bytes

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

    std::uint8_t Difference(std::size_t at, std::ptrdiff_t displacement) const
    {
        return static_cast<std::uint8_t>(
            target_[at] - old_[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(at) + displacement)]);
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
        for (std::size_t r = 0; r < std::min(recentCount, kRecent); r++) {
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

// A run of target sent one way: as difference bytes under a displacement, or as extra bytes.
struct Piece {
    std::size_t start;
    std::size_t end;
    bool extra;
    std::ptrdiff_t displacement;
};

// The cheapest way through target by the cost model, among the displacements of the covers
// found so far (the latest kSlots at any place) and extra bytes: each byte costs what it
// costs under its displacement, and every turn to a displacement costs a control.
std::vector<Piece> ChoosePieces(const Texts& texts, const DiffCosts& costs, const std::vector<Cover>& covers)
{
    const std::size_t n = texts.target().size();
    constexpr std::size_t kExtra = kSlots; // the state index of extra bytes
    std::array<std::ptrdiff_t, kSlots> slot{};
    std::array<bool, kSlots> live{};
    std::array<std::uint8_t, kSlots> lastDifference{};
    std::array<double, kSlots + 1> cost; // least cost of target up to here, ending in each state
    cost.fill(kNever);
    cost[kExtra] = 0;
    // Per byte: the cheapest state before it, and the states that turned from there to take it.
    std::vector<std::uint8_t> cheapest(n), turned(n);
    struct Assignment {
        std::size_t at;
        std::size_t slot;
        std::ptrdiff_t previous;
        bool wasLive;
    };
    std::vector<Assignment> assignments;

    std::size_t nextCover = 0;
    for (std::size_t at = 0; at < n; at++) {
        for (; nextCover < covers.size() && covers[nextCover].start == at; nextCover++) {
            std::ptrdiff_t displacement = covers[nextCover].displacement;
            bool known = false;
            for (std::size_t j = 0; j < kSlots; j++)
                known = known || (live[j] && slot[j] == displacement);
            if (known)
                continue;
            // A free slot, else the one whose way is now dearest.
            std::size_t free = 0;
            for (std::size_t j = 1; j < kSlots; j++)
                if (live[free] && (!live[j] || cost[j] > cost[free]))
                    free = j;
            assignments.push_back({at, free, slot[free], live[free]});
            slot[free] = displacement;
            live[free] = true;
            lastDifference[free] = 0;
            cost[free] = kNever;
        }
        std::size_t best = static_cast<std::size_t>(std::min_element(cost.begin(), cost.end()) - cost.begin());
        const double base = cost[best];
        std::uint8_t turns = 0;
        for (std::size_t j = 0; j < kSlots; j++) {
            if (!live[j])
                continue;
            if (base + costs.control < cost[j]) {
                cost[j] = base + costs.control;
                turns |= static_cast<std::uint8_t>(1u << j);
            }
            if (!texts.Inside(at, slot[j])) {
                cost[j] = kNever;
                continue;
            }
            std::uint8_t difference = texts.Difference(at, slot[j]);
            if (difference == 0) {
                cost[j] += costs.same;
            } else {
                // A difference that repeats the last one under this displacement, as a moved
                // address does, packs much better than a new one.
                cost[j] += difference == lastDifference[j] ? costs.repeat : costs.differ;
                lastDifference[j] = difference;
            }
        }
        if (base < cost[kExtra]) {
            cost[kExtra] = base;
            turns |= static_cast<std::uint8_t>(1u << kExtra);
        }
        cost[kExtra] += costs.extra;
        cheapest[at] = static_cast<std::uint8_t>(best);
        turned[at] = turns;
    }

    std::vector<Piece> pieces;
    std::size_t state = static_cast<std::size_t>(std::min_element(cost.begin(), cost.end()) - cost.begin());
    std::size_t end = n;
    auto emit = [&](std::size_t start) {
        pieces.push_back({start, end, state == kExtra, state == kExtra ? 0 : slot[state]});
        end = start;
    };
    for (std::size_t at = n; at-- > 0;) {
        for (; !assignments.empty() && assignments.back().at > at; assignments.pop_back()) {
            slot[assignments.back().slot] = assignments.back().previous;
            live[assignments.back().slot] = assignments.back().wasLive;
        }
        if (turned[at] >> state & 1u) {
            emit(at);
            state = cheapest[at];
        }
    }
    if (end > 0)
        emit(0);
    std::reverse(pieces.begin(), pieces.end());
    return pieces;
}

// The body that the pieces of the cheapest way through target make, difference bytes against
// texts' old.
DiffBody WriteBody(const Texts& texts, const DiffCosts& costs, const std::vector<Cover>& covers)
{
    std::vector<Piece> pieces = ChoosePieces(texts, costs, covers);
    BodyWriter writer(texts, texts.target().size());
    for (const Piece& piece : pieces) {
        if (piece.extra)
            writer.Extra(piece.start, piece.end);
        else
            writer.Add(piece.start, piece.end, piece.displacement);
    }
    return writer.Finish();
}

// The layout of the new file for a predicted body, when both files are programs by the rules.
std::optional<Prediction> PredictionFor(ByteView old, ByteView target, std::uint8_t kinds)
{
    PeLayout oldLayout{}, newLayout{};
    if (kinds == 0 || old.size() > 0xFFFFFFFFu || target.size() > 0xFFFFFFFFu ||
        !ReadPeLayout(old.data(), static_cast<std::uint32_t>(old.size()), &oldLayout) ||
        !ReadPeLayout(target.data(), static_cast<std::uint32_t>(target.size()), &newLayout))
        return std::nullopt;
    Prediction prediction;
    // RIP-relative operands are looked for in PE32+ files only.
    prediction.flags =
        static_cast<std::uint8_t>(kinds & (oldLayout.wide ? REFERENCE_KINDS : REFERENCE_KINDS & ~REFERENCE_RIP));
    prediction.imageBase = newLayout.imageBase;
    std::vector<PeSection> sections(newLayout.byOffset, newLayout.byOffset + newLayout.sectionCount);
    std::sort(sections.begin(), sections.end(),
              [](const PeSection& a, const PeSection& b) { return a.order < b.order; });
    for (const PeSection& section : sections)
        prediction.sections.push_back({section.offset, section.size, section.rva});
    return prediction;
}

Bytes SectionTable(const Prediction& prediction)
{
    Bytes table;
    for (const PredictedSection& section : prediction.sections) {
        AppendU32(table, section.offset);
        AppendU32(table, section.size);
        AppendU32(table, section.rva);
    }
    return table;
}

// Old with its references predicted as if each region went where the covers take it: what the
// second scan matches target against. Empty when the old file has no reference to predict.
Bytes PredictThroughCovers(ByteView old, std::size_t targetSize, const std::vector<Cover>& covers,
                           const Prediction& prediction)
{
    // Each cover explains target up to the next one; a region of old goes where it explains.
    AddRegion* regions = static_cast<AddRegion*>(std::malloc(covers.size() * sizeof(AddRegion) + 1));
    if (regions == nullptr)
        throw std::bad_alloc();
    std::uint32_t count = 0;
    for (std::size_t i = 0; i < covers.size(); i++) {
        std::ptrdiff_t start = static_cast<std::ptrdiff_t>(covers[i].start);
        std::ptrdiff_t end = static_cast<std::ptrdiff_t>(i + 1 < covers.size() ? covers[i + 1].start : targetSize);
        std::ptrdiff_t d = covers[i].displacement;
        start = std::max(start, -d);
        end = std::min(end, static_cast<std::ptrdiff_t>(old.size()) - d);
        if (end <= start)
            continue;
        regions[count++] = {static_cast<std::uint32_t>(start + d), static_cast<std::uint32_t>(start),
                            static_cast<std::uint32_t>(end - start), static_cast<std::uint32_t>(i)};
    }
    Bytes predicted(old.begin(), old.end());
    const Bytes table = SectionTable(prediction);
    if (!PredictOldFile(old.data(), static_cast<std::uint32_t>(old.size()), predicted.data(), prediction.flags, regions,
                        count, table.data(), static_cast<std::uint32_t>(prediction.sections.size()),
                        prediction.imageBase))
        throw std::bad_alloc();
    return predicted;
}

// Receives the applier's output of a predicted body whose difference bytes are zero, piece by
// piece in control order, and turns each added piece into the difference bytes target needs.
struct DifferenceSetter {
    ByteView target;
    DiffBody* body;
    std::size_t control = 0;
    std::uint64_t addLeft = 0;   // of the current control's add bytes
    std::uint64_t extraLeft = 0; // and of its extra bytes
    std::size_t at = 0;          // in target
    std::size_t added = 0;       // in the difference bytes

    static void Write(void* context, const unsigned char* data, std::uint32_t size)
    {
        auto& self = *static_cast<DifferenceSetter*>(context);
        while (self.addLeft == 0 && self.extraLeft == 0) {
            self.addLeft = self.body->controls[self.control].addLength;
            self.extraLeft = self.body->controls[self.control++].extraLength;
        }
        if (self.addLeft > 0) {
            for (std::uint32_t i = 0; i < size; i++)
                self.body->difference[self.added + i] = static_cast<std::uint8_t>(self.target[self.at + i] - data[i]);
            self.added += size;
            self.addLeft -= size;
        } else {
            self.extraLeft -= size;
        }
        self.at += size;
    }
};

// Sets the difference bytes of a predicted body to what target needs beyond the prediction that
// the applier makes through the body's own controls. The applier reads each difference byte
// (zero) before the piece that holds it comes back, so the bytes are written in place.
void SetPredictedDifference(ByteView old, ByteView target, DiffBody& body, const Prediction& prediction)
{
    std::fill(body.difference.begin(), body.difference.end(), 0);
    Bytes header;
    for (const DiffControl& control : body.controls) {
        AppendU32(header, control.addLength);
        AppendU32(header, control.extraLength);
        AppendU32(header, static_cast<std::uint32_t>(control.step));
    }
    const Bytes table = SectionTable(prediction);
    PatchPredictedBody view{};
    view.flags = prediction.flags;
    view.sectionCount = static_cast<std::uint32_t>(prediction.sections.size());
    view.imageBase = prediction.imageBase;
    view.sections = table.data();
    view.diff = {static_cast<std::uint32_t>(body.controls.size()),
                 static_cast<std::uint32_t>(body.difference.size()),
                 static_cast<std::uint32_t>(body.extra.size()),
                 header.data(),
                 body.difference.data(),
                 body.extra.data()};
    DifferenceSetter setter{target, &body};
    const int result = ApplyPredictedBody(&view, old.data(), static_cast<std::uint32_t>(old.size()),
                                          DifferenceSetter::Write, &setter, nullptr);
    if (result == PREDICT_NO_MEMORY)
        throw std::bad_alloc();
    if (result != PREDICT_APPLIED || setter.at != target.size())
        throw FormatError("the predicted body's controls do not rebuild the new file");
}

} // namespace

DiffBodies MakeDiffBodies(ByteView old, ByteView target, std::uint8_t referenceKinds, Plain plain,
                          const DeltaProgress& progress)
{
    if (old.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw FormatError("old file is " + std::to_string(old.size()) +
                          " bytes; the delta engine takes less than 2 GiB");
    CheckedU32(target.size(), "new file");

    const DiffCosts costs = CostsFor(target);
    const Texts texts(old, target);
    std::optional<Prediction> prediction = PredictionFor(old, target, referenceKinds);
    // With a second scan each reports half of the way.
    const std::size_t passes = prediction ? 2 : 1;
    DeltaProgress first, second;
    if (progress) {
        first = [&](std::size_t done) { progress(done / passes); };
        second = [&](std::size_t done) { progress(target.size() / 2 + done / 2); };
    }
    std::vector<Cover> covers, predictedCovers;
    Bytes predictedOld;
    {
        const MatchFinder finder(old);
        covers = FindCovers(finder, texts, costs, first);
        if (prediction) {
            predictedOld = PredictThroughCovers(old, target.size(), covers, *prediction);
            // Against predicted bytes a short exact match is a surer start: the moved references
            // that cut the old file's matches short now agree.
            DiffCosts predictedCosts = costs;
            predictedCosts.minMatch = kPredictedMinMatch;
            predictedCovers = FindCovers(finder, Texts(predictedOld, target), predictedCosts, second);
        }
    }
    DiffBodies bodies;
    if (plain == Plain::Wanted || !prediction)
        bodies.plain = WriteBody(texts, costs, covers);
    covers = {};
    if (prediction) {
        DiffBody body = WriteBody(Texts(predictedOld, target), costs, predictedCovers);
        predictedOld = {};
        predictedCovers = {};
        SetPredictedDifference(old, target, body, *prediction);
        bodies.predicted = PredictedBody{std::move(body), std::move(*prediction)};
    }
    if (progress)
        progress(target.size());
    return bodies;
}

DiffBody MakeDiffBody(ByteView old, ByteView target, const DeltaProgress& progress)
{
    return std::move(*MakeDiffBodies(old, target, 0, Plain::Wanted, progress).plain);
}

} // namespace mendsmith::format
