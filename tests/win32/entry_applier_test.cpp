// The entry applier against real files: every outcome of a patch entry, and that a failure at
// any step leaves the file on disk as it was, or, when neither release can be put in its place,
// keeps both: the original in the rollback directory and the new one beside the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "format/crc.h"
#include "format/delta.h"
#include "format/patch_file.h"
#include "stub/patch/entry_applier.h"
#include "core/entry_outcome.h"
#include "stub/res/resource.h"
#include "support/fault_support.h"
#include "support/run_harness.h"
#include "support/test_support.h"
#include "tests/host/support/sample_program.h"

using namespace testing_support;
namespace fmt = mendsmith::format;

namespace {

class EntryApplierTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseStartupValues(work_.path());
        g_summaryStatus = 0;
        job_ = JobWithWindowCallbacks();
        job_.mainFileName = "App.exe";
        UseDestination(dest_.path());
        rollback_ = work_ / "BAK1.tmp";
        CreateDirectoryA(rollback_.c_str(), nullptr);
    }

    void TearDown() override
    {
        EXPECT_EQ(NamesWithPrefix(destination_, "PCH"), std::vector<std::string>{});
        EXPECT_EQ(NamesWithPrefix(destination_, "BAK"), std::vector<std::string>{});
    }

    void UseDestination(const std::string& path)
    {
        destination_ = path;
        job_.destinationDirectory = destination_.c_str();
    }

    // Applies every entry in turn; unless a data error stops it, the cursor must end exactly
    // at the end of the data.
    std::vector<EntryStatus> Apply(const fmt::Bytes& data, HWND owner = nullptr)
    {
        // Written past the program's own imports, which a test may have hooked.
        const std::string path = work_ / "Patch.dat";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        PatchReader patch;
        std::uint32_t count = 0;
        EXPECT_TRUE(StartPatchReader(&patch, file) && FillPatchWindow(&patch, 4) > 0 &&
                    ReadPatchEntryCount(&patch.cursor, &count));
        std::vector<EntryStatus> statuses;
        for (std::uint32_t i = 0; i < count; i++) {
            job_.mainWindow = owner;
            char name[PATH_ROOM];
            statuses.push_back(ApplyPatchEntry(&patch, rollback_.c_str(), &job_, name));
            if (statuses.back() == ENTRY_DATA_ERROR)
                break;
        }
        if (statuses.empty() || statuses.back() != ENTRY_DATA_ERROR) {
            EXPECT_EQ(PatchPosition(&patch), data.size()) << "the cursor stopped short of the end";
        }
        free(patch.window);
        ReleaseWholeFileRoom();
        CloseHandle(file);
        DeleteFileA(path.c_str());
        return statuses;
    }

    std::vector<EntryStatus> Apply(const std::vector<fmt::PatchEntry>& entries, HWND owner = nullptr)
    {
        return Apply(fmt::WritePatchFile(entries), owner);
    }

    std::string Full(const std::string& entryPath) const { return destination_ + entryPath; }

    TempDir dest_;
    TempDir work_;
    std::string destination_;
    std::string rollback_;
    UpdateJob job_{};
    const Bytes old_ = SampleRelease(1, 5000);
    const Bytes new_ = NextRelease(old_);
};

using Statuses = std::vector<EntryStatus>;

// Stand-ins for the platform calls that fail at the worst moment.
HANDLE g_heldFile = INVALID_HANDLE_VALUE;

void HoldWithoutSharing(LPCSTR path)
{
    g_heldFile = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

void ReleaseHeldFile()
{
    ASSERT_NE(g_heldFile, INVALID_HANDLE_VALUE);
    CloseHandle(g_heldFile);
    g_heldFile = INVALID_HANDLE_VALUE;
}

// How the move of an original into the rollback folder goes. Across volumes MoveFileA copies the
// file and deletes the original, and succeeds even when the deletion is refused.
enum class MoveAside { OriginalOpened, AcrossVolumes, AcrossVolumesOriginalHeld, AcrossVolumesDiskFull };
MoveAside g_moveAside;

BOOL WINAPI MoveAsideFails(LPCSTR from, LPCSTR to)
{
    auto move = Real<decltype(&MoveFileA)>("MoveFileA");
    if (!InRollbackFolder(to))
        return move(from, to);
    switch (g_moveAside) {
    case MoveAside::OriginalOpened:
        // Another program opens the original just before the rename.
        HoldWithoutSharing(from);
        return move(from, to);
    case MoveAside::AcrossVolumes:
        return CopyFileA(from, to, TRUE) && DeleteFileA(from);
    case MoveAside::AcrossVolumesOriginalHeld:
        if (!CopyFileA(from, to, TRUE))
            return FALSE;
        HoldWithoutSharing(from);
        return TRUE;
    case MoveAside::AcrossVolumesDiskFull:
        return CopyPartThenDiskFull(from, to, TRUE);
    }
    return FALSE;
}

// A body valid for any pair: the old bytes as far as both files go, plus their differences, then
// the rest of the new file as extra bytes.
fmt::DiffBody AddThenExtra(const Bytes& old, const Bytes& target)
{
    const std::size_t added = std::min(old.size(), target.size());
    fmt::DiffBody body{{{static_cast<std::uint32_t>(added), static_cast<std::uint32_t>(target.size() - added), 0}},
                       Bytes(added),
                       Bytes(target.begin() + static_cast<std::ptrdiff_t>(added), target.end())};
    for (std::size_t i = 0; i < added; i++)
        body.difference[i] = static_cast<std::uint8_t>(target[i] - old[i]);
    return body;
}

// ABCDEF to DFFABxyzF: forward to D, DEF with E raised by one, back to the start, AB, xyz, F.
const fmt::DiffBody kMovedBody{{{0, 0, 3}, {3, 0, -6}, {2, 3, 3}, {1, 0, 0}}, {0, 1, 0, 0, 0, 0}, ToBytes("xyz")};

BOOL WINAPI WriteHalf(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    return Real<decltype(&WriteFile)>("WriteFile")(file, data, size / 2, written, overlapped);
}

TEST_F(EntryApplierTest, NewAttachedFileIsAddedWithItsFolders)
{
    HWND status = CreateWindowA("STATIC", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    job_.statusWindow = status;

    EXPECT_EQ(Apply({fmt::MakeAttachedEntry("\\New\\Deep\\file.txt", ToBytes("hello"))}), Statuses{ENTRY_ADDED});

    EXPECT_EQ(ReadTree(dest_.path()),
              (Tree{{"New\\", {}}, {"New\\Deep\\", {}}, {"New\\Deep\\file.txt", ToBytes("hello")}}));
    EXPECT_EQ(ReadTree(rollback_), Tree{});
    char shown[MAX_PATH] = "";
    GetWindowTextA(status, shown, sizeof shown);
    EXPECT_STREQ(shown, "\\New\\Deep\\file.txt");
    EXPECT_EQ(g_summaryStatus, ENTRY_ADDED);
    DestroyWindow(status);
}

TEST_F(EntryApplierTest, ExistingAttachedFileIsKeptOnNoAndSavedThenOverwrittenOnYes)
{
    Bytes former = SampleRelease(7, 1000);
    WriteFileBytes(dest_ / "data.bin", former);
    HWND owner = CreateWindowA("STATIC", "owner", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    auto entries = std::vector<fmt::PatchEntry>{fmt::MakeAttachedEntry("\\data.bin", ToBytes("0123456789"))};
    {
        QuestionAnswerer answerer(GetCurrentThreadId(), {IDNO});
        EXPECT_EQ(Apply(entries, owner), Statuses{ENTRY_ATTACHED_SKIPPED});
        ASSERT_EQ(answerer.questions().size(), 1u);
        const auto& question = answerer.questions()[0];
        EXPECT_EQ(question.text, StringTableText(IDS_ATTACHED_EXISTS) + "\r\n" + Full("\\data.bin"));
        EXPECT_EQ(question.caption, "Mendsmith");
        EXPECT_EQ(question.owner, owner);
        EXPECT_TRUE(question.yesNoOnly);
    }
    EXPECT_EQ(ReadFileBytes(dest_ / "data.bin"), former);
    EXPECT_EQ(ReadTree(rollback_), Tree{});
    {
        QuestionAnswerer answerer(GetCurrentThreadId(), {IDYES});
        EXPECT_EQ(Apply(entries, owner), Statuses{ENTRY_ATTACHED_OVERWRITTEN});
    }
    EXPECT_EQ(ReadFileBytes(dest_ / "data.bin"), ToBytes("0123456789"));
    EXPECT_EQ(ReadTree(rollback_), (Tree{{"data.bin", former}}));
    DestroyWindow(owner);
}

TEST_F(EntryApplierTest, ReadOnlyFileIsPatchedAndItsOriginalSaved)
{
    WriteTree(dest_.path(), {{"Bin\\tool.dll", old_}});
    SetFileAttributesA((dest_ / "Bin\\tool.dll").c_str(), FILE_ATTRIBUTE_READONLY);

    // The attached file after the op list shows that the cursor moved exactly past it.
    EXPECT_EQ(Apply({fmt::MakePatchEntry("\\Bin\\tool.dll", old_, new_),
                     fmt::MakeAttachedEntry("\\b.txt", ToBytes("b"))}),
              (Statuses{ENTRY_UPDATED, ENTRY_ADDED}));

    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"Bin\\", {}}, {"Bin\\tool.dll", new_}, {"b.txt", ToBytes("b")}}));
    EXPECT_FALSE(GetFileAttributesA((dest_ / "Bin\\tool.dll").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(ReadTree(rollback_), (Tree{{"Bin\\", {}}, {"Bin\\tool.dll", old_}}));
}

TEST_F(EntryApplierTest, FilesThatCannotBePatchedAreSkippedUnchanged)
{
    Bytes other = SampleRelease(9, 300);
    Tree before{{"already.txt", new_}, {"other.txt", other}, {"held.txt", old_}, {"good.txt", old_}};
    WriteTree(dest_.path(), before);
    // Held open without sharing, as a running program holds its files.
    HANDLE holder = CreateFileA((dest_ / "held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    Statuses statuses =
        Apply({fmt::MakePatchEntry("\\Sub\\missing.txt", old_, new_), fmt::MakePatchEntry("\\already.txt", old_, new_),
               fmt::MakePatchEntry("\\other.txt", old_, new_), fmt::MakePatchEntry("\\held.txt", old_, new_),
               fmt::MakePatchEntry("\\good.txt", old_, new_)});
    CloseHandle(holder);

    EXPECT_EQ(statuses, (Statuses{ENTRY_ORIGINAL_MISSING, ENTRY_ALREADY_UPDATED, ENTRY_ORIGINAL_CRC_ERROR,
                                  ENTRY_ACCESS_DENIED, ENTRY_UPDATED}));
    EXPECT_EQ(g_summaryStatus, 0x813Au);
    before["Sub\\"] = {};
    before["good.txt"] = new_;
    EXPECT_EQ(ReadTree(dest_.path()), before);
    EXPECT_EQ(ReadTree(rollback_), (Tree{{"good.txt", old_}}));
}

TEST_F(EntryApplierTest, ResultWithoutTheTargetChecksumIsDiscarded)
{
    WriteFileBytes(dest_ / "a.bin", old_);
    fmt::PatchEntry entry = fmt::MakePatchEntry("\\a.bin", old_, new_);
    entry.targetCrc ^= 1;

    EXPECT_EQ(Apply({entry}), Statuses{ENTRY_RESULT_CRC_ERROR});

    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", old_}}));
    EXPECT_EQ(ReadTree(rollback_), Tree{});
}

TEST_F(EntryApplierTest, OpListOfOnlyTheEndOpLeavesAnEmptyFile)
{
    WriteFileBytes(dest_ / "a.bin", old_);

    EXPECT_EQ(Apply({fmt::MakePatchEntry("\\a.bin", old_, {})}), Statuses{ENTRY_UPDATED});

    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", {}}}));
}

TEST_F(EntryApplierTest, DataErrorsLeaveEveryFileUntouched)
{
    Tree before{{"Docs\\", {}}, {"Docs\\Notes.txt", ToBytes("ABCDEF")}};
    WriteTree(dest_.path(), before);
    fmt::PatchEntry entry = fmt::MakePatchEntry("\\Docs\\Notes.txt", ToBytes("ABCDEF"), ToBytes("ABxyEF"));
    entry.ops = {fmt::Op::MakeCopy(2, 0), fmt::Op::MakeLiteral(ToBytes("xy")), fmt::Op::MakeCopy(2, 4)};
    const fmt::Bytes good = fmt::WritePatchFile(std::vector<fmt::PatchEntry>{entry});
    const std::size_t secondOp = 4 + 8 + entry.path.size() + 1 + 9;
    ASSERT_EQ(good[secondOp], OP_LITERAL);

    for (std::uint8_t invalid : {std::uint8_t{3}, std::uint8_t{0x7F}}) {
        fmt::Bytes data = good;
        data[secondOp] = invalid;
        EXPECT_EQ(Apply(data), Statuses{ENTRY_DATA_ERROR}) << "op byte " << int(invalid);
        // The same list walked for a file that is missing.
        MoveFileA((dest_ / "Docs\\Notes.txt").c_str(), (dest_ / "Docs\\Away.txt").c_str());
        EXPECT_EQ(Apply(data), Statuses{ENTRY_DATA_ERROR}) << "op byte " << int(invalid) << ", file missing";
        MoveFileA((dest_ / "Docs\\Away.txt").c_str(), (dest_ / "Docs\\Notes.txt").c_str());
    }

    fmt::Bytes truncated(good.begin(), good.end() - 3);
    EXPECT_EQ(Apply(truncated), Statuses{ENTRY_DATA_ERROR}) << "data shorter than its entry";

    entry.ops = {fmt::Op::MakeCopy(3, 4)};
    EXPECT_EQ(Apply({entry}), Statuses{ENTRY_DATA_ERROR}) << "copy range beyond the file";

    // The writer refuses an unsafe path, so one is put into its output by hand.
    fmt::Bytes escaping =
        fmt::WritePatchFile(std::vector<fmt::PatchEntry>{fmt::MakeAttachedEntry("\\xx\\evil.txt", ToBytes("!"))});
    escaping[4 + 8 + 1] = '.';
    escaping[4 + 8 + 2] = '.';
    EXPECT_EQ(Apply(escaping), Statuses{ENTRY_DATA_ERROR}) << "entry path leaving the destination";

    EXPECT_EQ(ReadTree(dest_.path()), before);
    EXPECT_EQ(ReadTree(work_.path()), (Tree{{"BAK1.tmp\\", {}}}));
}

TEST_F(EntryApplierTest, PathsBeyond259CharactersAreRefusedNotCut)
{
    // 220 characters of destination leave room for entry paths of up to 39.
    std::string deep = dest_.path() + "\\" + std::string(219 - dest_.path().size(), 'd');
    ASSERT_EQ(deep.size(), 220u);
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr));
    UseDestination(deep);
    std::string tooLong = "\\" + std::string(39, 'x');
    std::string fits = "\\" + std::string(38, 'y');

    EXPECT_EQ(Apply({fmt::MakeAttachedEntry(tooLong, ToBytes("1")), fmt::MakePatchEntry(tooLong, old_, new_),
                     fmt::MakeAttachedEntry(fits, ToBytes("2"))}),
              (Statuses{ENTRY_PATH_TOO_LONG, ENTRY_PATH_TOO_LONG, ENTRY_ADDED}));
    EXPECT_EQ(ReadTree(deep), (Tree{{fits.substr(1), ToBytes("2")}}));

    // The same limit holds for the copy below the rollback directory.
    rollback_ = work_.path() + "\\" + std::string(230 - work_.path().size(), 'r');
    ASSERT_TRUE(CreateDirectoryA(rollback_.c_str(), nullptr));
    WriteFileBytes(deep + fits, old_);
    EXPECT_EQ(Apply({fmt::MakePatchEntry(fits, old_, new_)}), Statuses{ENTRY_PATH_TOO_LONG});
    EXPECT_EQ(ReadTree(deep), (Tree{{fits.substr(1), old_}}));
    EXPECT_EQ(ReadTree(rollback_), Tree{});
}

TEST_F(EntryApplierTest, OriginalThatCannotBeSavedIsNotReplaced)
{
    WriteTree(dest_.path(), {{"Sub\\file.bin", old_}});
    // A read-only file where the copy's folder would have to be.
    WriteFileBytes(rollback_ + "\\Sub", ToBytes("in the way"));
    SetFileAttributesA((rollback_ + "\\Sub").c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(Apply({fmt::MakePatchEntry("\\Sub\\file.bin", old_, new_)}), Statuses{ENTRY_DELETE_DENIED});

    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"Sub\\", {}}, {"Sub\\file.bin", old_}}));
    EXPECT_EQ(ReadTree(rollback_), (Tree{{"Sub", ToBytes("in the way")}}));
}

DWORD WINAPI CloseAfter300Milliseconds(LPVOID file)
{
    Sleep(300);
    CloseHandle(file);
    return 0;
}

TEST_F(EntryApplierTest, FileHeldForAMomentByAnotherProgramIsWaitedFor)
{
    WriteFileBytes(dest_ / "a.bin", old_);
    // A virus scanner that has just opened the file, without sharing, and lets it go 300 ms later.
    HANDLE held = CreateFileA(Full("\\a.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE releaser = CreateThread(nullptr, 0, CloseAfter300Milliseconds, held, 0, nullptr);

    EXPECT_EQ(Apply({fmt::MakePatchEntry("\\a.bin", old_, new_)}), Statuses{ENTRY_UPDATED});

    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", new_}}));
    EXPECT_EQ(ReadTree(rollback_), (Tree{{"a.bin", old_}}));
}

TEST_F(EntryApplierTest, OriginalIsMovedAsideWholeOrStaysInPlaceWithNothingSaved)
{
    const struct {
        const char* what;
        MoveAside move;
        EntryStatus status;
        bool held; // the hooks left the original open
    } cases[] = {
        {"rename refused: the original is open", MoveAside::OriginalOpened, ENTRY_DELETE_DENIED, true},
        {"copied to another volume", MoveAside::AcrossVolumes, ENTRY_UPDATED, false},
        // The copy is made, then the original cannot be deleted: the copy goes, the original stays.
        {"copied to another volume, then held", MoveAside::AcrossVolumesOriginalHeld, ENTRY_DELETE_DENIED, true},
        // A part of a copy must never be put back over the file it was to save.
        {"copy to another volume cut short by a full disk", MoveAside::AcrossVolumesDiskFull, ENTRY_DELETE_DENIED,
         false},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTreeForce(rollback_);
        CreateDirectoryA(rollback_.c_str(), nullptr);
        WriteFileBytes(dest_ / "a.bin", old_);
        g_moveAside = c.move;
        {
            // Moved by path, as before Vista, where the hooks can make the move fail.
            RenameByHandleHook rename(nullptr);
            ImportHook move("MoveFileA", reinterpret_cast<const void*>(&MoveAsideFails));
            EXPECT_EQ(Apply({fmt::MakePatchEntry("\\a.bin", old_, new_)}), Statuses{c.status});
        }
        if (c.held)
            ReleaseHeldFile();

        bool updated = c.status == ENTRY_UPDATED;
        EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", updated ? new_ : old_}}));
        EXPECT_EQ(ReadTree(rollback_), (updated ? Tree{{"a.bin", old_}} : Tree{}));
    }
}

TEST_F(EntryApplierTest, FailedMovePutsTheOriginalBackOrKeepsItAsideWithTheResultBeside)
{
    for (bool putBackFails : {false, true}) {
        SCOPED_TRACE(putBackFails ? "putting back fails" : "putting back works");
        WriteTree(dest_.path(), {{"Sub\\a.bin", old_}});
        g_summaryStatus = 0;
        {
            MovesFail fault({"a.bin", 0, putBackFails});
            EXPECT_EQ(Apply({fmt::MakePatchEntry("\\Sub\\a.bin", old_, new_)}),
                      Statuses{putBackFails ? ENTRY_KEPT_ASIDE : ENTRY_DELETE_DENIED});
        }
        EXPECT_EQ(g_summaryStatus, putBackFails ? ENTRY_KEPT_ASIDE : ENTRY_DELETE_DENIED);
        if (!putBackFails) {
            EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"Sub\\", {}}, {"Sub\\a.bin", old_}}));
            EXPECT_EQ(ReadTree(rollback_), (Tree{{"Sub\\", {}}}));
            continue;
        }
        // Neither release is in the file's place, and neither is lost.
        std::string beside = KeptBeside(destination_);
        EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"Sub\\", {}}, {beside, new_}}));
        EXPECT_EQ(ReadTree(rollback_), (Tree{{"Sub\\", {}}, {"Sub\\a.bin", old_}}));
        DeleteFileA((dest_ / beside).c_str());
    }
}

TEST_F(EntryApplierTest, AttachedOverwriteThatFailsChangesNothing)
{
    Bytes former = SampleRelease(3, 1000);
    Tree before{{"Sub\\", {}}, {"Sub\\saved.bin", former}, {"shared.bin", former}, {"short.bin", former}};
    WriteTree(dest_.path(), before);
    WriteFileBytes(rollback_ + "\\Sub", ToBytes("in the way"));
    // Another program reads shared.bin and lets others read it too, but not write it.
    HANDLE reader =
        CreateFileA((dest_ / "shared.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    Bytes attached = ToBytes("0123456789");
    QuestionAnswerer answerer(GetCurrentThreadId(), {IDYES, IDYES, IDYES});

    // The original cannot be saved, cannot be renamed while another program has it open without
    // delete sharing, and the new content beside it is written short: each time the file stays.
    EXPECT_EQ(Apply({fmt::MakeAttachedEntry("\\Sub\\saved.bin", attached),
                     fmt::MakeAttachedEntry("\\shared.bin", attached)}),
              (Statuses{ENTRY_ACCESS_DENIED, ENTRY_ACCESS_DENIED}));
    CloseHandle(reader);
    {
        ImportHook hook("WriteFile", reinterpret_cast<const void*>(&WriteHalf));
        EXPECT_EQ(Apply({fmt::MakeAttachedEntry("\\short.bin", attached)}), Statuses{ENTRY_WRITE_FAILED});
    }

    EXPECT_EQ(answerer.questions().size(), 3u);
    EXPECT_EQ(ReadTree(dest_.path()), before);
    EXPECT_EQ(ReadTree(rollback_), (Tree{{"Sub", ToBytes("in the way")}}));
}

TEST_F(EntryApplierTest, NewAttachedFileWrittenShortIsRemoved)
{
    {
        ImportHook hook("WriteFile", reinterpret_cast<const void*>(&WriteHalf));
        EXPECT_EQ(Apply({fmt::MakeAttachedEntry("\\new.bin", ToBytes("0123456789"))}), Statuses{ENTRY_WRITE_FAILED});
    }
    EXPECT_EQ(ReadTree(dest_.path()), Tree{});
}

TEST_F(EntryApplierTest, SecondEntryForTheSameFileKeepsTheFirstOriginal)
{
    Bytes third = NextRelease(new_);
    WriteFileBytes(dest_ / "a.bin", old_);

    EXPECT_EQ(Apply({fmt::MakePatchEntry("\\a.bin", old_, new_), fmt::MakePatchEntry("\\a.bin", new_, third)}),
              (Statuses{ENTRY_UPDATED, ENTRY_UPDATED}));

    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"a.bin", third}}));
    EXPECT_EQ(ReadTree(rollback_), (Tree{{"a.bin", old_}}));
}

TEST_F(EntryApplierTest, DifferenceBodiesRebuildFilesAndAreWalkedPastMissingOnes)
{
    // Larger than the applier's 32 KB slice, so the additions go out in several writes.
    const Bytes bigOld = SampleRelease(3, 100000);
    const Bytes bigNew = NextRelease(bigOld);
    const Bytes abc = ToBytes("ABCDEF");
    Tree before{{"big.bin", bigOld}, {"moved.txt", abc}, {"empty.txt", {}}, {"kept.txt", abc}};
    WriteTree(dest_.path(), before);

    Statuses statuses = Apply({
        fmt::MakeDifferenceEntry("\\big.bin", bigOld, bigNew, AddThenExtra(bigOld, bigNew)),
        fmt::MakeDifferenceEntry("\\Sub\\missing.txt", abc, ToBytes("DFFABxyzF"), kMovedBody),
        fmt::MakeDifferenceEntry("\\moved.txt", abc, ToBytes("DFFABxyzF"), kMovedBody),
        fmt::MakeDifferenceEntry("\\empty.txt", {}, ToBytes("new"), {{{0, 3, 0}}, {}, ToBytes("new")}),
        fmt::MakePatchEntry("\\kept.txt", abc, ToBytes("ABxyEF")),
    });

    EXPECT_EQ(statuses, (Statuses{ENTRY_UPDATED, ENTRY_ORIGINAL_MISSING, ENTRY_UPDATED, ENTRY_UPDATED, ENTRY_UPDATED}));
    Tree after{{"big.bin", bigNew},
               {"moved.txt", ToBytes("DFFABxyzF")},
               {"empty.txt", ToBytes("new")},
               {"kept.txt", ToBytes("ABxyEF")},
               {"Sub\\", {}}};
    EXPECT_EQ(ReadTree(dest_.path()), after);
    EXPECT_EQ(ReadTree(rollback_), before);
}

TEST_F(EntryApplierTest, DifferenceBodyDataErrorsLeaveTheFileUntouched)
{
    const Bytes abc = ToBytes("ABCDEF");
    WriteFileBytes(dest_ / "a.txt", abc);
    auto entryWith = [&](std::vector<fmt::DiffControl> controls) {
        fmt::DiffBody body = kMovedBody;
        body.controls = std::move(controls);
        return fmt::MakeDifferenceEntry("\\a.txt", abc, ToBytes("DFFABxyzF"), body);
    };
    // Both still add 6 bytes and 3 extra bytes, so only the old file shows them wrong.
    EXPECT_EQ(Apply({entryWith({{0, 0, 7}, {6, 3, 0}})}), Statuses{ENTRY_DATA_ERROR}) << "a step past the end";
    EXPECT_EQ(Apply({entryWith({{0, 0, 1}, {6, 3, 0}})}), Statuses{ENTRY_DATA_ERROR}) << "an addition past the end";
    EXPECT_EQ(Apply({entryWith({{3, 0, -4}, {3, 3, 0}})}), Statuses{ENTRY_DATA_ERROR}) << "a step before the start";

    // Lengths that do not add up are found by the walk past a file that is not as expected too.
    fmt::Bytes uneven = fmt::WritePatchFile(std::vector{entryWith({{6, 3, 0}})});
    uneven[4 + 8 + 7 + 13] = 5;
    EXPECT_EQ(Apply(uneven), Statuses{ENTRY_DATA_ERROR}) << "add lengths one short, file as expected";
    WriteFileBytes(dest_ / "a.txt", ToBytes("other"));
    EXPECT_EQ(Apply(uneven), Statuses{ENTRY_DATA_ERROR}) << "add lengths one short, file changed";
    DeleteFileA((dest_ / "a.txt").c_str());
    EXPECT_EQ(Apply(uneven), Statuses{ENTRY_DATA_ERROR}) << "add lengths one short, file missing";

    EXPECT_EQ(ReadTree(dest_.path()), Tree{});
    EXPECT_EQ(ReadTree(rollback_), Tree{});
}

TEST_F(EntryApplierTest, RemovalMovesOnlyTheOldReleasesFileAsideAndTheFoldersItEmptied)
{
    const Bytes other = SampleRelease(9, 300);
    Tree before{{"Plugins\\", {}},      {"Plugins\\Old\\", {}},  {"Plugins\\Old\\a.dll", old_},
                {"Shared\\", {}},       {"Shared\\b.dll", old_}, {"Shared\\user.txt", other},
                {"changed.dll", other}, {"empty.dll", {}},       {"held.dll", old_},
                {"Folder.dll\\", {}},   {"Bin\\", {}},           {"Bin\\app.exe", old_},
                {"readonly.dll", old_}};
    WriteTree(dest_.path(), before);
    SetFileAttributesA((dest_ / "readonly.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE holder = CreateFileA((dest_ / "held.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const struct {
        const char* path;
        EntryStatus status;
    } cases[] = {
        {"\\Plugins\\Old\\a.dll", ENTRY_REMOVED}, // with both folders, which held nothing else
        {"\\Shared\\b.dll", ENTRY_REMOVED},       // its folder stays for the user's file
        {"\\Gone\\Deep\\c.dll", ENTRY_REMOVED},   // missing with its folders: nothing to do, none made
        {"\\changed.dll", ENTRY_ORIGINAL_CRC_ERROR},
        {"\\empty.dll", ENTRY_ORIGINAL_CRC_ERROR}, // CRC 0 is the unread target CRC, not "already updated"
        {"\\held.dll", ENTRY_ACCESS_DENIED},
        {"\\Folder.dll", ENTRY_ACCESS_DENIED},
        {"\\readonly.dll", ENTRY_REMOVED},
    };
    std::vector<fmt::PatchEntry> entries;
    Statuses expected;
    for (const auto& c : cases) {
        entries.push_back(fmt::MakeRemovalEntry(c.path, old_));
        expected.push_back(c.status);
    }
    // The cursor moves past each one-byte body onto the next entry.
    entries.push_back(fmt::MakeAttachedEntry("\\z.txt", ToBytes("z")));
    expected.push_back(ENTRY_ADDED);

    EXPECT_EQ(Apply(entries), expected);
    CloseHandle(holder);

    EXPECT_EQ(g_summaryStatus, ENTRY_REMOVED | ENTRY_ADDED | ENTRY_ORIGINAL_CRC_ERROR | ENTRY_ACCESS_DENIED);
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"Shared\\", {}},
                                            {"Shared\\user.txt", other},
                                            {"changed.dll", other},
                                            {"empty.dll", {}},
                                            {"held.dll", old_},
                                            {"Folder.dll\\", {}},
                                            {"Bin\\", {}},
                                            {"Bin\\app.exe", old_},
                                            {"z.txt", ToBytes("z")}}));
    EXPECT_EQ(ReadTree(rollback_), (Tree{{"Plugins\\", {}},
                                         {"Plugins\\Old\\", {}},
                                         {"Plugins\\Old\\a.dll", old_},
                                         {"Shared\\", {}},
                                         {"Shared\\b.dll", old_},
                                         {"readonly.dll", old_}}));

    // The main file is never removed, wherever it lies and however its name is written: a package
    // that asks for it is broken, and nothing is touched.
    EXPECT_EQ(Apply({fmt::MakeRemovalEntry("\\Bin\\APP.EXE", old_)}), Statuses{ENTRY_DATA_ERROR});
    EXPECT_EQ(ReadFileBytes(dest_ / "Bin\\app.exe"), old_);
}

TEST_F(EntryApplierTest, RemovalThatCannotBeMovedAsideLeavesTheFile)
{
    WriteTree(dest_.path(), {{"Sub\\a.dll", old_}});
    // A read-only file where the saved file's folder would have to be.
    WriteFileBytes(rollback_ + "\\Sub", ToBytes("in the way"));
    SetFileAttributesA((rollback_ + "\\Sub").c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(Apply({fmt::MakeRemovalEntry("\\Sub\\a.dll", old_)}), Statuses{ENTRY_ACCESS_DENIED});

    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"Sub\\", {}}, {"Sub\\a.dll", old_}}));
    EXPECT_EQ(ReadTree(rollback_), (Tree{{"Sub", ToBytes("in the way")}}));
}

// A predicted-body entry from old to target.
fmt::PatchEntry PredictedEntry(std::string path, const Bytes& old, const Bytes& target)
{
    fmt::PredictedBody made = *fmt::MakeDiffBodies(old, target, REFERENCE_KINDS, fmt::Plain::Wanted).predicted;
    fmt::PatchEntry entry = fmt::MakeDifferenceEntry(std::move(path), old, target, std::move(made.body));
    entry.prediction = std::move(made.prediction);
    return entry;
}

TEST_F(EntryApplierTest, PredictedBodiesRebuildProgramsAndAreWalkedPastMissingOnes)
{
    // Two program pairs of each width, and this test program with code inserted in its middle.
    const Bytes old32 = mendsmith::test::SampleProgram(11, false, 1),
                new32 = mendsmith::test::SampleProgram(11, false, 2);
    const Bytes old64 = mendsmith::test::SampleProgram(12, true, 1),
                new64 = mendsmith::test::SampleProgram(12, true, 2);
    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    const Bytes real = ReadFileBytes(self);
    Bytes rebuilt = real;
    rebuilt.insert(rebuilt.begin() + static_cast<std::ptrdiff_t>(real.size() / 2), 48, 0x90);
    Tree before{{"App32.dll", old32}, {"App64.dll", old64}, {"Test.exe", real}};
    WriteTree(dest_.path(), before);

    const std::vector<fmt::PatchEntry> entries{
        PredictedEntry("\\App32.dll", old32, new32),
        PredictedEntry("\\Missing.dll", old64, new64),
        PredictedEntry("\\App64.dll", old64, new64),
        PredictedEntry("\\Test.exe", real, rebuilt),
    };
    EXPECT_EQ(Apply(entries), (Statuses{ENTRY_UPDATED, ENTRY_ORIGINAL_MISSING, ENTRY_UPDATED, ENTRY_UPDATED}));
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"App32.dll", new32}, {"App64.dll", new64}, {"Test.exe", rebuilt}}));
    EXPECT_EQ(ReadTree(rollback_), before);
}

// --- Files larger than the read buffers ---

Bytes RandomBytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    return bytes;
}

fmt::PatchEntry EntryFor(std::string path, const Bytes& old, const Bytes& target)
{
    fmt::PatchEntry entry;
    entry.path = std::move(path);
    entry.sourceCrc = fmt::Crc32(old);
    entry.targetCrc = fmt::Crc32(target);
    return entry;
}

// Two buffers and a bit of old file, and two bodies whose pieces straddle the buffers' edges: an
// op list with a copy across the first and second edge and a literal longer than a buffer (and so
// than the window), and a difference body whose first control adds across an edge, with more
// difference and extra bytes than a buffer holds, then steps back.
struct LargeCase {
    Bytes old = RandomBytes(2 * READ_BUFFER_SIZE + 5000, 1);
    fmt::PatchEntry ops, difference;
    Bytes opsTarget, differenceTarget;

    LargeCase()
    {
        const std::uint32_t b = READ_BUFFER_SIZE;
        std::vector<fmt::Op> list{fmt::Op::MakeCopy(3000, b - 1000), fmt::Op::MakeLiteral(RandomBytes(b + 3000, 2)),
                                  fmt::Op::MakeCopy(b + 10, b - 5), fmt::Op::MakeCopy(100, 2 * b + 4900)};
        opsTarget = fmt::ApplyOps(old, list);
        ops = EntryFor("\\ops.bin", old, opsTarget);
        ops.ops = list;

        fmt::DiffBody body;
        body.controls = {{b + 2000, b + 100, -static_cast<std::int32_t>(b)}, {5000, 10, static_cast<std::int32_t>(b)}};
        body.difference = Bytes(b + 7000, 0);
        for (std::size_t i = 0; i < body.difference.size(); i += 4093)
            body.difference[i] = static_cast<std::uint8_t>(i);
        body.extra = RandomBytes(b + 110, 3);
        differenceTarget = fmt::ApplyDiff(old, body);
        difference = EntryFor("\\diff.bin", old, differenceTarget);
        difference.difference = std::move(body);
    }
};

TEST_F(EntryApplierTest, BodiesStraddlingTheReadBuffersRebuildByteForByte)
{
    LargeCase c;
    WriteTree(dest_.path(), {{"ops.bin", c.old}, {"diff.bin", c.old}});

    EXPECT_EQ(Apply({c.ops, c.difference}), (Statuses{ENTRY_UPDATED, ENTRY_UPDATED}));

    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"ops.bin", c.opsTarget}, {"diff.bin", c.differenceTarget}}));
}

// A read of the old file that fails once its checksum has been taken, as when a network share
// goes away mid-file; every other file reads as usual.
DWORD g_failingSize;
int g_readsBeforeFailure;

BOOL WINAPI ReadFailsAfterTheChecksum(HANDLE file, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (GetFileSize(file, nullptr) == g_failingSize && g_readsBeforeFailure-- <= 0) {
        SetLastError(ERROR_NETNAME_DELETED);
        return FALSE;
    }
    return Real<decltype(&ReadFile)>("ReadFile")(file, data, size, read, overlapped);
}

TEST_F(EntryApplierTest, OldFileThatCannotBeReadFailsItsEntryAndTheNextGoesOn)
{
    LargeCase c;
    const Bytes small = SampleRelease(7, 300);
    for (const fmt::PatchEntry& entry : {c.ops, c.difference}) {
        const Tree before{{"big.bin", c.old}, {"small.bin", small}};
        WriteTree(dest_.path(), before);
        fmt::PatchEntry big = entry;
        big.path = "\\big.bin";
        g_failingSize = static_cast<DWORD>(c.old.size());
        g_readsBeforeFailure = 3; // the checksum's three pieces
        Statuses statuses;
        {
            ImportHook hook("ReadFile", reinterpret_cast<const void*>(&ReadFailsAfterTheChecksum));
            statuses = Apply({big, fmt::MakePatchEntry("\\small.bin", small, new_)});
        }
        EXPECT_EQ(statuses, (Statuses{ENTRY_ACCESS_DENIED, ENTRY_UPDATED}));
        EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"big.bin", c.old}, {"small.bin", new_}}));
        EXPECT_EQ(ReadTree(rollback_), (Tree{{"small.bin", small}}));
        DeleteFileA((rollback_ + "\\small.bin").c_str());
    }
}

// No buffer for the whole old file that a predicted body needs: the file stays, the body is
// passed, and the next entry goes on.
void* __cdecl NoLargeBlocks(std::size_t size)
{
    using Malloc = void*(__cdecl*)(std::size_t);
    static const auto real =
        reinterpret_cast<Malloc>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "malloc")));
    return size > READ_BUFFER_SIZE + 1 ? nullptr : real(size);
}

TEST_F(EntryApplierTest, BodyWithoutTheMemoryItNeedsLeavesTheFileAndSaysSo)
{
    const Bytes old = RandomBytes(READ_BUFFER_SIZE + 100, 4);
    Bytes target = old;
    target[10] ^= 1;
    fmt::PatchEntry predicted = EntryFor("\\big.bin", old, target);
    predicted.difference = fmt::DiffBody{{{static_cast<std::uint32_t>(old.size()), 0, 0}}, Bytes(old.size(), 0), {}};
    predicted.difference->difference[10] = 1;
    predicted.prediction = fmt::Prediction{};
    const Bytes small = SampleRelease(7, 300);
    WriteTree(dest_.path(), {{"big.bin", old}, {"small.bin", small}});

    const std::vector<fmt::PatchEntry> entries{predicted, fmt::MakePatchEntry("\\small.bin", small, new_)};
    const Bytes data = fmt::WritePatchFile(entries);
    Statuses statuses;
    {
        ImportHook hook("malloc", reinterpret_cast<const void*>(&NoLargeBlocks));
        statuses = Apply(data);
    }

    EXPECT_EQ(statuses, (Statuses{ENTRY_NO_MEMORY, ENTRY_UPDATED}));
    EXPECT_EQ(ReadTree(dest_.path()), (Tree{{"big.bin", old}, {"small.bin", new_}}));
    EXPECT_STREQ(EnglishLogText(FindEntryOutcome(ENTRY_NO_MEMORY)->logTextId),
                 "Not enough memory for this file; Skipped.");
    EXPECT_EQ(Apply({predicted}), Statuses{ENTRY_UPDATED});
    EXPECT_EQ(ReadFileBytes(dest_ / "big.bin"), target);
}

// A file of 4 GB less one byte where a predicted body's program should be: its size leaves no
// room for the count of a whole copy, so it is checksummed through the buffers, found to be
// another file and left as it is.
TEST_F(EntryApplierTest, PredictedBodyOverAFileOfFourGigabytesLessOneByteFindsAnotherFile)
{
    const Bytes old = mendsmith::test::SampleProgram(12, true, 1), target = mendsmith::test::SampleProgram(12, true, 2);
    const fmt::PatchEntry entry = PredictedEntry("\\huge.bin", old, target);
    const std::string huge = dest_ / "huge.bin";
    HANDLE file = CreateFileA(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size{};
    size.QuadPart = 0xFFFFFFFFll;
    ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);

    EXPECT_EQ(Apply({entry}), Statuses{ENTRY_ORIGINAL_CRC_ERROR});
    WIN32_FILE_ATTRIBUTE_DATA after;
    ASSERT_TRUE(GetFileAttributesExA(huge.c_str(), GetFileExInfoStandard, &after));
    EXPECT_EQ(after.nFileSizeLow, 0xFFFFFFFFu);
    EXPECT_EQ(after.nFileSizeHigh, 0u);
    DeleteFileA(huge.c_str());
}

} // namespace
