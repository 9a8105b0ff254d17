// Predicted difference bodies: program pairs rebuilt through them, the projection of overlapping
// regions, every fault of a body at its boundary, an old file that is no program, and what inspect
// shows of them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <span>

#include "core/references.h"
#include "format/delta.h"
#include "format/patch_file.h"
#include "format/record.h"
#include "format/updater_image.h"
#include "tool/commands/codepage.h"
#include "tool/commands/inspect.h"
#include "support/sample_program.h"

using namespace mendsmith::format;
using mendsmith::test::SampleProgram;

namespace {

std::size_t Packed(const PatchEntry& entry)
{
    return CompressBzip2(WritePatchFile(std::span(&entry, 1))).size();
}

PatchEntry EntryOf(const Bytes& old, const Bytes& target, const DiffBody& body, const Prediction* prediction)
{
    PatchEntry entry = MakeDifferenceEntry("\\App.dll", old, target, body);
    if (prediction != nullptr)
        entry.prediction = *prediction;
    return entry;
}

} // namespace

TEST(PredictedBody, ProgramPairsRebuildAndPackSmallerThanPlainBodies)
{
    for (bool wide : {false, true}) {
        std::size_t plainSize = 0, predictedSize = 0;
        for (std::uint32_t seed = 1; seed <= 12; seed++) {
            const Bytes old = SampleProgram(seed, wide, 1), target = SampleProgram(seed, wide, 2);
            DiffBodies bodies = MakeDiffBodies(old, target, REFERENCE_KINDS, Plain::Wanted);
            ASSERT_TRUE(bodies.plain && bodies.predicted) << "seed " << seed;
            const PredictedBody& predicted = *bodies.predicted;
            ReferenceCounts counts{};
            ASSERT_EQ(ApplyPredicted(old, predicted.body, predicted.prediction, &counts), target) << "seed " << seed;
            EXPECT_GT(counts[0], 0u);
            EXPECT_EQ(counts[1], 80u) << "every pointer of the table";
            EXPECT_EQ(counts[2] > 0, wide);
            const PatchEntry entry = EntryOf(old, target, predicted.body, &predicted.prediction);
            EXPECT_EQ(ReadPatchFile(WritePatchFile(std::span(&entry, 1))).at(0), entry);
            plainSize += Packed(EntryOf(old, target, *bodies.plain, nullptr));
            predictedSize += Packed(entry);
        }
        EXPECT_LT(predictedSize * 10, plainSize * 7) << (wide ? "PE32+" : "PE32");
    }
}

TEST(PredictedBody, ProjectionTakesTheLongestRegionThatHoldsTheOffset)
{
    // Old [0, 100) went to 1000; [40, 50) also to 5000, a later short region starting nearer 45.
    AddRegion* regions = static_cast<AddRegion*>(std::malloc(3 * sizeof(AddRegion)));
    regions[0] = {40, 5000, 10, 0};
    regions[1] = {0, 1000, 100, 1};
    regions[2] = {120, 2000, 5, 2};
    Projection projection{};
    ASSERT_TRUE(BuildProjection(regions, 3, &projection));
    struct {
        std::uint32_t old;
        int mapped;
        std::uint32_t to;
    } const cases[] = {{0, 1, 1000}, {45, 1, 1045},  {99, 1, 1099}, {100, 0, 0},
                       {119, 0, 0},  {122, 1, 2002}, {125, 0, 0}};
    for (const auto& c : cases) {
        std::uint32_t n = 0;
        EXPECT_EQ(Project(&projection, c.old, &n), c.mapped) << c.old;
        if (c.mapped) {
            EXPECT_EQ(n, c.to) << c.old;
        }
    }
    FreeProjection(&projection);
}

TEST(PredictedBody, FaultsAreDataErrorsAtTheirBoundary)
{
    const Bytes old = SampleProgram(3, true, 1), target = SampleProgram(3, true, 2);
    const Prediction layout{REFERENCE_KINDS, 0x180000000ull, {{0x400, 0x200, 0x1000}}};
    PatchEntry entry = EntryOf(old, target, DiffBody{{{4, 0, 0}}, Bytes(4, 0), {}}, &layout);
    const Bytes good = WritePatchFile(std::span(&entry, 1));
    const std::size_t body = good.size() - EncodedBodySize(entry);
    auto with = [&](std::size_t at, std::vector<std::uint8_t> bytes, std::size_t cut = 0) {
        Bytes data = good;
        std::copy(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(body + at));
        data.erase(data.end() - static_cast<std::ptrdiff_t>(cut), data.end());
        return data;
    };
    struct {
        const char* what;
        Bytes data;
        bool accepted;
    } const cases[] = {
        {"every known flag", with(1, {7}), true},
        {"an unknown flag", with(1, {8}), false},
        {"a section ending at 4 GiB less one", with(12, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}), true},
        {"a section ending at 4 GiB", with(12, {0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}), false},
        {"four sections, past the end of the data", with(2, {4, 0}), false},
        {"a control that adds one byte more than D", with(36, {5}), false},
        {"a body one byte short", with(0, {5}, 1), false},
    };
    for (const auto& c : cases) {
        PatchCursor cursor{c.data.data() + 4, c.data.data() + c.data.size()};
        PatchEntryHeader header{};
        ASSERT_TRUE(ReadPatchEntryHeader(&cursor, &header)) << c.what;
        EXPECT_EQ(SkipPatchBody(&cursor, &header) == 1, c.accepted) << c.what;
        if (c.accepted)
            EXPECT_NO_THROW(ReadPatchFile(c.data)) << c.what;
        else
            EXPECT_THROW(ReadPatchFile(c.data), FormatError) << c.what;
    }
    // A step outside the old file shows only against it, before a byte is written.
    EXPECT_THROW(ApplyPredicted(old, DiffBody{{{0, 0, -1}}, {}, {}}, layout), FormatError);
    EXPECT_THROW(ApplyPredicted(
                     old, DiffBody{{{static_cast<std::uint32_t>(old.size()) + 1, 0, 0}}, Bytes(old.size() + 1, 0), {}},
                     layout),
                 FormatError);
}

TEST(PredictedBody, AnOldFileThatIsNoProgramAppliesAsAPlainBody)
{
    Bytes old = SampleProgram(5, false, 1);
    const Bytes target = SampleProgram(5, false, 2);
    const PredictedBody predicted = *MakeDiffBodies(old, target, REFERENCE_KINDS, Plain::Wanted).predicted;
    old[0] = 'N';
    EXPECT_EQ(ApplyPredicted(old, predicted.body, predicted.prediction), ApplyDiff(old, predicted.body));
    EXPECT_FALSE(MakeDiffBodies(old, target, REFERENCE_KINDS, Plain::Wanted).predicted);
}

TEST(PredictedBody, InspectNamesTheBodyWhatItPredictsAndTheNewSections)
{
    const Bytes old = SampleProgram(9, true, 1), target = SampleProgram(9, true, 2);
    const PredictedBody made = *MakeDiffBodies(old, target, REFERENCE_KINDS, Plain::Wanted).predicted;
    PatchEntry entry = EntryOf(old, target, made.body, &made.prediction);
    entry.path = "\\App.exe";
    const Bytes image =
        MakeUpdaterImage(Bytes(16, 0),
                         {{}, ToBytes("[App]\r\nMainFile=App.exe\r\n"), WritePatchFile(std::span(&entry, 1))});
    const mendsmith::tool::Inspection inspection = mendsmith::tool::Inspect(image, mendsmith::tool::CodePage(1252));
    EXPECT_NE(mendsmith::tool::RenderText(inspection)
                  .find("predicted difference body (predicts rel32, absolute, rip; 3 "
                        "new sections) " +
                        std::to_string(EncodedBodySize(entry)) + " bytes"),
              std::string::npos);
    const nlohmann::json json = nlohmann::json::parse(mendsmith::tool::RenderJson(inspection))["entries"][0];
    EXPECT_EQ(json["body"], "predicted");
    EXPECT_EQ(json["predicts"], nlohmann::json::array({"rel32", "absolute", "rip"}));
    EXPECT_EQ(json["new_sections"], 3);
}
