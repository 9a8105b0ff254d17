// Whole runs of the real updater (stub plus a package written by the format library), driven
// through its window: files before, what the user does, what it shows, files after.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/constants.h"
#include "driver.h"
#include "format/delta.h"
#include "format/patch_file.h"
#include "format/updater_image.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;
namespace fmt = mendsmith::format;

constexpr int ID_WELCOME = 355;
constexpr int ID_AUTHOR = 371;
constexpr int ID_EMAIL = 373;
constexpr int ID_DESCRIPTION = 375;
constexpr int ID_DEST_LABEL = 369;
constexpr int ID_BACKUP = 503;
constexpr int ID_BROWSE = 451;
constexpr int ID_CLOSE_CANCEL = 452;
constexpr int ID_UPDATE = 453;
constexpr int ID_DESTINATION = 531;

const char* const APPLIED = "Update applied sucessfully!";
const char* const APPLIED_WITH_SKIPS =
    "Update applied, at least one file skipped.\nPlease check the log file for details.";
const char* const WRONG_DIRECTORY = "You selected a wrong directory!";
const char* const CANCELED = "Operation canceled; Update cannot be applied.";
const char* const DESTINATION_UNWRITABLE =
    "The destination folder cannot be written to; nothing was changed.\nRun the update as a user who may change "
    "that folder.";
const char* const DATA_ERROR =
    "Data integrity (CRC) error in data!\nIf you downloaded this file, try to download it again.";

Bytes ReadWhole(const std::string& path)
{
    return ReadFileBytes(path);
}

std::string UniqueName(const char* what)
{
    return std::string("MendsmithE2E-") + what + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount());
}

// An updater for one scenario: its files, written next to the test's other files.
struct Package {
    std::string appName = "Sample Ledger 1.1";
    std::string mainFile = "Ledger.exe";
    std::string softwarePath;
    std::string applierMutex = UniqueName("applier");
    std::string targetMutex = UniqueName("target");
    std::string backupDirectory; // none when empty
    std::vector<fmt::PatchEntry> entries;
    Bytes languageIni = ToBytes("[$0409]\r\n");

    Bytes UpdateIni() const
    {
        return ToBytes("[App]\r\nAppName=" + appName + "\r\nMainFile=" + mainFile +
                       "\r\nAppDesc=Fixes printing and export.\r\nApplierMutex=" + applierMutex +
                       "\r\nTargetMutex=" + targetMutex +
                       "\r\n[Author]\r\nName=Harbor Lane Software\r\nEmail=support@harborlane.example\r\n"
                       "[Path]\r\nSoftWarePath=" +
                       softwarePath + "\r\n" +
                       (backupDirectory.empty() ? "" : "BackupDirectory=" + backupDirectory + "\r\n"));
    }

    std::string Write(const TempDir& folder) const
    {
        fmt::UpdaterFiles files{languageIni, UpdateIni(), fmt::WritePatchFile(entries)};
        std::string path = folder / "Update.exe";
        WriteFileBytes(path, fmt::MakeUpdaterImage(ReadWhole(STUB_PADDED_PATH), files));
        return path;
    }
};

// The installed tree and the one the update makes of it: two changed files, one unchanged,
// one new file in a new folder.
const Tree BEFORE = {
    {"Ledger.exe", ToBytes("MZ ledger 1.0: the books of the harbour, kept since 1998 ....")},
    {"data\\", {}},
    {"data\\rates.txt", ToBytes("rate=1.00\r\nrate=1.10\r\nrate=1.20\r\n")},
    {"readme.txt", ToBytes("unchanged by this update")},
};
const Tree AFTER = {
    {"Ledger.exe", ToBytes("MZ ledger 1.1: the books of the harbour, kept since 1998 and fixed")},
    {"data\\", {}},
    {"data\\rates.txt", ToBytes("rate=1.00\r\nrate=1.15\r\nrate=1.20\r\nrate=1.30\r\n")},
    {"docs\\", {}},
    {"docs\\changes.txt", ToBytes("1.1: printing and export fixed")},
    {"readme.txt", ToBytes("unchanged by this update")},
};

std::vector<fmt::PatchEntry> UpdateEntries()
{
    return {fmt::MakePatchEntry("\\Ledger.exe", BEFORE.at("Ledger.exe"), AFTER.at("Ledger.exe")),
            fmt::MakePatchEntry("\\data\\rates.txt", BEFORE.at("data\\rates.txt"), AFTER.at("data\\rates.txt")),
            fmt::MakeAttachedEntry("\\docs\\changes.txt", AFTER.at("docs\\changes.txt"))};
}

Tree Without(Tree tree, const std::string& prefix)
{
    std::erase_if(tree, [&](const auto& item) { return item.first.rfind(prefix, 0) == 0; });
    return tree;
}

// The part of a tree below a folder, relative to it.
Tree Under(const Tree& tree, const std::string& prefix)
{
    Tree part;
    for (const auto& [name, content] : tree)
        if (name.size() > prefix.size() && name.rfind(prefix, 0) == 0)
            part[name.substr(prefix.size())] = content;
    return part;
}

std::string LogOf(const TempDir& destination)
{
    Bytes log = ReadFileBytes(destination / "Mendsmith.log");
    return std::string(log.begin(), log.end());
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { workDirectoriesBefore_ = e2e::WorkDirectories(); }

    // No updater of this test has left its work directory in the temp folder.
    void ExpectNoWorkDirectoryLeft() { EXPECT_EQ(e2e::WorkDirectories(), workDirectoriesBefore_); }

    // Starts the updater and waits for its window.
    void Start(e2e::Updater& updater)
    {
        ASSERT_TRUE(updater.started());
        ASSERT_NE(updater.WaitForWindow(), nullptr) << "no window of class simple";
    }

    // Waits for one box, checks its caption and text, and answers it.
    void ExpectBox(e2e::Updater& updater, const std::string& caption, const std::string& text, int answer = IDOK)
    {
        auto box = updater.WaitForMessageBox();
        ASSERT_TRUE(box.has_value()) << "expected the box \"" << text << "\"";
        EXPECT_EQ(box->caption, caption);
        EXPECT_EQ(box->text, text);
        updater.Answer(*box, answer);
    }

    void ExpectExitCodeZero(e2e::Updater& updater)
    {
        auto code = updater.WaitForExit();
        ASSERT_TRUE(code.has_value()) << "the updater did not end";
        EXPECT_EQ(*code, 0u);
    }

    // Waits for the text editor that shows the log, and ends it.
    void CloseEditorsOf(const e2e::Updater& updater)
    {
        std::vector<DWORD> ids;
        for (int i = 0; i < 300 && ids.empty(); ++i, Sleep(100))
            ids = updater.EditorsStarted();
        EXPECT_FALSE(ids.empty()) << "no text editor showed the log";
        for (DWORD id : ids)
            if (HANDLE editor = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
                TerminateProcess(editor, 0);
                WaitForSingleObject(editor, e2e::EXIT_TIMEOUT);
                CloseHandle(editor);
            }
    }

    void PressCloseAndExpectExit(e2e::Updater& updater)
    {
        updater.Press(ID_CLOSE_CANCEL);
        ExpectExitCodeZero(updater);
    }

    // BEFORE installed in the destination, and the package that updates it to AFTER.
    Package InstalledSampleUpdate()
    {
        WriteTree(destination_.path(), BEFORE);
        Package package;
        package.softwarePath = destination_.path();
        package.entries = UpdateEntries();
        return package;
    }

    TempDir scratch_;
    TempDir destination_;
    std::vector<std::string> workDirectoriesBefore_;
};

TEST_F(EndToEnd, CleanUpdateChangesAndAddsFilesAndBacksUpTheReplacedOnes)
{
    Package package = InstalledSampleUpdate();
    e2e::Updater updater(package.Write(scratch_));
    Start(updater);

    EXPECT_EQ(updater.WindowTitle(), "Sample Ledger 1.1 Update");
    EXPECT_EQ(updater.Text(ID_WELCOME), "Welcome to the Sample Ledger 1.1 Update program.  This program will install "
                                        "Sample Ledger 1.1 Update on your computer.");
    EXPECT_EQ(updater.Text(ID_AUTHOR), "Harbor Lane Software");
    EXPECT_EQ(updater.Text(ID_EMAIL), "support@harborlane.example");
    EXPECT_EQ(updater.Text(ID_DESCRIPTION), "Fixes printing and export.");
    EXPECT_EQ(updater.Text(ID_DESTINATION), destination_.path());
    EXPECT_EQ(updater.Text(ID_CLOSE_CANCEL), "&Close");
    EXPECT_TRUE(updater.IsChecked(ID_BACKUP));

    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith", APPLIED);
    EXPECT_EQ(updater.Text(ID_CLOSE_CANCEL), "&Close");
    EXPECT_FALSE(updater.IsEnabled(ID_UPDATE)) << "a process makes one run only";
    PressCloseAndExpectExit(updater);

    Tree after = ReadTree(destination_.path());
    EXPECT_EQ(Without(Without(after, "Mendsmith.bak\\"), "Mendsmith.log"), AFTER);
    // Only replaced files have originals to keep; the added one has none.
    EXPECT_EQ(Under(after, "Mendsmith.bak\\"), (Tree{{"Ledger.exe", BEFORE.at("Ledger.exe")},
                                                     {"data\\", {}},
                                                     {"data\\rates.txt", BEFORE.at("data\\rates.txt")}}));
    EXPECT_EQ(LogOf(destination_), "Ledger.exe -> Updated successfully!\r\n"
                                   "data\\rates.txt -> Updated successfully!\r\n"
                                   "docs\\changes.txt -> Attached file added successfully!\r\n");
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, ClearedBackupBoxMakesNoBackupFolder)
{
    Package package = InstalledSampleUpdate();
    e2e::Updater updater(package.Write(scratch_));
    Start(updater);

    updater.SetChecked(ID_BACKUP, false);
    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith", APPLIED);
    PressCloseAndExpectExit(updater);

    EXPECT_EQ(Without(ReadTree(destination_.path()), "Mendsmith.log"), AFTER);
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, SkippedEntryOpensTheLogInAnEditorThatOutlivesTheUpdaterWithoutKeepingItsWorkDirectory)
{
    Package package = InstalledSampleUpdate();
    package.entries.push_back(
        fmt::MakePatchEntry("\\plugins\\export.dll", ToBytes("old plug-in"), ToBytes("new plug-in")));
    e2e::Updater updater(package.Write(scratch_));
    Start(updater);

    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith", APPLIED_WITH_SKIPS);
    std::vector<DWORD> editorIds;
    for (int i = 0; i < 300 && editorIds.empty(); ++i, Sleep(100))
        editorIds = updater.EditorsStarted();
    std::vector<HANDLE> editors;
    for (DWORD id : editorIds)
        if (HANDLE editor = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id))
            editors.push_back(editor);

    // The user reads the log after closing the updater: its exit must remove the work directory
    // all the same, which it cannot while the editor's current directory lies in it.
    updater.Press(ID_CLOSE_CANCEL);
    std::optional<DWORD> code = updater.WaitForExit();
    bool editorStillOpen = std::any_of(editors.begin(), editors.end(),
                                       [](HANDLE editor) { return WaitForSingleObject(editor, 0) == WAIT_TIMEOUT; });
    std::vector<std::string> workDirectoriesWithTheEditorOpen = e2e::WorkDirectories();
    for (HANDLE editor : editors) {
        TerminateProcess(editor, 0);
        WaitForSingleObject(editor, e2e::EXIT_TIMEOUT);
        CloseHandle(editor);
    }

    ASSERT_FALSE(editors.empty()) << "no text editor was started after message 218";
    ASSERT_TRUE(code.has_value()) << "the updater did not end";
    EXPECT_EQ(*code, 0u);
    EXPECT_TRUE(editorStillOpen);
    EXPECT_EQ(workDirectoriesWithTheEditorOpen, workDirectoriesBefore_);
    // The applier makes the entry's folder before it finds no original there.
    EXPECT_EQ(Without(Without(Without(ReadTree(destination_.path()), "Mendsmith.bak\\"), "Mendsmith.log"), "plugins\\"),
              AFTER);
    EXPECT_NE(LogOf(destination_).find("plugins\\export.dll -> Original file not existed; Skipped.\r\n"),
              std::string::npos);
}

TEST_F(EndToEnd, BackupThatFailsIsReportedAndLeavesTheOriginalsInTheKeptRollbackFolder)
{
    Package package = InstalledSampleUpdate();
    // One character longer than a path may be once joined to the destination by a backslash.
    package.backupDirectory = std::string(MAX_PATH_CHARS - destination_.path().size(), 'b');
    e2e::Updater updater(package.Write(scratch_));
    Start(updater);

    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith", APPLIED_WITH_SKIPS);
    CloseEditorsOf(updater);
    PressCloseAndExpectExit(updater);

    std::vector<std::string> kept = NamesWithPrefix(destination_.path(), "BAK");
    ASSERT_EQ(kept.size(), 1u);
    Tree after = ReadTree(destination_.path());
    EXPECT_EQ(Without(Without(after, kept[0] + "\\"), "Mendsmith.log"), AFTER);
    EXPECT_EQ(Under(after, kept[0] + "\\"), (Tree{{"Ledger.exe", BEFORE.at("Ledger.exe")},
                                                  {"data\\", {}},
                                                  {"data\\rates.txt", BEFORE.at("data\\rates.txt")}}));
    EXPECT_EQ(LogOf(destination_), "Ledger.exe -> Updated successfully!\r\n"
                                   "data\\rates.txt -> Updated successfully!\r\n"
                                   "docs\\changes.txt -> Attached file added successfully!\r\n" +
                                       (destination_ / kept[0]) +
                                       " -> Saved original files could not all be put in place; they are kept in "
                                       "this folder.\r\n");
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, DestinationThatTakesNoLogIsRefusedBeforeAnythingChanges)
{
    Package package = InstalledSampleUpdate();
    // A folder where the log would go: the log cannot be created, as in a folder the user may not write.
    CreateDirectoryA((destination_ / "Mendsmith.log").c_str(), nullptr);
    e2e::Updater updater(package.Write(scratch_));
    Start(updater);

    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith", DESTINATION_UNWRITABLE);
    ExpectExitCodeZero(updater);

    EXPECT_EQ(Without(ReadTree(destination_.path()), "Mendsmith.log\\"), BEFORE);
    ExpectNoWorkDirectoryLeft();
}

// What lies beside the destination folder: its parent's entries.
std::vector<std::string> Beside(const TempDir& destination)
{
    std::string parent = destination.path().substr(0, destination.path().rfind('\\'));
    return NamesWithPrefix(parent, "");
}

TEST_F(EndToEnd, BackupFolderOutsideTheDestinationIsNotWrittenAndTheRollbackFolderIsKept)
{
    Package package = InstalledSampleUpdate();
    package.backupDirectory = "..\\escaped";
    const std::vector<std::string> besideBefore = Beside(destination_);
    e2e::Updater updater(package.Write(scratch_));
    Start(updater);

    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith", APPLIED_WITH_SKIPS);
    CloseEditorsOf(updater);
    PressCloseAndExpectExit(updater);

    EXPECT_EQ(Beside(destination_), besideBefore);
    std::vector<std::string> kept = NamesWithPrefix(destination_.path(), "BAK");
    ASSERT_EQ(kept.size(), 1u);
    Tree after = ReadTree(destination_.path());
    EXPECT_EQ(Without(Without(after, kept[0] + "\\"), "Mendsmith.log"), AFTER);
    EXPECT_NE(
        LogOf(destination_).find(destination_ / kept[0] + " -> Saved original files could not all be put in place"),
        std::string::npos);
    ExpectNoWorkDirectoryLeft();
}

// Another program of the user, while the window is open, renames the updater's file and puts
// another updater in its place, and changes Update.ini in the work directory.
TEST_F(EndToEnd, TheUpdaterAppliesItsOwnRecordsAndSettingsWhateverIsChangedMeanwhile)
{
    Package package = InstalledSampleUpdate();
    const std::string path = package.Write(scratch_);
    const std::vector<std::string> besideBefore = Beside(destination_);
    e2e::Updater updater(path);
    Start(updater);
    std::vector<std::string> work = e2e::WorkDirectories();
    std::erase_if(work, [&](const std::string& name) {
        return std::find(workDirectoriesBefore_.begin(), workDirectoriesBefore_.end(), name) !=
               workDirectoriesBefore_.end();
    });
    ASSERT_EQ(work.size(), 1u);
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    WriteFileText(std::string(temp) + work[0] + "\\Update.ini",
                  "[App]\r\nMainFile=Ledger.exe\r\n[Path]\r\nBackupDirectory=..\\escaped\r\n");
    Package other = package;
    other.entries = {fmt::MakeAttachedEntry("\\planted.txt", ToBytes("not from this updater"))};
    // Windows lets a running program's file be renamed; this one keeps its own file open.
    if (MoveFileA(path.c_str(), (path + ".away").c_str()))
        other.Write(scratch_);

    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith", APPLIED);
    PressCloseAndExpectExit(updater);

    EXPECT_EQ(Beside(destination_), besideBefore);
    Tree after = ReadTree(destination_.path());
    EXPECT_EQ(Without(Without(after, "Mendsmith.bak\\"), "Mendsmith.log"), AFTER);
    EXPECT_EQ(Under(after, "Mendsmith.bak\\"), (Tree{{"Ledger.exe", BEFORE.at("Ledger.exe")},
                                                     {"data\\", {}},
                                                     {"data\\rates.txt", BEFORE.at("data\\rates.txt")}}));
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, WrongFolderIsRefusedAndTheRightOneThenUpdated)
{
    WriteTree(destination_.path(), BEFORE);
    TempDir wrong;
    WriteTree(wrong.path(), {{"other.txt", ToBytes("not the ledger")}});
    Package package;
    package.softwarePath = wrong.path();
    package.entries = UpdateEntries();
    e2e::Updater updater(package.Write(scratch_));
    Start(updater);

    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith", WRONG_DIRECTORY);
    EXPECT_TRUE(updater.IsEnabled(ID_UPDATE)) << "the user may correct the folder";
    EXPECT_EQ(ReadTree(wrong.path()), (Tree{{"other.txt", ToBytes("not the ledger")}}));

    updater.SetText(ID_DESTINATION, destination_.path());
    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith", APPLIED);
    PressCloseAndExpectExit(updater);

    EXPECT_EQ(Without(Without(ReadTree(destination_.path()), "Mendsmith.bak\\"), "Mendsmith.log"), AFTER);
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, BrowseCancelKeepsTheDestinationAndOkPutsTheChosenFolderThere)
{
    Package package;
    package.softwarePath = destination_.path();
    e2e::Updater updater(package.Write(scratch_));
    Start(updater);

    updater.Press(ID_BROWSE);
    auto browser = updater.WaitForMessageBox();
    ASSERT_TRUE(browser.has_value()) << "no folder browser";
    EXPECT_EQ(browser->text, "Please specify the destination directory");
    updater.Answer(*browser, IDCANCEL);
    EXPECT_EQ(updater.Text(ID_DESTINATION), destination_.path());

    updater.Press(ID_BROWSE);
    browser = updater.WaitForMessageBox();
    ASSERT_TRUE(browser.has_value()) << "no folder browser the second time";
    updater.Answer(*browser, IDOK);
    std::string chosen = updater.Text(ID_DESTINATION);
    for (DWORD waited = 0; chosen == destination_.path() && waited < e2e::WINDOW_TIMEOUT; waited += 100) {
        Sleep(100);
        chosen = updater.Text(ID_DESTINATION);
    }
    EXPECT_NE(chosen, destination_.path());
    DWORD attributes = GetFileAttributesA(chosen.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) << chosen;

    PressCloseAndExpectExit(updater);
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, SecondCopyEndsSilentlyAndLeavesNoWorkDirectory)
{
    WriteTree(destination_.path(), BEFORE);
    Package package;
    package.softwarePath = destination_.path();
    std::string path = package.Write(scratch_);
    e2e::Updater first(path);
    Start(first);
    std::vector<std::string> withFirst = e2e::WorkDirectories();
    EXPECT_EQ(withFirst.size(), workDirectoriesBefore_.size() + 1);

    e2e::Updater second(path);
    ASSERT_TRUE(second.started());
    auto code = second.WaitForExit();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);
    EXPECT_EQ(second.window(), nullptr);
    EXPECT_EQ(e2e::WorkDirectories(), withFirst);
    EXPECT_TRUE(first.IsRunning()) << "the first copy is not touched";

    PressCloseAndExpectExit(first);
    EXPECT_EQ(ReadTree(destination_.path()), BEFORE);
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, RunningTargetIsNamedAsMendsmithWithTheDefaultCaption)
{
    Package package;
    package.softwarePath = destination_.path();
    HANDLE target = CreateMutexA(nullptr, TRUE, package.targetMutex.c_str());
    ASSERT_NE(target, nullptr);
    e2e::Updater updater(package.Write(scratch_));
    ASSERT_TRUE(updater.started());

    auto box = updater.WaitForMessageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "Update program has detected Mendsmith is currently running.\n\n"
                         "Please close all instances of it before Update.");
    // A null caption: the platform's own word, not the program's.
    EXPECT_EQ(box->caption, "Error");
    updater.Answer(*box, IDOK);
    ExpectExitCodeZero(updater);
    EXPECT_EQ(updater.window(), nullptr);
    CloseHandle(target);
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, DamagedSetupRecordShowsTheEnglishDataError)
{
    Package package;
    package.softwarePath = destination_.path();
    package.languageIni = ToBytes("[$0409]\r\nID206=never shown\r\n");
    std::string path = package.Write(scratch_);
    Bytes image = ReadFileBytes(path);
    // Flip a byte in the middle of record 1's compressed stream: its bzip2 CRC no longer holds.
    image[PACKAGE_OFFSET + 8 + 40] ^= 0x55;
    WriteFileBytes(path, image);
    e2e::Updater updater(path);
    ASSERT_TRUE(updater.started());

    ExpectBox(updater, "Mendsmith", DATA_ERROR);
    ExpectExitCodeZero(updater);
    EXPECT_EQ(updater.window(), nullptr);
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, DestinationTooLongForTheRollbackFolderIsRefusedBeforeAnythingChanges)
{
    // 247 characters: the main file fits below it, the rollback folder's name does not.
    std::string deep = destination_.path() + "\\" + std::string(246 - destination_.path().size(), 'd');
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr));
    Tree before{{"Ledger.exe", BEFORE.at("Ledger.exe")}};
    WriteTree(deep, before);
    Package package;
    package.softwarePath = deep;
    package.entries = UpdateEntries();
    e2e::Updater updater(package.Write(scratch_));
    Start(updater);

    updater.Press(ID_UPDATE);
    ExpectBox(updater, "Mendsmith",
              "The destination folder's path is too long to keep the replaced files beside them; nothing was changed.");
    EXPECT_TRUE(updater.IsEnabled(ID_UPDATE)) << "the user may choose another folder";
    PressCloseAndExpectExit(updater);
    EXPECT_EQ(ReadTree(deep), before);
    ExpectNoWorkDirectoryLeft();
}

TEST_F(EndToEnd, TempFolderThatCannotBeUsedHasItsOwnMessage)
{
    Package package;
    package.softwarePath = destination_.path();
    std::string path = package.Write(scratch_);
    // A folder that is not there, and one whose name the ANSI code page cannot hold.
    for (const wchar_t* temp : {L"C:\\no such folder", L"C:\\\u4e34\u65f6"}) {
        wchar_t saved[2][MAX_PATH];
        const wchar_t* names[2] = {L"TEMP", L"TMP"};
        for (int i = 0; i < 2; i++) {
            ASSERT_NE(GetEnvironmentVariableW(names[i], saved[i], MAX_PATH), 0u);
            SetEnvironmentVariableW(names[i], temp);
        }
        e2e::Updater updater(path);
        for (int i = 0; i < 2; i++)
            SetEnvironmentVariableW(names[i], saved[i]);
        ASSERT_TRUE(updater.started());

        ExpectBox(updater, "Mendsmith",
                  "The temp folder (TEMP) cannot be written to, or its path has characters the code page lacks.");
        ExpectExitCodeZero(updater);
    }
    EXPECT_EQ(ReadTree(destination_.path()), Tree{});
    ExpectNoWorkDirectoryLeft();
}

// Enough entries that a run lasts well beyond the moment the user stops it.
Tree ManyFiles(const char* version)
{
    Tree tree{{"Ledger.exe", ToBytes(std::string("MZ ledger ") + version)}, {"books\\", {}}};
    for (int i = 0; i < 200; ++i)
        tree["books\\year" + std::to_string(1800 + i) + ".txt"] =
            ToBytes(std::string(600, 'a' + i % 26) + " version " + version + " of book " + std::to_string(i));
    return tree;
}

Package ManyFilesPackage(const std::string& softwarePath, const Tree& before, const Tree& after)
{
    Package package;
    package.softwarePath = softwarePath;
    for (const auto& [name, content] : after)
        if (name.back() != '\\')
            package.entries.push_back(fmt::MakePatchEntry("\\" + name, before.at(name), content));
    return package;
}

TEST_F(EndToEnd, CancelOrTheCloseBoxDuringARunRestoresEveryReplacedFile)
{
    const Tree before = ManyFiles("1.0");
    // The close box ends the run the way a cancel does, with its originals put back, not the program.
    const struct {
        const char* how;
        void (*stop)(const e2e::Updater& updater);
    } stops[] = {{"Cancel", [](const e2e::Updater& updater) { updater.Press(ID_CLOSE_CANCEL); }},
                 {"close box", [](const e2e::Updater& updater) { updater.PressCloseBox(); }}};

    for (const auto& stop : stops) {
        SCOPED_TRACE(stop.how);
        WriteTree(destination_.path(), before);
        Package package = ManyFilesPackage(destination_.path(), before, ManyFiles("1.1"));
        e2e::Updater updater(package.Write(scratch_));
        Start(updater);

        updater.Press(ID_UPDATE);
        for (int i = 0; i < 600 && updater.Text(ID_CLOSE_CANCEL) != "Cancel"; ++i)
            Sleep(50);
        ASSERT_EQ(updater.Text(ID_CLOSE_CANCEL), "Cancel");
        stop.stop(updater);
        ExpectBox(updater, "Mendsmith", CANCELED);
        ExpectExitCodeZero(updater);

        EXPECT_EQ(Without(ReadTree(destination_.path()), "Mendsmith.log"), before);
        ExpectNoWorkDirectoryLeft();
    }
}

TEST_F(EndToEnd, SessionEndIsRefusedWhileARunIsActiveAndTheRunThenFinishes)
{
    const Tree before = ManyFiles("1.0");
    const Tree after = ManyFiles("1.1");
    WriteTree(destination_.path(), before);
    e2e::Updater updater(ManyFilesPackage(destination_.path(), before, after).Write(scratch_));
    Start(updater);
    auto queryEnd = [&] {
        DWORD_PTR answer = 1;
        SendMessageTimeoutA(updater.window(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 60000, &answer);
        return answer;
    };

    updater.Press(ID_UPDATE);
    for (int i = 0; i < 600 && updater.Text(ID_CLOSE_CANCEL) != "Cancel"; ++i)
        Sleep(50);
    ASSERT_EQ(updater.Text(ID_CLOSE_CANCEL), "Cancel");
    EXPECT_EQ(queryEnd(), 0u);
    ExpectBox(updater, "Mendsmith", APPLIED);
    EXPECT_NE(queryEnd(), 0u);
    PressCloseAndExpectExit(updater);

    EXPECT_EQ(Without(Without(ReadTree(destination_.path()), "Mendsmith.log"), "Mendsmith.bak\\"), after);
    ExpectNoWorkDirectoryLeft();
}

// The translation file of the tests, its "$0404" texts read as the updater reads them.
std::string TraditionalChinese(const std::string& file, const char* section, const char* key)
{
    char value[1024];
    GetPrivateProfileStringA(section, key, "", value, sizeof value, file.c_str());
    std::string text = value;
    for (size_t at; (at = text.find("\\n")) != std::string::npos;)
        text.replace(at, 2, "\n");
    return e2e::ToUtf8(e2e::FromCodePage(text, 950));
}

// Runs in its own CTest entry under LC_ALL=zh_TW.BIG5, which the updater inherits.
TEST_F(EndToEnd, TraditionalChineseTranslationIsAppliedToControlsAndMessages)
{
    if (GetUserDefaultLangID() != 0x0404)
        GTEST_SKIP() << "needs the user language 0x0404 (LC_ALL=zh_TW.BIG5)";
    const std::string data = TEST_DATA_DIR;
    const std::string language = data + "\\Language.ini";
    const std::string setup = data + "\\Update.ini";
    WriteTree(destination_.path(), {{"Ledger.exe", ToBytes("MZ ledger 2.0")}});
    Package package;
    package.languageIni = ReadFileBytes(language);
    package.entries = {fmt::MakePatchEntry("\\Ledger.exe", ToBytes("MZ ledger 2.0"), ToBytes("MZ ledger 2.1"))};
    fmt::UpdaterFiles files{package.languageIni, ReadFileBytes(setup), fmt::WritePatchFile(package.entries)};
    std::string path = scratch_ / "Update.exe";
    WriteFileBytes(path, fmt::MakeUpdaterImage(ReadWhole(STUB_PADDED_PATH), files));
    e2e::Updater updater(path);
    Start(updater);

    auto translated = [&](const char* key) { return TraditionalChinese(language, "$0404", key); };
    std::string appName = TraditionalChinese(setup, "App", "AppName");
    std::string welcome = translated("ID355");
    welcome.replace(welcome.find("%p"), 2, appName);
    EXPECT_EQ(updater.WindowTitle(), appName + " " + translated("ID203"));
    EXPECT_EQ(updater.Text(ID_WELCOME), welcome);
    EXPECT_EQ(updater.Text(ID_DEST_LABEL), translated("ID369"));
    EXPECT_EQ(updater.Text(ID_UPDATE), translated("ID453"));
    EXPECT_EQ(updater.Text(ID_CLOSE_CANCEL), translated("ID211"));
    EXPECT_EQ(updater.Text(ID_DESCRIPTION), TraditionalChinese(setup, "App", "AppDesc"));

    updater.Press(ID_UPDATE);
    ExpectBox(updater, translated("ID200"), translated("ID202"));
    updater.SetText(ID_DESTINATION, destination_.path());
    updater.Press(ID_UPDATE);
    ExpectBox(updater, translated("ID200"), translated("ID214"));
    PressCloseAndExpectExit(updater);

    EXPECT_EQ(ReadFileBytes(destination_ / "Ledger.exe"), ToBytes("MZ ledger 2.1"));
    ExpectNoWorkDirectoryLeft();
}

} // namespace
