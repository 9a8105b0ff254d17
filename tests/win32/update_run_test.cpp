// Whole update runs on a worker thread, driven by a stand-in for the main window:
// the log, the progress, the stop rules, and what is put back after each kind of stop.
#include <gtest/gtest.h>

#include <cstdio>

#include "format/delta.h"
#include "format/patch_file.h"
#include "stub/patch/update_run.h"
#include "stub/res/resource.h"
#include "stub/package/setup_file.h"
#include "stub/ui/localized_text.h"
#include "support/run_cases.h"
#include "support/run_harness.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fmt = mendsmith::format;

namespace {

class UpdateRunTest : public RunTest {
protected:
    void TearDown() override
    {
        EXPECT_EQ(NamesWithPrefix(dest_.path(), "PCH"), std::vector<std::string>{});
        if (!rollbackLeftOnPurpose_) {
            EXPECT_EQ(NamesWithPrefix(dest_.path(), "BAK"), std::vector<std::string>{});
        }
    }

    bool rollbackLeftOnPurpose_ = false;
    const Bytes old_ = SampleRelease(1, 6000);
    const Bytes new_ = NextRelease(old_);
};

HANDLE g_heldFile = INVALID_HANDLE_VALUE;
std::string g_fileToHold;

TEST_F(UpdateRunTest, CompletedRunAppliesEveryEntryAndLogsEachOne)
{
    std::string longName = std::string(150, 'n') + ".txt";
    WriteTree(dest_.path(), {{"App.exe", old_}, {"Data\\big.bin", new_}, {"Mendsmith.log", ToBytes("an earlier run")}});
    // A translation of message 250 for the user's language.
    WriteFileText(work_ / "Language.ini", "[" + std::string(g_languageSection) + "]\r\nID250=Bijgewerkt!\r\n");
    Bytes bigNext = NextRelease(new_);
    WritePatch({fmt::MakePatchEntry("\\App.exe", old_, new_), fmt::MakePatchEntry("\\Data\\big.bin", new_, bigNext),
                fmt::MakeAttachedEntry("\\" + longName, ToBytes("long")),
                fmt::MakePatchEntry("\\Gone.txt", old_, new_)});

    RunRecord run = Run();

    EXPECT_EQ(run.finalState, RUN_ACTIVE);
    EXPECT_EQ(run.doneMessages, 1);
    EXPECT_EQ(run.threadResult, 1u);
    EXPECT_EQ(run.range, MAKELPARAM(0, 4));
    EXPECT_EQ(run.positions, (std::vector<WPARAM>{1, 2, 3, 4}));
    // A missing file that is not the main file only marks the run as having skipped one.
    EXPECT_GT(g_summaryStatus, ENTRY_FAILED_BIT);
    EXPECT_EQ(TakeLog(dest_.path()), "App.exe -> Bijgewerkt!\r\nData\\big.bin -> Bijgewerkt!\r\n" +
                                         Line(longName, IDS_LOG_ADDED) + Line("Gone.txt", IDS_LOG_MISSING));
    EXPECT_EQ(ReadTree(dest_.path()),
              (Tree{{"App.exe", new_}, {"Data\\", {}}, {"Data\\big.bin", bigNext}, {longName, ToBytes("long")}}));
}

TEST_F(UpdateRunTest, DataErrorInTheThirdOfFiveEntriesRestoresTheFirstTwo)
{
    Tree before;
    std::vector<fmt::PatchEntry> entries;
    for (std::uint32_t i = 1; i <= 5; i++) {
        Release file = ReleaseOf(i, 2000 + i * 100);
        std::string name = "f" + std::to_string(i) + ".bin";
        before[name] = file.before;
        entries.push_back(fmt::MakePatchEntry("\\" + name, file.before, file.after));
    }
    WriteTree(dest_.path(), before);
    SetFileAttributesA((dest_ / "f1.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    fmt::Bytes data = fmt::WritePatchFile(entries);
    // The third entry starts where the first two written alone end.
    std::size_t third = fmt::WritePatchFile(std::vector<fmt::PatchEntry>(entries.begin(), entries.begin() + 2)).size();
    data[third + 8 + entries[2].path.size() + 1] = 0x09;
    WriteFileBytes(work_ / "Patch.dat", data);

    RunRecord run = Run();

    EXPECT_EQ(run.finalState, RUN_DATA_ERROR);
    EXPECT_EQ(run.range, MAKELPARAM(0, 5));
    EXPECT_EQ(run.positions, (std::vector<WPARAM>{1, 2}));
    EXPECT_EQ(TakeLog(dest_.path()),
              Line("f1.bin", IDS_LOG_UPDATED) + Line("f2.bin", IDS_LOG_UPDATED) + Line("f3.bin", IDS_LOG_DATA_ERROR));
    EXPECT_EQ(ReadTree(dest_.path()), before);
}

TEST_F(UpdateRunTest, PatchDataShorterThanItsCountStopsAtTheMissingEntry)
{
    WriteFileBytes(dest_ / "a.bin", old_);
    fmt::Bytes data = fmt::WritePatchFile(std::vector<fmt::PatchEntry>{fmt::MakePatchEntry("\\a.bin", old_, new_)});
    data[0] = 2;
    WriteFileBytes(work_ / "Patch.dat", data);

    RunRecord run = Run();

    EXPECT_EQ(run.finalState, RUN_DATA_ERROR);
    EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_UPDATED) + Line("", IDS_LOG_DATA_ERROR));
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", old_}}));
}

TEST_F(UpdateRunTest, CancelWhileAnEntryIsAppliedRestoresEveryReplacedFile)
{
    Release a = ReleaseOf(1, 2100), b = ReleaseOf(2, 2200), d = ReleaseOf(4, 2400);
    Tree before{
        {"a.bin", a.before}, {"Sub\\", {}}, {"Sub\\b.bin", b.before}, {"c.txt", ToBytes("old c")}, {"d.bin", d.before}};
    WriteTree(dest_.path(), before);
    SetFileAttributesA((dest_ / "Sub\\b.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    WritePatch(
        {fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\Sub\\b.bin", b.before, b.after),
         fmt::MakeAttachedEntry("\\c.txt", ToBytes("new c")), fmt::MakePatchEntry("\\d.bin", d.before, d.after)});
    RunPlan plan;
    plan.answers = {IDYES};
    plan.cancelAtQuestion = 1;
    plan.backup = true;

    RunRecord run = Run(plan);

    EXPECT_EQ(run.finalState, RUN_CANCELED);
    EXPECT_EQ(run.positions, (std::vector<WPARAM>{1, 2}));
    EXPECT_EQ(run.questions.size(), 1u);
    EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_UPDATED) + Line("Sub\\b.bin", IDS_LOG_UPDATED) +
                                         Line("c.txt", IDS_LOG_OVERWRITTEN));
    // A stopped run never fills the backup folder.
    EXPECT_EQ(ReadTree(dest_.path()), before);
}

TEST_F(UpdateRunTest, CancelBeforeTheFirstEntryFinishesStillLogsAndUndoesIt)
{
    Tree before{{"c.txt", ToBytes("old c")}, {"a.bin", old_}};
    WriteTree(dest_.path(), before);
    WritePatch({fmt::MakeAttachedEntry("\\c.txt", ToBytes("new c")), fmt::MakePatchEntry("\\a.bin", old_, new_)});
    RunPlan plan;
    plan.answers = {IDYES};
    plan.cancelAtQuestion = 1;

    RunRecord run = Run(plan);

    EXPECT_EQ(run.finalState, RUN_CANCELED);
    EXPECT_EQ(run.range, MAKELPARAM(0, 2));
    EXPECT_EQ(run.positions, std::vector<WPARAM>{});
    EXPECT_EQ(TakeLog(dest_.path()), Line("c.txt", IDS_LOG_OVERWRITTEN));
    EXPECT_EQ(ReadTree(dest_.path()), before);
}

TEST_F(UpdateRunTest, MainFileFailingStopsTheRunAndRestoresWhatWasReplaced)
{
    Release a = ReleaseOf(1, 2100), b = ReleaseOf(2, 2200);
    // Matched by its name alone, in a subfolder and in other letters' case.
    Tree before{{"a.bin", a.before}, {"Bin\\", {}}, {"Bin\\APP.EXE", ToBytes("neither release")}, {"b.bin", b.before}};
    WriteTree(dest_.path(), before);
    WritePatch({fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\Bin\\APP.EXE", old_, new_),
                fmt::MakePatchEntry("\\b.bin", b.before, b.after)});
    RunPlan plan;
    plan.mainFile = "app.exe";

    RunRecord run = Run(plan);

    EXPECT_EQ(run.finalState, RUN_MAIN_FILE_FAILED);
    EXPECT_EQ(run.positions, std::vector<WPARAM>{1});
    EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_UPDATED) + Line("Bin\\APP.EXE", IDS_LOG_ORIGINAL_CRC));
    EXPECT_EQ(ReadTree(dest_.path()), before);
}

TEST_F(UpdateRunTest, OtherFilesFailingAndAnUpdatedMainFileLetTheRunGoOn)
{
    Release b = ReleaseOf(2, 2200);
    WriteTree(dest_.path(), {{"a.bin", ToBytes("neither release")}, {"App.exe", new_}, {"b.bin", b.before}});
    WritePatch({fmt::MakePatchEntry("\\a.bin", old_, new_), fmt::MakePatchEntry("\\App.exe", old_, new_),
                fmt::MakePatchEntry("\\b.bin", b.before, b.after)});

    RunRecord run = Run();

    EXPECT_EQ(run.finalState, RUN_ACTIVE);
    EXPECT_EQ(g_summaryStatus, ENTRY_ORIGINAL_CRC_ERROR | ENTRY_ALREADY_UPDATED | ENTRY_UPDATED);
    EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_ORIGINAL_CRC) + Line("App.exe", IDS_LOG_ALREADY_UPDATED) +
                                         Line("b.bin", IDS_LOG_UPDATED));
    EXPECT_EQ(ReadTree(dest_.path()),
              (Tree{{"a.bin", ToBytes("neither release")}, {"App.exe", new_}, {"b.bin", b.after}}));
}

TEST_F(UpdateRunTest, BackupGoesIntoAnExistingBackupFolder)
{
    WriteTree(dest_.path(), {{"Sub\\", {}},
                             {"Sub\\a.bin", old_},
                             {"c.txt", ToBytes("old c")},
                             {"Mendsmith.bak\\", {}},
                             {"Mendsmith.bak\\keep.txt", ToBytes("keep")},
                             {"Mendsmith.bak\\c.txt", ToBytes("from an earlier update")}});
    WritePatch({fmt::MakePatchEntry("\\Sub\\a.bin", old_, new_), fmt::MakeAttachedEntry("\\c.txt", ToBytes("new c")),
                fmt::MakeAttachedEntry("\\added.txt", ToBytes("added"))});
    RunPlan plan;
    plan.backup = true;
    plan.answers = {IDYES};

    RunRecord run = Run(plan);

    EXPECT_EQ(run.finalState, RUN_ACTIVE);
    TakeLog(dest_.path());
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"Sub\\", {}},
                                            {"Sub\\a.bin", new_},
                                            {"c.txt", ToBytes("new c")},
                                            {"added.txt", ToBytes("added")},
                                            {"Mendsmith.bak\\", {}},
                                            {"Mendsmith.bak\\keep.txt", ToBytes("keep")},
                                            {"Mendsmith.bak\\c.txt", ToBytes("old c")},
                                            {"Mendsmith.bak\\Sub\\", {}},
                                            {"Mendsmith.bak\\Sub\\a.bin", old_}}));
}

TEST_F(UpdateRunTest, EntryCountOfZeroCompletesWithoutChanges)
{
    WriteFileBytes(dest_ / "a.bin", old_);
    WritePatch({});
    RunPlan plan;
    plan.backup = true;

    RunRecord run = Run(plan);

    EXPECT_EQ(run.finalState, RUN_ACTIVE);
    EXPECT_EQ(run.range, MAKELPARAM(0, 0));
    EXPECT_EQ(run.positions, std::vector<WPARAM>{});
    EXPECT_EQ(g_summaryStatus, 0u);
    EXPECT_EQ(TakeLog(dest_.path()), "");
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", old_}}));
}

TEST_F(UpdateRunTest, MissingPatchDataEndsAsDataErrorWithAnEmptyLog)
{
    WriteFileBytes(dest_ / "a.bin", old_);

    RunRecord run = Run();

    EXPECT_EQ(run.finalState, RUN_DATA_ERROR);
    EXPECT_EQ(run.doneMessages, 1);
    EXPECT_EQ(run.threadResult, 0u);
    EXPECT_EQ(run.range, -1);
    EXPECT_EQ(TakeLog(dest_.path()), "");
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", old_}}));
}

UINT WINAPI FailTempName(LPCSTR, LPCSTR, UINT, LPSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

TEST_F(UpdateRunTest, RunWithoutARollbackFolderChangesNothingAndBlamesTheDestination)
{
    WriteFileBytes(dest_ / "a.bin", old_);
    WritePatch({fmt::MakePatchEntry("\\a.bin", old_, new_), fmt::MakeAttachedEntry("\\b.txt", ToBytes("b"))});
    RunRecord run;
    {
        ImportHook hook("GetTempFileNameA", reinterpret_cast<const void*>(&FailTempName));
        run = Run();
    }
    EXPECT_EQ(run.finalState, RUN_DESTINATION_UNWRITABLE);
    EXPECT_EQ(run.positions, std::vector<WPARAM>{});
    EXPECT_EQ(TakeLog(dest_.path()), "");
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", old_}}));
}

std::string g_plantIn;    // the destination whose rollback folder gets a link
std::string g_linkTarget; // what the link points at
bool g_linkPlanted = false;

TEST_F(UpdateRunTest, ALinkPlantedInTheRollbackFolderLeavesWhatItPointsAtAsItWas)
{
    TempDir other;
    const Tree elsewhere{{"own.txt", ToBytes("someone else's")}, {"Deep\\", {}}, {"Deep\\more.bin", ToBytes("more")}};
    WriteTree(other.path(), elsewhere);
    g_linkTarget = other.path();
    struct Case {
        const char* name;
        bool backup;
        LONG finalState;
    } cases[] = {{"completed run", false, RUN_ACTIVE},
                 {"run with a backup", true, RUN_ACTIVE},
                 {"stopped run", false, RUN_MAIN_FILE_FAILED}};
    for (const Case& c : cases) {
        const std::string destination = dest_ / std::to_string(c.finalState + c.backup * 10);
        CreateDirectoryA(destination.c_str(), nullptr);
        WriteTree(destination, {{"a.bin", old_}, {"b.txt", ToBytes("old b")}});
        std::vector<fmt::PatchEntry> entries{fmt::MakePatchEntry("\\a.bin", old_, new_),
                                             fmt::MakeAttachedEntry("\\b.txt", ToBytes("new b"))};
        if (c.finalState == RUN_MAIN_FILE_FAILED)
            entries.push_back(fmt::MakePatchEntry("\\Missing\\App.exe", old_, new_));
        WritePatch(entries);
        g_plantIn = destination;
        g_linkPlanted = false;
        RunPlan plan;
        plan.destination = destination;
        plan.backup = c.backup;
        plan.answers = {IDYES};
        plan.onPosition = [](WPARAM position) {
            std::vector<std::string> rollback = NamesWithPrefix(g_plantIn, "BAK");
            if (position == 1 && rollback.size() == 1)
                g_linkPlanted = PlantDirectoryLink(g_plantIn + "\\" + rollback[0] + "\\link", g_linkTarget);
        };

        RunRecord run = RunUpdate(plan);

        ASSERT_TRUE(g_linkPlanted) << c.name;
        EXPECT_EQ(run.finalState, c.finalState) << c.name;
        EXPECT_EQ(ReadTree(other.path()), elsewhere) << c.name;
        // The backup holds the originals alone, not what the link points at.
        if (c.backup) {
            EXPECT_EQ(ReadTree(destination + "\\Mendsmith.bak"), (Tree{{"a.bin", old_}, {"b.txt", ToBytes("old b")}}));
        }
        RemoveTreeForce(destination);
    }
}

TEST_F(UpdateRunTest, FailedRestoreKeepsTheRollbackFolderAndNamesItInTheLog)
{
    Release b = ReleaseOf(2, 2200);
    WriteTree(dest_.path(), {{"a.bin", old_}, {"b.bin", b.before}});
    WritePatch({fmt::MakePatchEntry("\\a.bin", old_, new_), fmt::MakePatchEntry("\\b.bin", b.before, b.after),
                fmt::MakePatchEntry("\\Missing\\App.exe", old_, new_)});
    // Another program takes a.bin, already updated, before the originals are put back.
    g_fileToHold = dest_ / "a.bin";
    RunPlan plan;
    plan.onPosition = [](WPARAM position) {
        if (position == 2)
            g_heldFile = CreateFileA(g_fileToHold.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    };

    RunRecord run = Run(plan);
    ASSERT_NE(g_heldFile, INVALID_HANDLE_VALUE);
    CloseHandle(g_heldFile);
    g_heldFile = INVALID_HANDLE_VALUE;

    EXPECT_EQ(run.finalState, RUN_MAIN_FILE_FAILED);
    std::vector<std::string> kept = NamesWithPrefix(dest_.path(), "BAK");
    ASSERT_EQ(kept.size(), 1u);
    rollbackLeftOnPurpose_ = true;
    EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_UPDATED) + Line("b.bin", IDS_LOG_UPDATED) +
                                         Line("Missing\\App.exe", IDS_LOG_MISSING) +
                                         Line(dest_ / kept[0], IDS_LOG_ORIGINALS_KEPT));
    // b.bin is back; a.bin is still the new release, and its original waits alone in the kept folder.
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", new_},
                                            {"b.bin", b.before},
                                            {"Missing\\", {}},
                                            {kept[0] + "\\", {}},
                                            {kept[0] + "\\a.bin", old_}}));
}

// The old release: the main file, a plugin folder that the new release drops whole, and a folder
// that keeps a file of the user's.
struct ReleaseWithRemovals {
    Release app = ReleaseOf(1, 2100);
    Bytes plugin = SampleRelease(2, 700), settings = SampleRelease(3, 300), tool = SampleRelease(4, 500);
    Tree before{{"App.exe", app.before},      {"Plugins\\", {}},
                {"Plugins\\Old\\", {}},       {"Plugins\\Old\\a.dll", plugin},
                {"Plugins\\b.cfg", settings}, {"Tools\\", {}},
                {"Tools\\tool.exe", tool},    {"Tools\\mine.txt", ToBytes("the user's")}};
    std::vector<fmt::PatchEntry> entries{fmt::MakePatchEntry("\\App.exe", app.before, app.after),
                                         fmt::MakeRemovalEntry("\\Plugins\\Old\\a.dll", plugin),
                                         fmt::MakeRemovalEntry("\\Plugins\\b.cfg", settings),
                                         fmt::MakeRemovalEntry("\\Tools\\tool.exe", tool)};
    std::string log = Line("App.exe", IDS_LOG_UPDATED) + Line("Plugins\\Old\\a.dll", IDS_LOG_REMOVED) +
                      Line("Plugins\\b.cfg", IDS_LOG_REMOVED) + Line("Tools\\tool.exe", IDS_LOG_REMOVED);
};

TEST_F(UpdateRunTest, StopAfterRemovalsBringsBackEveryRemovedFileAndFolder)
{
    ReleaseWithRemovals release;
    WriteTree(dest_.path(), release.before);
    WritePatch(release.entries);
    RunPlan plan;
    plan.backup = true;
    plan.cancelAtPosition = 4; // after the last entry, before the run's end

    RunRecord run = Run(plan);

    EXPECT_EQ(run.finalState, RUN_CANCELED);
    EXPECT_EQ(TakeLog(dest_.path()), release.log);
    EXPECT_EQ(ReadTree(dest_.path()), release.before);
}

TEST_F(UpdateRunTest, BackupAfterRemovalsKeepsTheRemovedFilesAndTheFoldersGo)
{
    ReleaseWithRemovals release;
    WriteTree(dest_.path(), release.before);
    WritePatch(release.entries);
    RunPlan plan;
    plan.backup = true;

    RunRecord run = Run(plan);

    EXPECT_EQ(run.finalState, RUN_ACTIVE);
    // Removed is a success: the window says the update applied, with nothing skipped.
    EXPECT_LT(g_summaryStatus, ENTRY_FAILED_BIT);
    EXPECT_EQ(TakeLog(dest_.path()), release.log);
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"App.exe", release.app.after},
                                            {"Tools\\", {}},
                                            {"Tools\\mine.txt", ToBytes("the user's")},
                                            {"Mendsmith.bak\\", {}},
                                            {"Mendsmith.bak\\App.exe", release.app.before},
                                            {"Mendsmith.bak\\Plugins\\", {}},
                                            {"Mendsmith.bak\\Plugins\\Old\\", {}},
                                            {"Mendsmith.bak\\Plugins\\Old\\a.dll", release.plugin},
                                            {"Mendsmith.bak\\Plugins\\b.cfg", release.settings},
                                            {"Mendsmith.bak\\Tools\\", {}},
                                            {"Mendsmith.bak\\Tools\\tool.exe", release.tool}}));
}

} // namespace
