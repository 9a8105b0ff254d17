// Update runs hit by faults: a full disk, files held by other programs, moves that fail, a folder
// that cannot be made, a cancel at every entry and a killed process. Every case ends with the
// same check.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "format/delta.h"
#include "format/patch_file.h"
#include "stub/patch/update_run.h"
#include "stub/res/resource.h"
#include "support/fault_support.h"
#include "support/run_cases.h"
#include "support/run_harness.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fmt = mendsmith::format;

namespace {

std::string PathOfHandle(HANDLE file)
{
    char path[MAX_PATH * 2] = "";
    GetFinalPathNameByHandleA(file, path, sizeof path, FILE_NAME_NORMALIZED);
    return path;
}

class FaultTest : public RunTest {
protected:
    // Also: the run wrote nothing into the work directory.
    std::string ExpectKept(const FilesPromise& promise)
    {
        EXPECT_EQ(ReadTree(work_.path()), (Tree{{"Patch.dat", ReadFileBytes(work_ / "Patch.dat")}}));
        return ExpectFilesKept(dest_.path(), promise);
    }

    // An empty destination again, then the given files in it, for the next case of a table.
    void Refill(const Tree& files)
    {
        RemoveTreeForce(dest_.path());
        CreateDirectoryA(dest_.path().c_str(), nullptr);
        WriteTree(dest_.path(), files);
    }
};

// --- The disk filling up, made by hooks at the exact moment ---

int g_resultWrites;
int g_diskFullAtResultWrite;

BOOL WINAPI WriteUntilDiskFull(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    auto write = Real<decltype(&WriteFile)>("WriteFile");
    if (!NamedLike(PathOfHandle(file), "PCH") || ++g_resultWrites < g_diskFullAtResultWrite)
        return write(file, data, size, written, overlapped);
    (void)write(file, data, size / 2, written, overlapped);
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

TEST_F(FaultTest, DiskFullWhileTheMainFileIsRebuiltRestoresEveryReplacedFile)
{
    Release b = ReleaseOf(2), app = ReleaseOf(1, 9000);
    Tree before{{"b.bin", b.before}, {"App.exe", app.before}};
    WriteTree(dest_.path(), before);
    std::vector<fmt::PatchEntry> entries{fmt::MakePatchEntry("\\b.bin", b.before, b.after),
                                         fmt::MakePatchEntry("\\App.exe", app.before, app.after)};
    WritePatch(entries);
    ASSERT_GE(entries[1].ops.size(), 2u);
    // b.bin's result is written whole; the disk is full at App.exe's second write.
    g_resultWrites = 0;
    g_diskFullAtResultWrite = static_cast<int>(entries[0].ops.size()) + 2;

    RunRecord run;
    {
        ImportHook hook("WriteFile", reinterpret_cast<const void*>(&WriteUntilDiskFull));
        run = Run();
    }

    EXPECT_EQ(run.finalState, RUN_MAIN_FILE_FAILED);
    EXPECT_EQ(TakeLog(dest_.path()), Line("b.bin", IDS_LOG_UPDATED) + Line("App.exe", IDS_LOG_WRITE_FAILED));
    ExpectKept({before, {{"b.bin", b.after}, {"App.exe", app.after}}, RunEnd::Stopped});
    EXPECT_EQ(ReadTree(dest_.path()), before);
}

// --- Originals that cannot be moved aside into the rollback folder ---

// A rename needs no free space, so a full disk cannot cut it short. It can be refused, though, and
// when a junction puts the rollback folder on another volume the applier copies the original
// instead, and that copy can find the disk full.
bool g_rollbackOnAnotherVolume;

BOOL WINAPI MoveAsideFails(LPCSTR from, LPCSTR to)
{
    if (!InRollbackFolder(to))
        return Real<decltype(&MoveFileA)>("MoveFileA")(from, to);
    SetLastError(g_rollbackOnAnotherVolume ? ERROR_NOT_SAME_DEVICE : ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI RollbackCopyFindsDiskFull(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
    if (InRollbackFolder(to))
        return CopyPartThenDiskFull(from, to, failIfExists);
    return Real<decltype(&CopyFileA)>("CopyFileA")(from, to, failIfExists);
}

// Every original's move into the rollback folder fails, one of the two ways, while this lives: the
// rename through its handle is not there or refuses another volume, and the move by path fails.
class OriginalsCannotBeMovedAside {
public:
    explicit OriginalsCannotBeMovedAside(bool anotherVolume) { g_rollbackOnAnotherVolume = anotherVolume; }

private:
    RenameByHandleHook rename_{nullptr};
    ImportHook move_{"MoveFileA", reinterpret_cast<const void*>(&MoveAsideFails)};
    ImportHook copy_{"CopyFileA", reinterpret_cast<const void*>(&RollbackCopyFindsDiskFull)};
};

const char* MoveAsideFault(bool anotherVolume)
{
    return anotherVolume ? "copy to another volume finds the disk full" : "rename refused";
}

TEST_F(FaultTest, OriginalsThatCannotBeMovedAsideAreNotReplacedAndNothingIsPutBack)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2);
    Tree before{{"a.bin", a.before}, {"b.bin", b.before}};
    WritePatch({fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\b.bin", b.before, b.after),
                fmt::MakePatchEntry("\\App.exe", a.before, a.after)});

    for (bool anotherVolume : {false, true}) {
        SCOPED_TRACE(MoveAsideFault(anotherVolume));
        Refill(before);

        RunRecord run;
        {
            OriginalsCannotBeMovedAside fault(anotherVolume);
            run = Run();
        }

        // Neither original could be saved, so neither file was replaced; the stop has nothing to undo.
        EXPECT_EQ(run.finalState, RUN_MAIN_FILE_FAILED);
        EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_ACCESS_DENIED) + Line("b.bin", IDS_LOG_ACCESS_DENIED) +
                                             Line("App.exe", IDS_LOG_MISSING));
        ExpectKept({before, {}, RunEnd::Stopped});
        EXPECT_EQ(ReadTree(dest_.path()), before);
    }
}

TEST_F(FaultTest, OriginalsThatCannotBeMovedAsidePutNothingIntoTheBackup)
{
    Release a = ReleaseOf(1);
    Tree before{{"a.bin", a.before}, {"c.txt", ToBytes("old c")}};
    WritePatch(
        {fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakeAttachedEntry("\\c.txt", ToBytes("new c"))});
    RunPlan plan;
    plan.backup = true;
    plan.answers = {IDYES};

    for (bool anotherVolume : {false, true}) {
        SCOPED_TRACE(MoveAsideFault(anotherVolume));
        Refill(before);

        RunRecord run;
        {
            OriginalsCannotBeMovedAside fault(anotherVolume);
            run = Run(plan);
        }

        EXPECT_EQ(run.finalState, RUN_ACTIVE);
        EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_ACCESS_DENIED) + Line("c.txt", IDS_LOG_ACCESS_DENIED));
        ExpectKept({before, {}, RunEnd::Completed});
        // No backup folder: a part of a copy is no backup.
        EXPECT_EQ(ReadTree(dest_.path()), before);
    }
}

BOOL WINAPI RestoreFindsDiskFull(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
    if (InRollbackFolder(from))
        return CopyPartThenDiskFull(from, to, failIfExists);
    return Real<decltype(&CopyFileA)>("CopyFileA")(from, to, failIfExists);
}

TEST_F(FaultTest, DiskFullDuringTheRestoreStillPutsEveryOriginalBackWhole)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2);
    Tree before{{"a.bin", a.before}, {"Sub\\", {}}, {"Sub\\b.bin", b.before}};
    WriteTree(dest_.path(), before);
    WritePatch({fmt::MakePatchEntry("\\a.bin", a.before, a.after),
                fmt::MakePatchEntry("\\Sub\\b.bin", b.before, b.after),
                fmt::MakePatchEntry("\\App.exe", a.before, a.after)});

    RunRecord run;
    {
        ImportHook hook("CopyFileA", reinterpret_cast<const void*>(&RestoreFindsDiskFull));
        run = Run();
    }

    // The originals are renamed back, not copied, so a copy that would stop part way never happens.
    EXPECT_EQ(run.finalState, RUN_MAIN_FILE_FAILED);
    EXPECT_EQ(TakeLog(dest_.path()),
              Line("a.bin", IDS_LOG_UPDATED) + Line("Sub\\b.bin", IDS_LOG_UPDATED) + Line("App.exe", IDS_LOG_MISSING));
    ExpectKept({before, {{"a.bin", a.after}, {"Sub\\b.bin", b.after}}, RunEnd::Stopped});
    EXPECT_EQ(ReadTree(dest_.path()), before);
}

// Copies into the backup find the disk full at b.bin, part of it written; the others are real.
BOOL WINAPI BackupCopyFindsDiskFull(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
    if (std::strstr(to, "\\Mendsmith.bak\\") != nullptr && NamedLike(to, "b.bin"))
        return CopyPartThenDiskFull(from, to, failIfExists);
    return Real<decltype(&CopyFileA)>("CopyFileA")(from, to, failIfExists);
}

TEST_F(FaultTest, DiskFullDuringTheBackupCopyKeepsTheRollbackFolderAndNamesItInTheLog)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2);
    Tree before{{"a.bin", a.before}, {"Sub\\", {}}, {"Sub\\b.bin", b.before}};
    WriteTree(dest_.path(), before);
    WritePatch(
        {fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\Sub\\b.bin", b.before, b.after)});
    RunPlan plan;
    plan.backup = true;

    RunRecord run;
    {
        ImportHook hook("CopyFileA", reinterpret_cast<const void*>(&BackupCopyFindsDiskFull));
        run = Run(plan);
    }

    // The update itself is done; the backup's b.bin is cut short, so the rollback folder holds
    // the only whole copy of its original and stays.
    EXPECT_EQ(run.finalState, RUN_ACTIVE);
    Bytes partOfB(b.before.begin(), b.before.begin() + b.before.size() / 3);
    Tree after{{"a.bin", a.after},           {"Sub\\b.bin", b.after},
               {"Mendsmith.bak\\", {}},      {"Mendsmith.bak\\a.bin", a.before},
               {"Mendsmith.bak\\Sub\\", {}}, {"Mendsmith.bak\\Sub\\b.bin", partOfB}};
    std::string kept = ExpectKept({before, after, RunEnd::Completed, true});
    ASSERT_NE(kept, "");
    EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_UPDATED) + Line("Sub\\b.bin", IDS_LOG_UPDATED) +
                                         Line(dest_ / kept, IDS_LOG_ORIGINALS_KEPT));
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", a.after},
                                            {"Sub\\", {}},
                                            {"Sub\\b.bin", b.after},
                                            {"Mendsmith.bak\\", {}},
                                            {"Mendsmith.bak\\a.bin", a.before},
                                            {"Mendsmith.bak\\Sub\\", {}},
                                            {"Mendsmith.bak\\Sub\\b.bin", partOfB},
                                            {kept + "\\", {}},
                                            {kept + "\\a.bin", a.before},
                                            {kept + "\\Sub\\", {}},
                                            {kept + "\\Sub\\b.bin", b.before}}));
}

// --- Files held open by another process at each point where the updater opens them ---

TEST_F(FaultTest, FileHeldByAnotherProgramAtItsChecksumIsSkippedUnlessItIsTheMainFile)
{
    Release a = ReleaseOf(1);
    const struct {
        const char* second; // the entry after a.bin
        std::uint32_t seed;
        const char* held;
        LONG finalState;
        UINT logOfA;
        UINT logOfSecond;
        RunEnd end;
        bool secondIsNew; // the second file ends as its new release
    } cases[] = {
        {"b.bin", 2, "a.bin", RUN_ACTIVE, IDS_LOG_ACCESS_DENIED, IDS_LOG_UPDATED, RunEnd::Completed, true},
        // a.bin, already updated, is put back.
        {"App.exe", 3, "App.exe", RUN_MAIN_FILE_FAILED, IDS_LOG_UPDATED, IDS_LOG_ACCESS_DENIED, RunEnd::Stopped, false},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.held) + " held");
        Release second = ReleaseOf(c.seed);
        Tree before{{"a.bin", a.before}, {c.second, second.before}};
        Refill(before);
        WritePatch({fmt::MakePatchEntry("\\a.bin", a.before, a.after),
                    fmt::MakePatchEntry(std::string("\\") + c.second, second.before, second.after)});

        RunRecord run;
        {
            HeldByAnotherProcess holder(dest_ / c.held);
            ASSERT_TRUE(holder.holding());
            run = Run();
        }

        EXPECT_EQ(run.finalState, c.finalState);
        EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", c.logOfA) + Line(c.second, c.logOfSecond));
        ExpectKept({before, {{"a.bin", a.after}, {c.second, second.after}}, c.end});
        EXPECT_EQ(ReadTree(dest_.path()),
                  (Tree{{"a.bin", a.before}, {c.second, c.secondIsNew ? second.after : second.before}}));
    }
}

std::unique_ptr<HeldByAnotherProcess> g_holder;
std::string g_firstOriginal;
bool g_renamedOnce;        // the first original has come to its rename
DWORD g_openErrorAtRename; // why another program could not open it then; 0 when it could

// Another program tries to open the first original after its checksum, just before it is moved
// aside: through its handle, or by its path where the system cannot rename an open file.
BOOL WINAPI AnotherProgramOpensTheOriginalAtItsRename(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                                      DWORD size)
{
    HANDLE other = CreateFileA(g_firstOriginal.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    if (!g_renamedOnce)
        g_openErrorAtRename = other == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    g_renamedOnce = true;
    if (other != INVALID_HANDLE_VALUE)
        CloseHandle(other);
    return SetFileInformationByHandle(file, kind, information, size);
}

BOOL WINAPI AnotherProgramOpensTheOriginalAtItsMove(LPCSTR from, LPCSTR to)
{
    if (InRollbackFolder(to) && !g_holder)
        g_holder = std::make_unique<HeldByAnotherProcess>(from);
    return Real<decltype(&MoveFileA)>("MoveFileA")(from, to);
}

TEST_F(FaultTest, OriginalIsHeldFromItsChecksumToItsMoveWhereTheSystemRenamesOpenFiles)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2);
    Tree before{{"a.bin", a.before}, {"b.bin", b.before}};
    WritePatch({fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\b.bin", b.before, b.after)});
    g_firstOriginal = dest_.path() + "\\a.bin";
    RunPlan plan;
    plan.backup = true;

    for (bool byHandle : {true, false}) {
        SCOPED_TRACE(byHandle ? "renamed through its handle" : "moved by its path, as before Vista");
        Refill(before);
        g_renamedOnce = false;
        RunRecord run;
        {
            RenameByHandleHook rename(
                byHandle ? reinterpret_cast<const void*>(&AnotherProgramOpensTheOriginalAtItsRename) : nullptr);
            ImportHook move("MoveFileA", reinterpret_cast<const void*>(&AnotherProgramOpensTheOriginalAtItsMove));
            run = Run(plan);
        }
        EXPECT_EQ(run.finalState, RUN_ACTIVE);
        Tree after{{"a.bin", a.after}, {"b.bin", b.after}, {"Mendsmith.bak\\", {}}, {"Mendsmith.bak\\b.bin", b.before}};
        if (byHandle) {
            // Nobody opens the original while the updater holds it, so nobody can write to it unseen.
            EXPECT_FALSE(g_holder);
            EXPECT_EQ(g_openErrorAtRename, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
            after["Mendsmith.bak\\a.bin"] = a.before;
            EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_UPDATED) + Line("b.bin", IDS_LOG_UPDATED));
            ExpectKept({before, after, RunEnd::Completed});
            EXPECT_EQ(ReadTree(dest_.path()), after);
            continue;
        }
        // A file open without delete sharing cannot be renamed: a.bin stays in place, unchanged, and
        // nothing of it is saved, so the backup holds only b.bin's original.
        ASSERT_TRUE(g_holder && g_holder->holding());
        g_holder.reset();
        EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_ACCESS_DENIED) + Line("b.bin", IDS_LOG_UPDATED));
        ExpectKept({before, after, RunEnd::Completed});
        after["a.bin"] = a.before;
        EXPECT_EQ(ReadTree(dest_.path()), after);
    }
}

// Another program (a scanner, say) has the rebuilt file open while the updater moves it in place;
// the originals have gone aside by then.
BOOL WINAPI MoveWhileAnotherProgramHoldsTheResult(LPCSTR from, LPCSTR to)
{
    if (!NamedLike(from, "PCH"))
        return Real<decltype(&MoveFileA)>("MoveFileA")(from, to);
    HeldByAnotherProcess holder(from);
    return Real<decltype(&MoveFileA)>("MoveFileA")(from, to);
}

TEST_F(FaultTest, ResultHeldByAnotherProgramAtTheMoveLeavesTheOriginalInPlace)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2);
    Tree before{{"Sub\\", {}}, {"Sub\\a.bin", a.before}, {"b.bin", b.before}};
    WriteTree(dest_.path(), before);
    WritePatch(
        {fmt::MakePatchEntry("\\Sub\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\b.bin", b.before, b.after)});

    RunRecord run;
    {
        ImportHook hook("MoveFileA", reinterpret_cast<const void*>(&MoveWhileAnotherProgramHoldsTheResult));
        run = Run();
    }

    EXPECT_EQ(run.finalState, RUN_ACTIVE);
    EXPECT_EQ(TakeLog(dest_.path()), Line("Sub\\a.bin", IDS_LOG_ACCESS_DENIED) + Line("b.bin", IDS_LOG_ACCESS_DENIED));
    // Each original was put back from the rollback folder, which the completed run then removed.
    ExpectKept({before, {{"Sub\\a.bin", a.after}, {"b.bin", b.after}}, RunEnd::Completed});
    EXPECT_EQ(ReadTree(dest_.path()), before);
}

TEST_F(FaultTest, FolderThatCannotBeCreatedSkipsItsFilesAndTheRestGoesOn)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2);
    // A file where the folder Sub would have to be.
    Tree before{{"Sub", ToBytes("in the way")}, {"b.bin", b.before}};
    WriteTree(dest_.path(), before);
    WritePatch({fmt::MakeAttachedEntry("\\Sub\\new.txt", ToBytes("new")),
                fmt::MakePatchEntry("\\Sub\\a.bin", a.before, a.after),
                fmt::MakePatchEntry("\\b.bin", b.before, b.after)});
    RunPlan plan;
    plan.answers = {IDYES};

    RunRecord run = Run(plan);

    // The new file cannot be made, so it is taken to exist; even on Yes nothing can be saved or written.
    EXPECT_EQ(run.finalState, RUN_ACTIVE);
    EXPECT_EQ(run.questions.size(), 1u);
    EXPECT_EQ(TakeLog(dest_.path()), Line("Sub\\new.txt", IDS_LOG_ACCESS_DENIED) +
                                         Line("Sub\\a.bin", IDS_LOG_ACCESS_DENIED) + Line("b.bin", IDS_LOG_UPDATED));
    ExpectKept({before, {{"b.bin", b.after}}, RunEnd::Completed});
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"Sub", ToBytes("in the way")}, {"b.bin", b.after}}));
}

TEST_F(FaultTest, FileHeldWithDeleteSharingByAnotherProgramEndsOldOrNewAndTheLogSaysWhich)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2);
    const Tree before{{"a.bin", a.before}, {"b.bin", b.before}, {"c.txt", ToBytes("old c")}};
    const Tree after{{"a.bin", a.after}, {"b.bin", b.after}, {"c.txt", ToBytes("new c")}};
    std::vector<fmt::PatchEntry> entries{fmt::MakePatchEntry("\\a.bin", a.before, a.after),
                                         fmt::MakeAttachedEntry("\\c.txt", ToBytes("new c")),
                                         fmt::MakePatchEntry("\\b.bin", b.before, b.after)};
    const struct {
        const char* held;
        bool stop; // a missing main file ends the entries and stops the run
        UINT logOfA;
    } cases[] = {
        // A patched file is opened without sharing for its checksum, which the holder's handle refuses.
        {"a.bin", false, IDS_LOG_ACCESS_DENIED},
        // The overwritten file is only renamed, aside and after the stop back, which delete sharing allows.
        {"c.txt", false, IDS_LOG_UPDATED},
        {"c.txt", true, IDS_LOG_UPDATED},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.held) + " held" + (c.stop ? ", then a stop" : ""));
        Refill(before);
        std::vector<fmt::PatchEntry> runEntries = entries;
        if (c.stop)
            runEntries.push_back(fmt::MakePatchEntry("\\App.exe", a.before, a.after));
        WritePatch(runEntries);
        RunPlan plan;
        plan.answers = {IDYES};

        RunRecord run;
        {
            HeldByAnotherProcess holder(dest_ / c.held, FILE_SHARE_READ | FILE_SHARE_DELETE);
            ASSERT_TRUE(holder.holding());
            run = Run(plan);
        }

        EXPECT_EQ(run.finalState, c.stop ? RUN_MAIN_FILE_FAILED : RUN_ACTIVE);
        const std::string log = TakeLog(dest_.path());
        // The saved c.txt, deleted at the end of the run while the other program still had it open,
        // went only when that program closed it: the run could not remove its folder, so the folder
        // stays (empty by now) and the log names it.
        const bool leftOpenInTheRollbackFolder = !c.stop && std::string(c.held) == "c.txt";
        std::string left =
            ExpectKept({before, after, c.stop ? RunEnd::Stopped : RunEnd::Completed, leftOpenInTheRollbackFolder});
        EXPECT_EQ(log, Line("a.bin", c.logOfA) + Line("c.txt", IDS_LOG_OVERWRITTEN) + Line("b.bin", IDS_LOG_UPDATED) +
                           (c.stop ? Line("App.exe", IDS_LOG_MISSING) : "") +
                           (left.empty() ? "" : Line(dest_ / left, IDS_LOG_ORIGINALS_KEPT)));
        Tree expected = c.stop ? before : after;
        if (c.logOfA != IDS_LOG_UPDATED)
            expected["a.bin"] = a.before;
        if (!left.empty())
            expected[left + "\\"] = {};
        EXPECT_EQ(ReadTree(dest_.path()), expected);
    }
}

// --- Moves into a file's place that fail: a result's, and its original's back ---

TEST_F(FaultTest, FileThatCanBePutInPlaceNeitherNewNorOldKeepsBothReleases)
{
    Release b = ReleaseOf(2), x = ReleaseOf(5);
    const struct {
        const char* file; // the entry after b.bin, whose moves fail
        bool backup;
        LONG finalState;
    } cases[] = {
        {"a.bin", false, RUN_ACTIVE},
        {"a.bin", true, RUN_ACTIVE},
        // The main file stops the run, and the restore cannot put its original back either.
        {"App.exe", false, RUN_MAIN_FILE_FAILED},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.backup ? ", with a backup" : ""));
        const std::string file = c.file;
        Tree before{{"b.bin", b.before}, {file, x.before}};
        Refill(before);
        WritePatch(
            {fmt::MakePatchEntry("\\b.bin", b.before, b.after), fmt::MakePatchEntry("\\" + file, x.before, x.after)});
        RunPlan plan;
        plan.backup = c.backup;

        RunRecord run;
        {
            MovesFail fault({file, 0, true});
            run = Run(plan);
        }

        const bool stopped = c.finalState != RUN_ACTIVE;
        EXPECT_EQ(run.finalState, c.finalState);
        Tree backup;
        if (c.backup)
            backup = {{"Mendsmith.bak\\", {}},
                      {"Mendsmith.bak\\b.bin", b.before},
                      {"Mendsmith.bak\\" + file, x.before}};
        Tree after{{"b.bin", b.after}, {file, x.after}};
        after.insert(backup.begin(), backup.end());
        std::string kept = ExpectKept({before, after, stopped ? RunEnd::Stopped : RunEnd::Completed, true, {file}});
        ASSERT_NE(kept, "");
        // The log names the new release beside the file.
        const std::string beside = KeptBeside(dest_.path());
        EXPECT_EQ(TakeLog(dest_.path()), Line("b.bin", IDS_LOG_UPDATED) +
                                             Line(file + " (" + beside + ")", IDS_LOG_KEPT_ASIDE) +
                                             Line(dest_ / kept, IDS_LOG_ORIGINALS_KEPT));
        // The file's place is empty; nothing of either release is lost.
        Tree expected{{beside, x.after}, {kept + "\\", {}}, {kept + "\\" + file, x.before}};
        expected.insert(backup.begin(), backup.end());
        expected["b.bin"] = stopped ? b.before : b.after;
        if (!stopped)
            expected[kept + "\\b.bin"] = b.before;
        EXPECT_EQ(ReadTree(dest_.path()), expected);
    }
}

TEST_F(FaultTest, AttachedOverwriteThatFailsWhereNothingCanBePutBackLosesNothing)
{
    const Tree before{{"c.txt", ToBytes("old c")}};
    const Bytes next = ToBytes("new c");
    WritePatch({fmt::MakeAttachedEntry("\\c.txt", next)});
    RunPlan plan;
    plan.answers = {IDYES};

    for (bool writeFails : {true, false}) {
        SCOPED_TRACE(writeFails ? "the new content cannot be written" : "the new content cannot be moved in");
        Refill(before);
        g_resultWrites = 0;
        g_diskFullAtResultWrite = writeFails ? 1 : INT_MAX;

        RunRecord run;
        {
            ImportHook write("WriteFile", reinterpret_cast<const void*>(&WriteUntilDiskFull));
            MovesFail fault({"c.txt", 0, true});
            run = Run(plan);
        }

        EXPECT_EQ(run.finalState, RUN_ACTIVE);
        std::string kept = ExpectKept({before, {{"c.txt", next}}, RunEnd::Completed, !writeFails, {"c.txt"}});
        if (writeFails) {
            // The new content is written beside the file first, so nothing moved and nothing must go back.
            EXPECT_EQ(TakeLog(dest_.path()), Line("c.txt", IDS_LOG_WRITE_FAILED));
            EXPECT_EQ(ReadTree(dest_.path()), before);
            continue;
        }
        ASSERT_NE(kept, "");
        const std::string beside = KeptBeside(dest_.path());
        EXPECT_EQ(TakeLog(dest_.path()),
                  Line("c.txt (" + beside + ")", IDS_LOG_KEPT_ASIDE) + Line(dest_ / kept, IDS_LOG_ORIGINALS_KEPT));
        EXPECT_EQ(ReadTree(dest_.path()),
                  (Tree{{beside, next}, {kept + "\\", {}}, {kept + "\\c.txt", before.at("c.txt")}}));
    }
}

TEST_F(FaultTest, SecondEntryForAFileThatFailsLeavesTheFirstOnesResultUntilAStopPutsTheOriginalBack)
{
    Release a = ReleaseOf(1), c = ReleaseOf(3);
    const Bytes third = NextRelease(a.after);
    const Tree before{{"a.bin", a.before}, {"c.bin", c.before}};
    const struct {
        const char* what;
        bool crcWrong;
        bool moveFails;
        UINT log;
    } seconds[] = {
        {"second entry succeeds", false, false, IDS_LOG_UPDATED},
        {"second result's checksum wrong", true, false, IDS_LOG_RESULT_CRC},
        {"second result cannot be moved in", false, true, IDS_LOG_ACCESS_DENIED},
    };
    const struct {
        const char* what;
        bool dataError;
        int cancelAtPosition;
        LONG finalState;
    } laters[] = {
        {"no stop", false, 0, RUN_ACTIVE},
        {"data error in the third entry", true, 0, RUN_DATA_ERROR},
        // The cancel lands after the second entry; the third is applied and logged, then the run stops.
        {"cancel", false, 2, RUN_CANCELED},
    };

    for (const auto& second : seconds) {
        for (const auto& later : laters) {
            SCOPED_TRACE(std::string(second.what) + ", " + later.what);
            Refill(before);
            fmt::PatchEntry again = fmt::MakePatchEntry("\\a.bin", a.after, third);
            if (second.crcWrong)
                again.targetCrc ^= 1;
            fmt::PatchEntry last = fmt::MakePatchEntry("\\c.bin", c.before, c.after);
            if (later.dataError)
                last.ops = {fmt::Op::MakeCopy(static_cast<std::uint32_t>(c.before.size() + 1), 0)};
            WritePatch({fmt::MakePatchEntry("\\a.bin", a.before, a.after), again, last});
            RunPlan plan;
            plan.cancelAtPosition = later.cancelAtPosition;

            RunRecord run;
            {
                // The first result goes in; the second one's move fails when the row says so.
                MovesFail fault({second.moveFails ? "a.bin" : "", 1, false});
                run = Run(plan);
            }

            const bool stopped = later.finalState != RUN_ACTIVE;
            const Bytes& aNow = second.log == IDS_LOG_UPDATED ? third : a.after;
            EXPECT_EQ(run.finalState, later.finalState);
            EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_UPDATED) + Line("a.bin", second.log) +
                                                 Line("c.bin", later.dataError ? IDS_LOG_DATA_ERROR : IDS_LOG_UPDATED));
            ExpectKept({before, {{"a.bin", aNow}, {"c.bin", c.after}}, stopped ? RunEnd::Stopped : RunEnd::Completed});
            EXPECT_EQ(ReadTree(dest_.path()), stopped ? before : (Tree{{"a.bin", aNow}, {"c.bin", c.after}}));
        }
    }
}

// --- A cancel at every entry ---

int g_entriesBegun;
int g_cancelAtEntry;

// The applier shows each entry's path as it begins; the cancel lands while that entry is applied.
BOOL WINAPI CancelWhenEntryBegins(HWND, LPCSTR)
{
    if (++g_entriesBegun == g_cancelAtEntry)
        CancelRun();
    return TRUE;
}

TEST_F(FaultTest, CancelDuringAnyEntryPutsEveryReplacedFileBack)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2), d = ReleaseOf(4);
    const Tree before{
        {"a.bin", a.before}, {"Sub\\", {}}, {"Sub\\b.bin", b.before}, {"c.txt", ToBytes("old c")}, {"d.bin", d.before}};
    const Tree after{{"a.bin", a.after},
                     {"Sub\\b.bin", b.after},
                     {"c.txt", ToBytes("new c")},
                     {"new.txt", ToBytes("new")},
                     {"d.bin", d.after}};
    WritePatch(
        {fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\Sub\\b.bin", b.before, b.after),
         fmt::MakeAttachedEntry("\\c.txt", ToBytes("new c")), fmt::MakeAttachedEntry("\\new.txt", ToBytes("new")),
         fmt::MakePatchEntry("\\d.bin", d.before, d.after)});
    const std::vector<std::string> lines{Line("a.bin", IDS_LOG_UPDATED), Line("Sub\\b.bin", IDS_LOG_UPDATED),
                                         Line("c.txt", IDS_LOG_OVERWRITTEN), Line("new.txt", IDS_LOG_ADDED),
                                         Line("d.bin", IDS_LOG_UPDATED)};

    for (int k = 1; k <= 5; k++) {
        SCOPED_TRACE("cancel during entry " + std::to_string(k));
        Refill(before);
        SetFileAttributesA((dest_ / "Sub\\b.bin").c_str(), FILE_ATTRIBUTE_READONLY);
        g_entriesBegun = 0;
        g_cancelAtEntry = k;
        RunPlan plan;
        plan.answers = {IDYES};

        RunRecord run;
        {
            ImportHook hook("SetWindowTextA", reinterpret_cast<const void*>(&CancelWhenEntryBegins));
            run = Run(plan);
        }

        // The entry in progress is finished and logged; none after it is begun.
        EXPECT_EQ(run.finalState, RUN_CANCELED);
        EXPECT_EQ(g_entriesBegun, k);
        EXPECT_EQ(run.positions.size(), static_cast<std::size_t>(k - 1));
        std::string log;
        for (int i = 0; i < k; i++)
            log += lines[i];
        EXPECT_EQ(TakeLog(dest_.path()), log);
        ExpectKept({before, after, RunEnd::Stopped});
        Tree expected = before;
        if (k >= 4)
            expected["new.txt"] = ToBytes("new");
        EXPECT_EQ(ReadTree(dest_.path()), expected);
    }
}

// --- The process killed hard in the middle of a run ---

TEST_F(FaultTest, KilledBetweenEntriesLeavesTheDoneFilesNewAndTheirOriginalsInTheRollbackFolder)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2), c = ReleaseOf(3), d = ReleaseOf(4);
    Tree before{{"a.bin", a.before}, {"b.bin", b.before}, {"c.bin", c.before}, {"d.bin", d.before}};
    WriteTree(dest_.path(), before);
    WritePatch({fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\b.bin", b.before, b.after),
                fmt::MakePatchEntry("\\c.bin", c.before, c.after), fmt::MakePatchEntry("\\d.bin", d.before, d.after)});

    ASSERT_TRUE(RunAndKill(dest_.path(), work_.path(), KillPoint::AfterSecondEntry));

    // Nothing undoes a killed run: the first two files are new, and their originals wait in the
    // rollback folder, which nothing removes.
    std::string kept = ExpectKept(
        {before, {{"a.bin", a.after}, {"b.bin", b.after}, {"c.bin", c.after}, {"d.bin", d.after}}, RunEnd::Killed});
    ASSERT_NE(kept, "");
    EXPECT_EQ(TakeLog(dest_.path()), Line("a.bin", IDS_LOG_UPDATED) + Line("b.bin", IDS_LOG_UPDATED));
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", a.after},
                                            {"b.bin", b.after},
                                            {"c.bin", c.before},
                                            {"d.bin", d.before},
                                            {kept + "\\", {}},
                                            {kept + "\\a.bin", a.before},
                                            {kept + "\\b.bin", b.before}}));
}

TEST_F(FaultTest, KilledBetweenMovingTheOriginalAsideAndTheResultInLeavesBothReleasesOnDisk)
{
    Release a = ReleaseOf(1), b = ReleaseOf(2);
    Tree before{{"a.bin", a.before}, {"b.bin", b.before}};
    WriteTree(dest_.path(), before);
    WritePatch({fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\b.bin", b.before, b.after)});

    ASSERT_TRUE(RunAndKill(dest_.path(), work_.path(), KillPoint::BeforeFirstResultMove));

    // The worst moment: a.bin is gone from its place, its new release sits under a "PCH" name and
    // its original in the rollback folder. The log has no line yet.
    std::string kept = ExpectKept({before, {{"a.bin", a.after}, {"b.bin", b.after}}, RunEnd::Killed});
    ASSERT_NE(kept, "");
    std::vector<std::string> built = NamesWithPrefix(dest_.path(), "PCH");
    ASSERT_EQ(built.size(), 1u);
    EXPECT_EQ(TakeLog(dest_.path()), "");
    EXPECT_EQ(ReadTree(dest_.path()),
              (Tree{{"b.bin", b.before}, {built[0], a.after}, {kept + "\\", {}}, {kept + "\\a.bin", a.before}}));
}

// --- A real full disk: a small file system mounted for these tests (run_with_small_disk.sh) ---

constexpr std::uint64_t kPage = 4096;

class OnASmallDisk : public FaultTest {
protected:
    void SetUp() override
    {
        FaultTest::SetUp();
        const char* mounted = std::getenv("MENDSMITH_SMALL_DISK");
        if (mounted == nullptr || *mounted == '\0')
            return;
        root_ = WinePathOf(mounted);
        small_ = root_ + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RemoveTreeForce(small_);
        ASSERT_TRUE(CreateDirectoryA(small_.c_str(), nullptr)) << small_;
    }

    void TearDown() override
    {
        if (root_.empty())
            return;
        RemoveTreeForce(small_);
        DeleteFileA((root_ + "\\filler").c_str());
    }

    bool Mounted() const
    {
        if (root_.empty())
            std::printf("no small disk: run through ctest (win32.fault_test.small_disk) to mount one\n");
        return !root_.empty();
    }

    // Fills the disk until only the given number of pages is free.
    void LeaveFreePages(std::uint64_t pages)
    {
        ULARGE_INTEGER available{}, total{}, free{};
        ASSERT_TRUE(GetDiskFreeSpaceExA(root_.c_str(), &available, &total, &free));
        ASSERT_GT(available.QuadPart, pages * kPage) << "the small disk is too small";
        WriteFileBytes(root_ + "\\filler", Bytes(available.QuadPart - pages * kPage, 0xF1));
    }

    RunRecord RunOnSmallDisk(RunPlan plan = {})
    {
        plan.destination = small_;
        return RunUpdate(plan);
    }

    std::string root_;
    std::string small_;
};

TEST_F(OnASmallDisk, DiskFullWhileTheMainFileIsRebuiltRestoresEveryReplacedFile)
{
    if (!Mounted())
        return;
    Release b = ReleaseOf(2, 3000), app = ReleaseOf(1, 40000);
    Tree before{{"b.bin", b.before}, {"App.exe", app.before}};
    WriteTree(small_, before);
    WritePatch(
        {fmt::MakePatchEntry("\\b.bin", b.before, b.after), fmt::MakePatchEntry("\\App.exe", app.before, app.after)});
    // Room for b.bin's result and the log, but not for the ten pages of App.exe's.
    LeaveFreePages(6);

    RunRecord run = RunOnSmallDisk();

    EXPECT_EQ(run.finalState, RUN_MAIN_FILE_FAILED);
    EXPECT_EQ(TakeLog(small_), Line("b.bin", IDS_LOG_UPDATED) + Line("App.exe", IDS_LOG_WRITE_FAILED));
    ExpectFilesKept(small_, {before, {{"b.bin", b.after}, {"App.exe", app.after}}, RunEnd::Stopped});
    EXPECT_EQ(ReadTree(small_), before);
}

TEST_F(OnASmallDisk, DiskWithRoomForTheResultAloneStillTakesTheOriginalAsideAndBack)
{
    if (!Mounted())
        return;
    Release a = ReleaseOf(1, 40000);
    Tree before{{"a.bin", a.before}};
    WriteTree(small_, before);
    WritePatch(
        {fmt::MakePatchEntry("\\a.bin", a.before, a.after), fmt::MakePatchEntry("\\App.exe", a.before, a.after)});
    // Room for the ten pages of the result, not for the ten more that a copy of the original
    // would need: the original goes into the rollback folder and back by renaming, which needs none.
    LeaveFreePages(14);

    RunRecord run = RunOnSmallDisk();

    EXPECT_EQ(run.finalState, RUN_MAIN_FILE_FAILED);
    EXPECT_EQ(TakeLog(small_), Line("a.bin", IDS_LOG_UPDATED) + Line("App.exe", IDS_LOG_MISSING));
    ExpectFilesKept(small_, {before, {{"a.bin", a.after}}, RunEnd::Stopped});
    EXPECT_EQ(ReadTree(small_), before);
}

TEST_F(OnASmallDisk, DiskTooFullToCopyTheOriginalBackStillGetsItBackWhole)
{
    if (!Mounted())
        return;
    // The update shrinks a.bin from ten pages to one; a new file then takes the pages it freed.
    Bytes big = SampleRelease(1, 40000), small = SampleRelease(9, 3000);
    Bytes added(12 * kPage, 0xAD);
    Tree before{{"a.bin", big}};
    WriteTree(small_, before);
    WritePatch({fmt::MakePatchEntry("\\a.bin", big, small), fmt::MakeAttachedEntry("\\added.bin", added),
                fmt::MakePatchEntry("\\App.exe", big, small)});
    LeaveFreePages(16);

    RunRecord run = RunOnSmallDisk();

    // A copy back would have emptied a.bin and found no room for its ten pages; the saved original
    // is renamed over it instead, and the rollback folder goes.
    EXPECT_EQ(run.finalState, RUN_MAIN_FILE_FAILED);
    ExpectFilesKept(small_, {before, {{"a.bin", small}, {"added.bin", added}}, RunEnd::Stopped});
    EXPECT_EQ(TakeLog(small_),
              Line("a.bin", IDS_LOG_UPDATED) + Line("added.bin", IDS_LOG_ADDED) + Line("App.exe", IDS_LOG_MISSING));
    EXPECT_EQ(ReadTree(small_), (Tree{{"a.bin", big}, {"added.bin", added}}));
    ULARGE_INTEGER available{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExA(root_.c_str(), &available, &total, &free));
    EXPECT_LT(available.QuadPart, big.size()) << "the disk had room for a copy of a.bin";
}

} // namespace
