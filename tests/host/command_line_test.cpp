// The mendsmith program itself, Linux and Windows builds: its version, and the same updater,
// inspection and verification from both for the same trees.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <random>

#include "support/tool_command.h"
#include "tool_test_support.h"

using namespace mendsmith::test;

namespace {

std::string Random(std::mt19937& rng, std::size_t size)
{
    std::string text(size, '\0');
    for (char& c : text)
        c = static_cast<char>(rng() % 7 == 0 ? rng() : 'a' + rng() % 4);
    return text;
}

// A release pair with nested, unchanged, added, removed and non-ASCII names, and a large file
// edited in place so that its delta holds many copies.
void WriteReleases(Workspace& w, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string big = Random(rng, 200000 + rng() % 50000);
    w.Old("app.exe", big);
    for (int edits = 0; edits < 40; edits++)
        big.replace(rng() % (big.size() - 64), rng() % 32, Random(rng, rng() % 48));
    w.New("app.exe", big);
    w.Both("data/unchanged.dat", Random(rng, 5000));
    // UTF-8 names that code page 1252 can hold: e acute, U and i with diaeresis.
    const std::string e = "\xc3\xa9", u = "\xc3\x9c", i = "\xc3\xaf";
    w.Old("data/caf" + e + ".txt", Random(rng, 300));
    w.New("data/caf" + e + ".txt", Random(rng, 320));
    w.New("data/" + u + "ber/na" + i + "ve " + std::to_string(seed) + ".txt", Random(rng, rng() % 100));
    w.Old("obsolete.txt", "gone in the new release");
    WriteText(w.dir / "Language.ini", "[$0407]\r\nID202=Aktualisieren\r\n");
}

// Output with the names of the scratch folder and the updater, as this build spells them, replaced.
std::string Normalized(std::string text, const ToolCommand& tool, const fs::path& updater, const Workspace& w)
{
    auto unquoted = [&](const fs::path& path) {
        std::string arg = tool.Arg(path);
        return arg.substr(1, arg.size() - 2);
    };
    for (auto [from, to] : {std::pair(unquoted(updater), "UPDATER"), std::pair(unquoted(w.dir.path()), "DIR")})
        for (std::size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, from.size(), to);
    return text;
}

} // namespace

TEST(CommandLine, VersionIsTheBuildsVersion)
{
    const ToolCommand tool = ToolCommand::UnderTest();
    if (!tool.present())
        GTEST_SKIP() << tool.program() << " is not built";
    std::string output;
    ASSERT_EQ(tool.Run("--version", output), 0);
    EXPECT_EQ(output, "mendsmith " MENDSMITH_VERSION "\n");

    Workspace w;
    w.Old("app.exe", "v1");
    w.New("app.exe", "v2");
    const std::string updater = tool.Arg(w.dir / "out.exe");
    ASSERT_EQ(tool.Run("build " + tool.Arg(w.dir / "old") + " " + tool.Arg(w.dir / "new") + " --setup " +
                       tool.Arg(w.dir / "Update.ini") + " --stub " + tool.Arg(w.dir / "stub.bin") + " -o " + updater),
              0);
    ASSERT_EQ(tool.Run("inspect --json " + updater, output), 0);
    EXPECT_EQ(nlohmann::json::parse(output)["tool_version"], MENDSMITH_VERSION);
}

TEST(SameUpdaterOnBothSystems, BuildInspectAndVerifyAgree)
{
    const ToolCommand onLinux = ToolCommand::Linux();
    const ToolCommand onWindows = ToolCommand::Windows();
    if (!onWindows.present())
        GTEST_SKIP() << onWindows.program() << " is not built (cmake --build --preset win64-tool)";
    for (unsigned seed = 1; seed <= 3; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Workspace w;
        WriteReleases(w, seed);
        std::string outputs[2];
        const ToolCommand* tools[2] = {&onLinux, &onWindows};
        for (int i = 0; i < 2; i++) {
            const ToolCommand& tool = *tools[i];
            const fs::path image = w.dir / ("updater" + std::to_string(i) + ".exe");
            const std::string updater = tool.Arg(image);
            std::string build, inspect, inspectJson, verifyOld, verifyNew;
            ASSERT_EQ(tool.Run("build " + tool.Arg(w.dir / "old") + " " + tool.Arg(w.dir / "new") + " --setup " +
                                   tool.Arg(w.dir / "Update.ini") + " --lang " + tool.Arg(w.dir / "Language.ini") +
                                   " --stub " + tool.Arg(w.dir / "stub.bin") + " -j 2 -o " + updater,
                               build),
                      0)
                << tool.program();
            const int codes[] = {tool.Run("inspect " + updater, inspect),
                                 tool.Run("inspect --json " + updater, inspectJson),
                                 tool.Run("verify " + updater + " " + tool.Arg(w.dir / "old"), verifyOld),
                                 tool.Run("verify " + updater + " " + tool.Arg(w.dir / "new"), verifyNew)};
            outputs[i] = Normalized(build + inspect + inspectJson + verifyOld + verifyNew, tool, image, w);
            for (int code : codes)
                outputs[i] += " exit " + std::to_string(code);
        }
        EXPECT_EQ(ReadText(w.dir / "updater0.exe"), ReadText(w.dir / "updater1.exe"));
        EXPECT_NE(outputs[0].find("the run would complete"), std::string::npos) << outputs[0];
        EXPECT_EQ(outputs[0], outputs[1]);
    }
}

// Code pages go through iconv on Linux and through Windows' tables on Windows: both must take and
// refuse the same names and write them the same way.
TEST(SameUpdaterOnBothSystems, CodePagesAgree)
{
    const ToolCommand onLinux = ToolCommand::Linux();
    const ToolCommand onWindows = ToolCommand::Windows();
    if (!onWindows.present())
        GTEST_SKIP() << onWindows.program() << " is not built (cmake --build --preset win64-tool)";
    struct Case {
        std::string name; // UTF-8
        unsigned codePage;
        int exit;
    };
    const Case cases[] = {
        {"\xe4\xb8\xad\xe6\x96\x87.txt", 950, 0},  // two Han characters, Big5
        {"\xe4\xb8\xad\xe6\x96\x87.txt", 1252, 1}, // not in Western European
        {"\xd0\x96\xd1\x83\xd0\xba.txt", 1251, 0}, // Cyrillic
        {"\xe2\x82\xac uro.txt", 1252, 0},         // the euro sign, 0x80 in 1252
        {"\xe2\x82\xac uro.txt", 437, 1},          // not in the OEM page
        {"\xef\xbd\xb1 half-width.txt", 932, 0},   // half-width katakana, one byte in Shift JIS
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " in code page " + std::to_string(c.codePage));
        Workspace w;
        w.Both("app.exe", "main");
        w.New("data/" + c.name, "named");
        for (const ToolCommand* tool : {&onLinux, &onWindows}) {
            const std::string out = tool == &onLinux ? "linux.exe" : "windows.exe";
            EXPECT_EQ(tool->Run("build " + tool->Arg(w.dir / "old") + " " + tool->Arg(w.dir / "new") + " --setup " +
                                tool->Arg(w.dir / "Update.ini") + " --stub " + tool->Arg(w.dir / "stub.bin") +
                                " --codepage " + std::to_string(c.codePage) + " -o " + tool->Arg(w.dir / out)),
                      c.exit)
                << tool->program();
        }
        if (c.exit == 0) {
            EXPECT_EQ(ReadText(w.dir / "linux.exe"), ReadText(w.dir / "windows.exe"));
        }
    }
}
