// Directory tree operations: copying or moving onto existing trees, deleting trees whatever
// their files' attributes, creating parent folders, and refusing over-long paths.
#include <gtest/gtest.h>

#include <string>

#include "stub/patch/tree_ops.h"
#include "support/test_data.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

Tree Files(std::initializer_list<std::pair<const std::string, std::string>> files)
{
    Tree tree;
    for (const auto& [path, text] : files)
        tree[path] = ToBytes(text);
    return tree;
}

// Creates root (its parent must exist) and the files of tree below it.
void MakeTree(const std::string& root, const Tree& tree)
{
    CreateDirectoryA(root.c_str(), nullptr);
    WriteTree(root, tree);
}

TEST(CopyTree, CopyOntoExistingTreeOverwritesSamePathsAndKeepsOtherFiles)
{
    TempDir temp;
    MakeTree(temp / "from", Files({{"a.txt", "new a"}, {"Sub\\b.bin", "new b"}, {"Sub\\Deeper\\c.dat", "new c"}}));
    MakeTree(temp / "to",
             Files({{"a.txt", "old a"}, {"keep.txt", "keep"}, {"Sub\\b.bin", "old b"}, {"Sub\\k2", "k2"}}));
    EXPECT_NE(CopyTree((temp / "from").c_str(), (temp / "to").c_str(), TREE_COPY_FILES), 0);
    EXPECT_EQ(ReadTree(temp / "to"), Files({{"a.txt", "new a"},
                                            {"keep.txt", "keep"},
                                            {"Sub\\", ""},
                                            {"Sub\\b.bin", "new b"},
                                            {"Sub\\k2", "k2"},
                                            {"Sub\\Deeper\\", ""},
                                            {"Sub\\Deeper\\c.dat", "new c"}}));
}

TEST(CopyTree, EmptySourcesMissingSourcesAndMissingParentsCreateNothing)
{
    TempDir temp;
    MakeTree(temp / "empty", {});
    MakeTree(temp / "files", Files({{"x.txt", "x"}, {"Hollow\\", ""}}));
    // An empty source has no file that failed to get there, so it counts as copied.
    EXPECT_NE(CopyTree((temp / "empty").c_str(), (temp / "to-empty").c_str(), TREE_COPY_FILES), 0);
    EXPECT_EQ(CopyTree((temp / "missing").c_str(), (temp / "to-missing").c_str(), TREE_COPY_FILES), 0);
    EXPECT_EQ(CopyTree((temp / "files").c_str(), (temp / "no\\parent").c_str(), TREE_COPY_FILES), 0);
    EXPECT_NE(CopyTree((temp / "files").c_str(), (temp / "copy").c_str(), TREE_COPY_FILES), 0);
    EXPECT_EQ(CopyTree("", (temp / "from-empty-path").c_str(), TREE_COPY_FILES), 0);
    EXPECT_EQ(CopyTree((temp / "files").c_str(), "", TREE_COPY_FILES), 0);
    EXPECT_EQ(ReadTree(temp.path()), Files({{"empty\\", ""},
                                            {"files\\", ""},
                                            {"files\\x.txt", "x"},
                                            {"files\\Hollow\\", ""},
                                            {"copy\\", ""},
                                            {"copy\\x.txt", "x"}}));
}

// Whether this platform's CopyFileA overwrites an existing file with these attributes: Windows
// refuses read-only and hidden targets; Wine run by root may not.
bool CopyFileOverwrites(const TempDir& temp, DWORD attributes)
{
    std::string source = temp / "probe-source", target = temp / "probe-target";
    WriteFileText(source, "new");
    WriteFileText(target, "old");
    SetFileAttributesA(target.c_str(), attributes);
    CopyFileA(source.c_str(), target.c_str(), FALSE);
    bool overwritten = ReadFileBytes(target) == ToBytes("new");
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(target.c_str());
    DeleteFileA(source.c_str());
    return overwritten;
}

TEST(CopyTree, ReadOnlyFilesStayReadOnlyAndRefusedTargetsDoNotStopTheCopy)
{
    TempDir temp;
    bool hiddenOverwritten = CopyFileOverwrites(temp, FILE_ATTRIBUTE_HIDDEN);
    bool readOnlyOverwritten = CopyFileOverwrites(temp, FILE_ATTRIBUTE_READONLY);
    MakeTree(temp / "from", Files({{"ro.txt", "new ro"},
                                   {"hidden.txt", "new hidden"},
                                   {"locked.txt", "new locked"},
                                   {"busy.txt", "new busy"},
                                   {"plain.txt", "new plain"}}));
    MakeTree(temp / "to",
             Files({{"hidden.txt", "old hidden"}, {"locked.txt", "old locked"}, {"busy.txt", "old busy"}}));
    SetFileAttributesA((temp / "from\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((temp / "to\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA((temp / "to\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE busy = CreateFileA((temp / "to\\busy.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    int copied = CopyTree((temp / "from").c_str(), (temp / "to").c_str(), TREE_COPY_FILES);
    CloseHandle(busy);
    EXPECT_EQ(copied, 0);
    EXPECT_EQ(ReadTree(temp / "to"), Files({{"ro.txt", "new ro"},
                                            {"hidden.txt", hiddenOverwritten ? "new hidden" : "old hidden"},
                                            {"locked.txt", readOnlyOverwritten ? "new locked" : "old locked"},
                                            {"busy.txt", "old busy"},
                                            {"plain.txt", "new plain"}}));
    EXPECT_TRUE(GetFileAttributesA((temp / "to\\ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
}

TEST(CopyTree, EntryWhoseTargetPathWouldExceed259CharactersIsSkipped)
{
    TempDir temp;
    std::string longName(200, 'L');
    MakeTree(temp / "s", Files({{longName, "long"}, {"short.txt", "short"}}));
    std::string target = temp / std::string(259 - temp.path().size() - 2 - longName.size() + 1, 'T');
    EXPECT_EQ(CopyTree((temp / "s").c_str(), target.c_str(), TREE_COPY_FILES), 0);
    EXPECT_EQ(ReadTree(target), Files({{"short.txt", "short"}}));
}

TEST(CopyTree, MoveOntoExistingTreeReplacesSamePathsAndLeavesOnlyFoldersBehind)
{
    TempDir temp;
    MakeTree(temp / "from", Files({{"a.txt", "saved a"}, {"ro.txt", "saved ro"}, {"Sub\\Deeper\\c.dat", "saved c"}}));
    MakeTree(temp / "to", Files({{"a.txt", "new a"}, {"ro.txt", "new ro"}, {"keep.txt", "keep"}}));
    SetFileAttributesA((temp / "from\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_NE(CopyTree((temp / "from").c_str(), (temp / "to").c_str(), TREE_MOVE_FILES), 0);
    EXPECT_EQ(ReadTree(temp / "to"), Files({{"a.txt", "saved a"},
                                            {"ro.txt", "saved ro"},
                                            {"keep.txt", "keep"},
                                            {"Sub\\", ""},
                                            {"Sub\\Deeper\\", ""},
                                            {"Sub\\Deeper\\c.dat", "saved c"}}));
    EXPECT_TRUE(GetFileAttributesA((temp / "to\\ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(ReadTree(temp / "from"), Files({{"Sub\\", ""}, {"Sub\\Deeper\\", ""}}));
}

TEST(CopyTree, MoveOntoAFileHeldOpenLeavesBothInPlaceReturnsZeroAndMovesTheRest)
{
    TempDir temp;
    MakeTree(temp / "from", Files({{"busy.txt", "saved busy"}, {"Sub\\b.txt", "saved b"}, {"z.txt", "saved z"}}));
    MakeTree(temp / "to", Files({{"busy.txt", "new busy"}, {"Sub\\b.txt", "new b"}}));
    HANDLE busy = CreateFileA((temp / "to\\busy.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    int moved = CopyTree((temp / "from").c_str(), (temp / "to").c_str(), TREE_MOVE_FILES);
    CloseHandle(busy);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(ReadTree(temp / "to"),
              Files({{"busy.txt", "new busy"}, {"Sub\\", ""}, {"Sub\\b.txt", "saved b"}, {"z.txt", "saved z"}}));
    EXPECT_EQ(ReadTree(temp / "from"), Files({{"busy.txt", "saved busy"}, {"Sub\\", ""}}));
}

TEST(DeleteTree, RemovesReadOnlyHiddenAndSystemFilesWithTheirFoldersAndTheRoot)
{
    TempDir temp;
    MakeTree(temp / "gone",
             Files({{"ro.txt", "r"}, {"Sub\\hidden.txt", "h"}, {"Sub\\Deep\\system.sys", "s"}, {"Empty\\", ""}}));
    SetFileAttributesA((temp / "gone\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((temp / "gone\\Sub\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA((temp / "gone\\Sub\\Deep\\system.sys").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_NE(DeleteTree((temp / "gone").c_str()), 0);
    EXPECT_FALSE(DirectoryExists(temp / "gone"));
}

TEST(DeleteTree, FileHeldOpenStaysWithTheFoldersAboveItAndEverythingElseGoes)
{
    TempDir temp;
    MakeTree(temp / "root",
             Files({{"a.txt", "a"}, {"Busy\\Deep\\open.txt", "open"}, {"Busy\\b.txt", "b"}, {"Other\\c.txt", "c"}}));
    HANDLE held = CreateFileA((temp / "root\\Busy\\Deep\\open.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    int removed = DeleteTree((temp / "root").c_str());
    CloseHandle(held);
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(ReadTree(temp / "root"), Files({{"Busy\\", ""}, {"Busy\\Deep\\", ""}, {"Busy\\Deep\\open.txt", "open"}}));
}

TEST(DeleteTree, MissingDirectoryOrEmptyPathReturnsZeroAndChangesNothing)
{
    TempDir temp;
    WriteTree(temp.path(), Files({{"stay.txt", "s"}}));
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    SetCurrentDirectoryA(temp.path().c_str());
    EXPECT_EQ(DeleteTree((temp / "missing").c_str()), 0);
    EXPECT_EQ(DeleteTree(""), 0);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(ReadTree(temp.path()), Files({{"stay.txt", "s"}}));
}

// A link that another program plants in a folder the updater walks (the work directory, the
// rollback folder) is neither copied, nor moved, nor emptied through.
TEST(TreeWalks, APlantedLinkIsNeverEnteredAndWhatItPointsAtStaysAsItWas)
{
    TempDir temp;
    const Tree elsewhere = Files({{"own.txt", "someone else's"}, {"Deep\\", ""}, {"Deep\\more.bin", "more"}});
    MakeTree(temp / "elsewhere", elsewhere);
    for (TreeFiles files : {TREE_COPY_FILES, TREE_MOVE_FILES}) {
        MakeTree(temp / "from", Files({{"a.txt", "a"}}));
        ASSERT_TRUE(PlantDirectoryLink(temp / "from\\link", temp / "elsewhere"));
        EXPECT_EQ(CopyTree((temp / "from").c_str(), (temp / "to").c_str(), files), 0) << files;
        EXPECT_EQ(ReadTree(temp / "to"), Files({{"a.txt", "a"}})) << files;
        // Windows removes the link itself; Wine cannot, and the folder holding it stays.
        (void)DeleteTree((temp / "from").c_str());
        EXPECT_EQ(ReadTree(temp / "elsewhere"), elsewhere) << files;
        RemoveTreeForce(temp / "from");
        RemoveTreeForce(temp / "to");
    }
}

TEST(MakeParentDirectories, CreatesEveryFolderAboveTheLastPartButNeverTheLastPart)
{
    TempDir temp;
    MakeParentDirectories("\\Data\\Sub\\File.bin", (temp / "App").c_str());
    MakeParentDirectories("\\Data\\MeantAsFolder", (temp / "App").c_str());
    MakeParentDirectories("\\Top.bin", (temp / "Root").c_str());
    MakeParentDirectories("\\Nothing.bin", "");
    EXPECT_EQ(ReadTree(temp.path()),
              Files({{"App\\", ""}, {"App\\Data\\", ""}, {"App\\Data\\Sub\\", ""}, {"Root\\", ""}}));
}

TEST(MakeParentDirectories, JoinOfExactly259CharactersIsMadeOneMoreIsRefused)
{
    TempDir temp;
    std::string root = temp / "R";
    std::string fits = "\\Fits\\" + std::string(MAX_PATH - 1 - root.size() - 6, 'f');
    std::string over = "\\Over\\" + std::string(MAX_PATH - root.size() - 6, 'o');
    ASSERT_EQ(root.size() + fits.size(), 259u);
    MakeParentDirectories(fits.c_str(), root.c_str());
    MakeParentDirectories(over.c_str(), root.c_str());
    EXPECT_EQ(ReadTree(temp.path()), Files({{"R\\", ""}, {"R\\Fits\\", ""}}));
}

// What the joins and the file-name lookup give, byte for byte; nullptr where the join is refused.
struct JoinCase {
    const char* directory;
    const char* name;
    const char* joined;
};

void ExpectJoins(std::initializer_list<JoinCase> cases)
{
    for (const JoinCase& c : cases) {
        char joined[MAX_PATH] = "untouched";
        int ok = JoinPath(joined, c.directory, c.name);
        EXPECT_EQ(ok != 0, c.joined != nullptr) << c.directory << " + " << c.name;
        EXPECT_STREQ(joined, c.joined != nullptr ? c.joined : "untouched") << c.directory << " + " << c.name;
    }
}

TEST(JoinPath, PutsExactlyOneBackslashBetweenThePartsAndRefusesAnEmptyDirectory)
{
    ExpectJoins({{"C:\\App", "\\Data\\x.bin", "C:\\App\\Data\\x.bin"},
                 {"C:\\App\\", "x.bin", "C:\\App\\x.bin"},
                 {"C:\\App", "\\\\x.bin", "C:\\App\\x.bin"},
                 {"C:\\App", "", "C:\\App"},
                 {"\\\\server\\share", "Mendsmith.log", "\\\\server\\share\\Mendsmith.log"},
                 {"", "x.bin", nullptr}});
    for (auto [path, name] : {std::pair{"\\Data\\x.bin", "x.bin"},
                              {"Main.exe", "Main.exe"},
                              {"a\\b\\", "b\\"},
                              {"C:Main.exe", "Main.exe"},
                              {"bin/Main.exe", "Main.exe"}})
        EXPECT_STREQ(FindFileName(path), name) << path;
}

// In code page 950 the second byte of \xA5\x5C is a backslash, yet the character ends no folder.
TEST(JoinPathInBig5Locale, StepsOverDoubleByteCharacters)
{
    if (TestLocale() != "zh_TW.BIG5")
        GTEST_SKIP() << "only in the zh_TW.BIG5 locale (CTest entry win32.tree_ops_test.zh_TW)";
    ASSERT_EQ(GetACP(), 950u);
    ExpectJoins({{"C:\\\xA5\x5C", "x.bin", "C:\\\xA5\x5C\\x.bin"}, {"C:\\\xA5\x5C\\", "x.bin", "C:\\\xA5\x5C\\x.bin"}});
    EXPECT_STREQ(FindFileName("\\Data\\\xA5\x5C.exe"), "\xA5\x5C.exe");
}

} // namespace
