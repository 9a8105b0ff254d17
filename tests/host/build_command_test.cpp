// `mendsmith build`: what becomes an entry and in which order, every refusal, the setup and
// language checks, and the command line's exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <random>

#include "format/crc.h"
#include "format/patch_file.h"
#include "format/updater_image.h"
#include "tool/commands/errors.h"
#include "support/tool_command.h"
#include "tool_test_support.h"

using namespace mendsmith;
using namespace mendsmith::test;
using tool::BuildOutcome;
using tool::Severity;

namespace {

bool Mentions(const tool::BuildResult& result, Severity severity, const std::string& text)
{
    for (const tool::Diagnostic& d : result.diagnostics)
        if (d.severity == severity &&
            (d.message.find(text) != std::string::npos || d.file.find(text) != std::string::npos))
            return true;
    return false;
}

std::string Describe(const tool::BuildResult& result)
{
    std::string out;
    for (const tool::Diagnostic& d : result.diagnostics)
        out += d.file + ": " + d.message + "\n";
    return out;
}

std::vector<format::PatchEntry> EntriesOf(const tool::BuildResult& result)
{
    return format::ReadPatchFile(format::ReadUpdaterImage(result.image).patchDat);
}

} // namespace

TEST(BuildCommand, CarriesChangedAndNewFilesWithTheMainFileFirst)
{
    Workspace w;
    w.Old("app.exe", std::string(3000, 'a') + "version 1");
    w.New("app.exe", std::string(3000, 'a') + "version 2");
    w.Old("lib/a.dll", "old library");
    w.New("lib/a.dll", "new library!");
    w.Both("lib/deep/same.dat", "unchanged");
    w.New("added/sub/new.txt", "brand new");
    w.New("empty.txt", "");
    w.Old("shrinks.txt", "will be empty");
    w.New("shrinks.txt", "");

    tool::BuildResult result = tool::BuildUpdater(w.options);
    ASSERT_EQ(result.outcome, BuildOutcome::Built) << Describe(result);
    std::vector<format::PatchEntry> entries = EntriesOf(result);
    std::vector<std::string> paths;
    for (const format::PatchEntry& e : entries)
        paths.push_back(e.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"\\app.exe", "\\added\\sub\\new.txt", "\\empty.txt", "\\lib\\a.dll",
                                               "\\shrinks.txt"}));
    EXPECT_FALSE(entries[0].attached);
    EXPECT_TRUE(entries[1].attached);
    EXPECT_TRUE(entries[2].attached);
    EXPECT_EQ(result.unchangedFiles, 1u);
    EXPECT_TRUE(result.removedFiles.empty());
    for (const format::PatchEntry& e : entries) {
        if (e.attached)
            continue;
        std::string relative = e.path.substr(1);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        format::Bytes rebuilt = format::ApplyEntry(e, tool::ReadWholeFile(w.dir / "old" / relative));
        EXPECT_EQ(rebuilt, tool::ReadWholeFile(w.dir / "new" / relative)) << e.path;
    }
}

TEST(BuildCommand, BuildsTheSameImageTwice)
{
    Workspace w;
    for (int i = 0; i < 40; i++) {
        w.Old("f" + std::to_string(i), std::string(500, static_cast<char>('a' + i % 20)) + std::to_string(i));
        w.New("f" + std::to_string(i), std::string(500, static_cast<char>('a' + i % 20)) + std::to_string(i * 7));
    }
    w.Both("app.exe", "main");
    w.options.jobs = 4;
    tool::BuildResult first = tool::BuildUpdater(w.options);
    tool::BuildResult second = tool::BuildUpdater(w.options);
    ASSERT_EQ(first.outcome, BuildOutcome::Built);
    EXPECT_EQ(first.image, second.image);
}

TEST(BuildCommand, RemovesFilesOnlyInTheOldTreeLastOrKeepsThemOrRefusesThemWhenStrict)
{
    Workspace w;
    w.Old("app.exe", "main 1");
    w.New("app.exe", "main 2");
    w.Old("obsolete/old.dll", "gone in the new release");
    w.Old("obsolete/sub/app.exe", "the main file's name: never removed");
    w.New("zz/new.txt", "added");
    tool::BuildResult removing = tool::BuildUpdater(w.options);
    ASSERT_EQ(removing.outcome, BuildOutcome::Built) << Describe(removing);
    std::vector<format::PatchEntry> entries = EntriesOf(removing);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].path, "\\zz\\new.txt");
    EXPECT_EQ(entries[2].path, "\\obsolete\\old.dll");
    EXPECT_TRUE(entries[2].removal);
    EXPECT_EQ(entries[2].sourceCrc, format::Crc32(format::AsBytes("gone in the new release")));
    EXPECT_EQ(removing.entries[2].kind, tool::EntryKind::Removed);
    EXPECT_TRUE(Mentions(removing, Severity::Warning, "the updater never removes the main file; it stays installed"));
    EXPECT_EQ(removing.removedFiles, (std::vector<std::string>{"obsolete/old.dll", "obsolete/sub/app.exe"}));

    // A stub that does not say it removes files is refused, unless nothing is to be removed.
    test::WriteText(w.dir / "stub.bin", std::string(500, 'S') + DIFFERENCE_BODY_MARKER);
    tool::BuildResult oldStub = tool::BuildUpdater(w.options);
    EXPECT_EQ(oldStub.outcome, BuildOutcome::Refused);
    EXPECT_TRUE(
        Mentions(oldStub, Severity::Error, "lacks the text \"" REMOVAL_BODY_MARKER "\"); build with --keep-removed"));

    w.options.removedFiles = tool::RemovedFiles::Keep;
    tool::BuildResult keeping = tool::BuildUpdater(w.options);
    EXPECT_EQ(keeping.outcome, BuildOutcome::Built);
    EXPECT_EQ(EntriesOf(keeping).size(), 2u);
    EXPECT_TRUE(Mentions(keeping, Severity::Warning, "obsolete/old.dll"));

    w.options.removedFiles = tool::RemovedFiles::Refuse;
    tool::BuildResult strict = tool::BuildUpdater(w.options);
    EXPECT_EQ(strict.outcome, BuildOutcome::Refused);
    EXPECT_TRUE(strict.image.empty());
    EXPECT_TRUE(Mentions(strict, Severity::Error, "obsolete/old.dll"));
}

TEST(BuildCommand, MatchesOldAndNewNamesWithoutRegardToCase)
{
    Workspace w;
    w.Old("APP.EXE", "main v1");
    w.New("app.exe", "main v2");
    tool::BuildResult result = tool::BuildUpdater(w.options);
    ASSERT_EQ(result.outcome, BuildOutcome::Built) << Describe(result);
    std::vector<format::PatchEntry> entries = EntriesOf(result);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].attached);
    EXPECT_TRUE(result.removedFiles.empty());
}

TEST(BuildCommand, WritesEntryPathsInTheChosenCodePage)
{
    Workspace w;
    w.Both("app.exe", "main");
    w.New("caf\xC3\xA9.txt", "accent"); // U+00E9
    w.options.codePage = 1252;
    tool::BuildResult result = tool::BuildUpdater(w.options);
    ASSERT_EQ(result.outcome, BuildOutcome::Built) << Describe(result);
    EXPECT_EQ(EntriesOf(result).at(0).path, "\\caf\xE9.txt");
}

TEST(BuildCommand, RefusesWhatTheUpdaterWouldRefuseOrMishandle)
{
    struct Case {
        const char* name;
        std::function<void(Workspace&)> arrange;
        const char* expected;
    } cases[] = {
        {"name the code page cannot hold", [](Workspace& w) { w.New("\xE6\x97\xA5\xE6\x9C\xAC.txt", "x"); },
         "code page 1252"},
        {"double-byte name with a backslash trail byte",
         [](Workspace& w) {
             w.options.codePage = 950;
             w.New("\xE8\xA8\xB1.txt", "x"); // U+8A31, A5 5C in Big5
         },
         "backslash byte"},
        {"path too long for the named destination",
         [](Workspace& w) {
             w.options.maxDestLength = 250;
             w.New("abcdefghij.txt", "x");
         },
         "exceeds 259"},
        {"path too long for SoftWarePath's length",
         [](Workspace& w) {
             w.New(std::string(100, 'd') + "/" + std::string(100, 'f') + ".txt", "x");
             test::WriteText(w.dir / "Update.ini", "[App]\r\nMainFile=app.exe\r\n[Path]\r\nSoftWarePath=C:\\" +
                                                       std::string(60, 'p') + "\r\n");
         },
         "exceeds 259"},
        {"file of 4 GiB",
         [](Workspace& w) {
             std::ofstream(w.dir / "new" / "huge.bin").close();
             fs::resize_file(w.dir / "new" / "huge.bin", 0x100000000ull);
         },
         "4 GiB"},
        {"main file missing from the new tree", [](Workspace& w) { fs::remove(w.dir / "new" / "app.exe"); },
         "MainFile"},
        {"no main file named", [](Workspace& w) { test::WriteText(w.dir / "Update.ini", "[App]\r\nAppName=x\r\n"); },
         "MainFile"},
        {"names that differ only in case", [](Workspace& w) { w.New("Readme.txt", "a"), w.New("README.txt", "b"); },
         "letter case"},
        {"a Windows device name", [](Workspace& w) { w.New("docs/con.txt", "x"); }, "device name"},
        {"a name ending in a dot", [](Workspace& w) { w.New("trailing.", "x"); }, "dot or blank"},
        {"a reserved character", [](Workspace& w) { w.New("what?.txt", "x"); }, "not a path the updater accepts"},
        {"a backup folder beside the destination",
         [](Workspace& w) {
             test::WriteText(w.dir / "Update.ini",
                             "[App]\r\nMainFile=app.exe\r\n[Path]\r\nBackupDirectory=..\\escaped\r\n");
         },
         "BackupDirectory \"..\\escaped\" is not a folder below the destination"},
        {"a backup folder on a drive",
         [](Workspace& w) {
             test::WriteText(w.dir / "Update.ini",
                             "[App]\r\nMainFile=app.exe\r\n[Path]\r\nBackupDirectory=D:\\bak\r\n");
         },
         "BackupDirectory"},
        {"a stub too big", [](Workspace& w) { test::WriteText(w.dir / "stub.bin", std::string(0x7A01, 'S')); }, "stub"},
        {"a stub that applies only ops",
         [](Workspace& w) { test::WriteText(w.dir / "stub.bin", std::string(900, 'S')); }, "--classic"},
    };
    for (const Case& c : cases) {
        Workspace w;
        w.Both("app.exe", "main");
        c.arrange(w);
        tool::BuildResult result = tool::BuildUpdater(w.options);
        EXPECT_EQ(result.outcome, BuildOutcome::Refused) << c.name;
        EXPECT_TRUE(result.image.empty()) << c.name;
        EXPECT_TRUE(Mentions(result, Severity::Error, c.expected)) << c.name << "\n" << Describe(result);
    }
}

TEST(BuildCommand, WritesTheSmallerBodyOrOpListsOnlyWithClassic)
{
    // A rebuilt program in small: a field changed every 64 bytes packs far smaller as differences.
    std::string old(200000, 'x'), changed;
    for (std::size_t i = 0; i < old.size(); i++)
        old[i] = static_cast<char>('a' + (i * 7 + i / 300) % 26);
    changed = old;
    for (std::size_t i = 10; i < changed.size(); i += 64)
        changed[i] = static_cast<char>(changed[i] + 1);
    for (bool classic : {false, true}) {
        Workspace w;
        w.Old("app.exe", old);
        w.New("app.exe", changed);
        w.options.classic = classic;
        if (classic)
            test::WriteText(w.dir / "stub.bin", std::string(900, 'S'));
        tool::BuildResult result = tool::BuildUpdater(w.options);
        ASSERT_EQ(result.outcome, BuildOutcome::Built) << Describe(result);
        EXPECT_EQ(EntriesOf(result).at(0).Kind(), classic ? format::BodyKind::Ops : format::BodyKind::Difference);
    }
}

TEST(BuildCommand, ProgressMovesWithinALargeFile)
{
    std::mt19937 rng(4);
    std::string old(3 << 20, ' ');
    for (char& c : old)
        c = static_cast<char>('a' + rng() % 16);
    std::string changed = old;
    for (std::size_t i = 100; i < changed.size(); i += 4000)
        changed[i] = 'z';
    Workspace w;
    w.Old("app.exe", old);
    w.New("app.exe", changed);
    std::vector<tool::BuildProgress> seen;
    tool::BuildResult result = tool::BuildUpdater(w.options, [&](const tool::BuildProgress& p) { seen.push_back(p); });
    ASSERT_EQ(result.outcome, BuildOutcome::Built) << Describe(result);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const tool::BuildProgress& p) {
        return p.filesDone == 0 && p.bytesDone > 0 && p.bytesDone < p.bytesTotal;
    }));
    for (std::size_t i = 1; i < seen.size(); i++)
        EXPECT_LE(seen[i - 1].bytesDone, seen[i].bytesDone) << "report " << i;
    EXPECT_EQ(seen.back().filesDone, 1u);
    EXPECT_EQ(seen.back().bytesDone, seen.back().bytesTotal);
}

TEST(BuildCommand, MatchesPairsBeyondTheMemoryLimitInBoundedMemory)
{
    std::mt19937 rng(3);
    std::string old(1 << 20, ' ');
    for (char& c : old)
        c = static_cast<char>(rng());
    std::string changed = old;
    changed[12345] ^= 1;
    changed.insert(600000, "inserted text");
    Workspace w;
    w.Old("app.exe", old);
    w.New("app.exe", changed);
    w.New("added.pak", old.substr(0, 100000));
    w.Old("notes.txt", "small 1");
    w.New("notes.txt", "small 2");
    w.Both("same.pak", old);
    for (std::optional<std::uint64_t> limit :
         {std::optional<std::uint64_t>(64 * 1024), std::optional<std::uint64_t>()}) {
        w.options.memoryLimit = limit;
        tool::BuildResult result = tool::BuildUpdater(w.options);
        ASSERT_EQ(result.outcome, BuildOutcome::Built) << Describe(result);
        ASSERT_EQ(result.entries.size(), 3u);
        // The main file first, then by path: the pair and the attached file past the limit are streamed.
        EXPECT_EQ(result.entries[0].bounded, limit.has_value());
        EXPECT_EQ(result.entries[1].bounded, limit.has_value());
        EXPECT_FALSE(result.entries[2].bounded);
        EXPECT_EQ(result.unchangedFiles, 1u);
        std::vector<format::PatchEntry> entries = EntriesOf(result);
        EXPECT_EQ(format::ApplyEntry(entries.at(0), format::ToBytes(old)), format::ToBytes(changed));
        EXPECT_EQ(format::ApplyEntry(entries.at(1), {}), format::ToBytes(old.substr(0, 100000)));
        EXPECT_EQ(format::ApplyEntry(entries.at(2), format::ToBytes("small 1")), format::ToBytes("small 2"));
    }
}

TEST(BuildCommand, RefusesAPatchDatOf4GiBOrMoreBeforeAnyDiff)
{
    Workspace w;
    w.Both("app.exe", "main");
    // Sparse: the refusal comes before a byte of them is read.
    for (const char* name : {"a.pak", "b.pak"}) {
        std::ofstream(w.dir / "new" / name).close();
        fs::resize_file(w.dir / "new" / name, std::uint64_t{5} << 29);
    }
    tool::BuildResult result = tool::BuildUpdater(w.options);
    EXPECT_EQ(result.outcome, BuildOutcome::Refused);
    // The count, then per file its CRCs, "\\a.pak" and NUL, and an attached body of 2.5 GiB.
    EXPECT_TRUE(Mentions(result, Severity::Error,
                         "would be at least 5368709164 bytes; the patch record unpacks to at most 4294967295 bytes "
                         "(a u32), Patch.dat included"))
        << Describe(result);
}

TEST(BuildCommand, RefusesMoreThan65535Entries)
{
    Workspace w;
    w.Both("app.exe", "main");
    for (int i = 0; i < 65536; i++)
        std::ofstream(w.dir / "new" / ("f" + std::to_string(i))).close();
    tool::BuildResult result = tool::BuildUpdater(w.options);
    EXPECT_EQ(result.outcome, BuildOutcome::Refused);
    EXPECT_TRUE(Mentions(result, Severity::Error, "65535"));
}

TEST(BuildCommand, RefusesAnUnknownCodePage)
{
    Workspace w;
    w.options.codePage = 99999;
    try {
        tool::BuildUpdater(w.options);
        FAIL() << "no error";
    } catch (const tool::ToolError& e) {
        EXPECT_EQ(e.kind(), tool::ErrorKind::Usage);
    }
}

TEST(BuildCommand, RefusesSymbolicLinksInEitherTreeNamingThem)
{
    for (const char* tree : {"old", "new"}) {
        for (bool toFolder : {false, true}) {
            Workspace w;
            w.Both("app.exe", "main");
            w.Both("real/file.txt", "data");
            fs::path link = w.dir / tree / "linked";
            if (toFolder)
                fs::create_directory_symlink(w.dir / tree / "real", link);
            else
                fs::create_symlink(w.dir / tree / "real" / "file.txt", link);
            try {
                tool::BuildUpdater(w.options);
                ADD_FAILURE() << tree << " tree, link to a " << (toFolder ? "folder" : "file") << ": built";
            } catch (const tool::ToolError& e) {
                EXPECT_EQ(std::string(e.what()),
                          link.string() + ": a symbolic link; release trees must hold only files and folders");
            }
        }
    }
}

TEST(BuildCommand, WritesTheChosenExecutionLevelIntoTheStubsManifestAtItsSize)
{
    const std::string manifest = test::ReadText(fs::path(MENDSMITH_SOURCE_DIR) / "stub/res/mendsmith.manifest");
    const std::string stub = std::string(500, 'S') + DIFFERENCE_BODY_MARKER + manifest;
    struct Case {
        std::optional<tool::ExecutionLevel> chosen;
        const char* element;
    } cases[] = {
        {std::nullopt, "<requestedExecutionLevel level=\"requireAdministrator\"/>"},
        {tool::ExecutionLevel::RequireAdministrator, "<requestedExecutionLevel level=\"requireAdministrator\"/>"},
        {tool::ExecutionLevel::HighestAvailable, "<requestedExecutionLevel level=\"highestAvailable\"    />"},
        {tool::ExecutionLevel::AsInvoker, "<requestedExecutionLevel level=\"asInvoker\"           />"},
    };
    for (const Case& c : cases) {
        Workspace w;
        w.Both("app.exe", "main");
        test::WriteText(w.options.stubFile, stub);
        w.options.executionLevel = c.chosen;
        tool::BuildResult result = tool::BuildUpdater(w.options);
        ASSERT_EQ(result.outcome, BuildOutcome::Built) << c.element << "\n" << Describe(result);
        std::string expected = stub;
        std::string_view placeholder = "<requestedExecutionLevel level=\"requireAdministrator\"/>";
        expected.replace(expected.find(placeholder), placeholder.size(), c.element);
        EXPECT_EQ(std::string(result.image.begin(), result.image.begin() + expected.size()), expected) << c.element;
    }

    // A stub whose manifest names no level builds as it is, unless a level is asked for.
    Workspace plain;
    plain.Both("app.exe", "main");
    EXPECT_EQ(tool::BuildUpdater(plain.options).outcome, BuildOutcome::Built);
    plain.options.executionLevel = tool::ExecutionLevel::AsInvoker;
    tool::BuildResult refused = tool::BuildUpdater(plain.options);
    EXPECT_EQ(refused.outcome, BuildOutcome::Refused);
    EXPECT_TRUE(Mentions(refused, Severity::Error, "--execution-level cannot set one")) << Describe(refused);
}

TEST(BuildCommand, ChecksTheSetupAndLanguageFilesAsTheUpdaterReadsThem)
{
    Workspace w("[App]\r\nMainFile=bin\\app.exe\r\nShowSplash=0\r\nAppName=" + std::string(300, 'n') +
                "\r\n[ShellExec]\r\nCommand=x\r\n[Path]\r\nSoftWarePath=C:\\T\r\n");
    w.Both("bin/app.exe", "main");
    w.Old("obsolete.txt", "x");
    test::WriteText(w.dir / "Language.ini", "[$0404]\r\nID202=" + std::string(1100, 'm') +
                                                "\r\nID250=" + std::string(300, 'l') +
                                                "\r\nID263=Entfernt.\r\nID999=unused\r\n[English]\r\nID202=x\r\n");
    w.options.languageFile = w.dir / "Language.ini";
    tool::BuildResult result = tool::BuildUpdater(w.options);
    ASSERT_EQ(result.outcome, BuildOutcome::Built) << Describe(result);
    EXPECT_TRUE(Mentions(result, Severity::Note, "ShowSplash is not read"));
    EXPECT_TRUE(Mentions(result, Severity::Note, "Command is not read"));
    EXPECT_TRUE(Mentions(result, Severity::Warning, "AppName has 300 characters"));
    EXPECT_TRUE(
        Mentions(result, Severity::Warning, "ID202 has 1100 characters; the updater shows only the first 1023"));
    EXPECT_TRUE(Mentions(result, Severity::Warning, "ID250 has 300 characters; the updater shows only the first 259"));
    EXPECT_TRUE(Mentions(result, Severity::Note, "never reads: ID999"));
    EXPECT_TRUE(Mentions(result, Severity::Warning, "[English] is never read"));
    EXPECT_EQ(format::ReadUpdaterImage(result.image).languageIni, tool::ReadWholeFile(w.dir / "Language.ini"));
}

TEST(BuildCommand, ExitCodesAndOutputOfTheCommandLine)
{
    Workspace w;
    w.Old("app.exe", "v1");
    w.New("app.exe", "v2");
    const ToolCommand tool = ToolCommand::UnderTest();
    if (!tool.present())
        GTEST_SKIP() << tool.program() << " is not built";
    auto run = [&](const std::string& arguments) { return tool.Run(arguments); };
    auto arg = [&](const std::string& name) { return tool.Arg(w.dir / name); };
    const std::string common =
        arg("old") + " " + arg("new") + " --setup " + arg("Update.ini") + " --stub " + arg("stub.bin");
    EXPECT_EQ(run("build --help"), 0);
    EXPECT_EQ(run("inspect --help"), 0);
    EXPECT_EQ(run("verify --help"), 0);
    EXPECT_EQ(run("build " + common), 1) << "no output named";
    EXPECT_EQ(run("build " + common + " -o " + arg("out.exe") + " --codepage 99999"), 1);
    EXPECT_FALSE(fs::exists(w.dir / "out.exe"));
    EXPECT_EQ(run("build " + common + " -o " + arg("out.exe")), 0);
    EXPECT_TRUE(fs::exists(w.dir / "out.exe"));
    EXPECT_EQ(run("inspect " + arg("out.exe") + " --json"), 0);
    EXPECT_EQ(run("inspect " + arg("stub.bin")), 2) << "not an updater";
    EXPECT_EQ(run("verify " + arg("out.exe") + " " + arg("old")), 0);
    fs::remove(w.dir / "old" / "app.exe");
    EXPECT_EQ(run("verify " + arg("out.exe") + " " + arg("old")), 2);
    w.Old("app.exe", "v1");
    w.New("extra.txt", "x");
    EXPECT_EQ(run("build " + common + " -o " + arg("bad.exe") + " --max-dest-len 255"), 1);
    EXPECT_FALSE(fs::exists(w.dir / "bad.exe"));
    test::WriteText(w.dir / "stub.bin", "MZ and nothing more");
    EXPECT_EQ(run("build " + common + " -o " + (w.dir / "ops.exe").string()), 1) << "a stub that applies only ops";
    EXPECT_EQ(run("build " + common + " -o " + (w.dir / "ops.exe").string() + " --classic"), 0);
}
