// `inspect` and `verify` on updaters the tool builds: what is reported, and the run predicted
// for installed folders in various states.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/constants.h"
#include "tool/commands/errors.h"
#include "tool/commands/inspect.h"
#include "tool_test_support.h"

using namespace mendsmith;
using namespace mendsmith::test;

namespace {

// 20 KB of program-like bytes; the next release changes one byte in every 50, as moved
// addresses do, which a difference body holds best.
std::string Program(bool next)
{
    std::string bytes(20000, '\0');
    std::uint32_t x = 7;
    for (std::size_t i = 0; i < bytes.size(); i++) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 24);
        if (next && i % 50 == 7)
            bytes[i] = static_cast<char>(bytes[i] + 4);
    }
    return bytes;
}

// app.exe and data/lib.dll change, docs/new.txt is added.
struct BuiltUpdater {
    Workspace w;
    format::Bytes image;
    tool::CodePage codePage{1252};

    BuiltUpdater()
    {
        w.Old("app.exe", Program(false));
        w.New("app.exe", Program(true));
        w.Old("data/lib.dll", "library 1");
        w.New("data/lib.dll", "library 2");
        w.New("docs/new.txt", "hello");
        test::WriteText(w.dir / "Language.ini", "[$0404]\r\nID202=x\r\n[$0407]\r\nID202=y\r\n");
        w.options.languageFile = w.dir / "Language.ini";
        tool::BuildResult result = tool::BuildUpdater(w.options);
        if (result.outcome != tool::BuildOutcome::Built)
            throw std::runtime_error("build failed");
        image = result.image;
    }

    fs::path InstalledCopy()
    {
        fs::path copy = w.dir / "installed";
        fs::remove_all(copy);
        fs::copy(w.dir / "old", copy, fs::copy_options::recursive);
        return copy;
    }
};

std::vector<std::uint32_t> Statuses(const tool::Plan& plan)
{
    std::vector<std::uint32_t> out;
    for (const tool::PlannedEntry& e : plan.entries)
        out.push_back(e.status);
    return out;
}

} // namespace

TEST(Inspect, ReportsRecordsSetupLanguagesAndEntries)
{
    BuiltUpdater u;
    tool::Inspection inspection = tool::Inspect(u.image, u.codePage);
    ASSERT_EQ(inspection.records.size(), 2u);
    EXPECT_EQ(inspection.records[0].offset, PACKAGE_OFFSET);
    EXPECT_EQ(inspection.records[0].files[1].first, "Update.ini");
    EXPECT_EQ(inspection.records[1].files[0].first, "Patch.dat");
    EXPECT_EQ(inspection.languages, (std::vector<std::string>{"$0404", "$0407"}));
    bool sawMain = false, sawBackup = false;
    for (const tool::SetupValue& v : inspection.setup) {
        sawMain = sawMain || (v.key == std::string("MainFile") && v.value == "app.exe" && v.present);
        sawBackup = sawBackup ||
                    (v.key == std::string("BackupDirectory") && v.value == DEFAULT_BACKUP_DIRECTORY && !v.present);
    }
    EXPECT_TRUE(sawMain);
    EXPECT_TRUE(sawBackup);
    ASSERT_EQ(inspection.entries.size(), 3u);
    EXPECT_EQ(inspection.entries[0].path, "\\app.exe");
    const tool::EntrySummary& app = inspection.entries[0];
    EXPECT_EQ(app.body, format::BodyKind::Difference);
    EXPECT_EQ(app.resultSize, 20000u);
    EXPECT_GE(app.controls, 1u);
    EXPECT_EQ(app.differenceBytes + app.extraBytes, app.resultSize);
    EXPECT_EQ(app.bodySize, 13 + 12 * app.controls + app.resultSize);
    EXPECT_EQ(inspection.entries[1].body, format::BodyKind::Ops) << "a 9-byte file packs smaller as ops";
    EXPECT_GE(inspection.entries[1].copyOps + inspection.entries[1].literalOps, 1u);
    EXPECT_EQ(inspection.entries[2].path, "\\docs\\new.txt");
    EXPECT_TRUE(inspection.entries[2].attached);
    EXPECT_EQ(inspection.entries[2].resultSize, 5u);

    nlohmann::json json = nlohmann::json::parse(tool::RenderJson(inspection));
    EXPECT_EQ(json["entries"].size(), 3u);
    EXPECT_EQ(json["entries"][0]["body"], "difference");
    EXPECT_EQ(json["entries"][0]["controls"], app.controls);
    EXPECT_EQ(json["entries"][1]["body"], "ops");
    EXPECT_EQ(json["entries"][2]["kind"], "attached");
    EXPECT_EQ(json["records"][1]["files"][0]["name"], "Patch.dat");
    const std::string text = tool::RenderText(inspection);
    EXPECT_NE(text.find("\\data\\lib.dll"), std::string::npos);
    EXPECT_NE(text.find("difference body " + std::to_string(app.bodySize) + " bytes: controls"), std::string::npos);
}

TEST(Inspect, RefusesWhatIsNotAnUpdater)
{
    BuiltUpdater u;
    format::Bytes cut(u.image.begin(), u.image.end() - 10);
    EXPECT_THROW(tool::Inspect(cut, u.codePage), tool::ToolError);
    EXPECT_THROW(tool::Inspect(format::Bytes(100, 0), u.codePage), tool::ToolError);
}

TEST(Verify, PredictsAFullRunOnTheOldRelease)
{
    BuiltUpdater u;
    tool::Plan plan = tool::PlanRun(u.image, u.InstalledCopy(), u.codePage);
    EXPECT_EQ(plan.end, tool::RunEnd::Completes);
    EXPECT_EQ(Statuses(plan), (std::vector<std::uint32_t>{ENTRY_UPDATED, ENTRY_UPDATED, ENTRY_ADDED}));
    // Each entry is described by the line the updater's log would hold.
    EXPECT_EQ(plan.entries[0].meaning, "Updated successfully!");
    EXPECT_EQ(plan.entries[2].meaning, "Attached file added successfully!");
}

TEST(Verify, PredictsSkipsAndStopsAsTheUpdaterDecides)
{
    BuiltUpdater u;
    {
        fs::path installed = u.InstalledCopy();
        fs::copy_file(u.w.dir / "new" / "app.exe", installed / "app.exe", fs::copy_options::overwrite_existing);
        fs::remove(installed / "data" / "lib.dll");
        test::WriteText(installed / "docs" / "new.txt", "already here");
        tool::Plan plan = tool::PlanRun(u.image, installed, u.codePage);
        EXPECT_EQ(plan.end, tool::RunEnd::Completes);
        EXPECT_EQ(Statuses(plan), (std::vector<std::uint32_t>{ENTRY_ALREADY_UPDATED, ENTRY_ORIGINAL_MISSING,
                                                              ENTRY_ATTACHED_OVERWRITTEN}));
    }
    {
        fs::path installed = u.InstalledCopy();
        test::WriteText(installed / "app.exe", "some other release");
        tool::Plan plan = tool::PlanRun(u.image, installed, u.codePage);
        EXPECT_EQ(plan.end, tool::RunEnd::StopsOnMainFile);
        EXPECT_EQ(Statuses(plan), (std::vector<std::uint32_t>{ENTRY_ORIGINAL_CRC_ERROR, 0, 0}));
    }
    {
        fs::path installed = u.InstalledCopy();
        fs::remove(installed / "app.exe");
        EXPECT_EQ(tool::PlanRun(u.image, installed, u.codePage).end, tool::RunEnd::MainFileMissing);
    }
    {
        fs::path installed = u.InstalledCopy();
        fs::rename(installed / "data" / "lib.dll", installed / "data" / "LIB.DLL");
        EXPECT_EQ(Statuses(tool::PlanRun(u.image, installed, u.codePage))[1], ENTRY_UPDATED)
            << "Windows finds a file whatever its letter case";
    }
}

TEST(Verify, SaysWhichRemovedFilesAndFoldersWouldGoAndWhichStayAndWhy)
{
    Workspace w;
    w.Both("app.exe", "main");
    w.Both("tools/stay.txt", "in both releases");
    w.Old("tools/gone.txt", "only in the old release");
    w.Old("plugins/old.dll", "old plugin");
    w.Old("plugins/deep/x.cfg", "old settings");
    tool::BuildResult result = tool::BuildUpdater(w.options);
    ASSERT_EQ(result.outcome, tool::BuildOutcome::Built);
    tool::CodePage codePage(1252);

    tool::Inspection inspection = tool::Inspect(result.image, codePage);
    ASSERT_EQ(inspection.entries.size(), 3u);
    EXPECT_EQ(inspection.entries[0].path, "\\plugins\\deep\\x.cfg");
    EXPECT_EQ(inspection.entries[0].body, format::BodyKind::Removal);
    EXPECT_NE(tool::RenderText(inspection).find("\\tools\\gone.txt  removal  source "), std::string::npos);
    nlohmann::json json = nlohmann::json::parse(tool::RenderJson(inspection));
    EXPECT_EQ(json["entries"][2]["kind"], "removal");
    EXPECT_EQ(json["entries"][2]["body_size"], 1);

    fs::path installed = w.dir / "installed";
    fs::copy(w.dir / "old", installed, fs::copy_options::recursive);
    tool::Plan plan = tool::PlanRun(result.image, installed, codePage);
    EXPECT_EQ(plan.end, tool::RunEnd::Completes);
    EXPECT_EQ(Statuses(plan), (std::vector<std::uint32_t>{ENTRY_REMOVED, ENTRY_REMOVED, ENTRY_REMOVED}));
    EXPECT_EQ(plan.removedFolders, (std::vector<std::string>{"\\plugins\\deep\\", "\\plugins\\"}));
    EXPECT_NE(tool::RenderPlan(plan).find("\\plugins\\  -  folder removed: it held only removed files"),
              std::string::npos);

    // The user changed the plugin, and a folder stands where gone.txt was: both stay, and so does
    // the plugins folder that still holds the plugin.
    test::WriteText(installed / "plugins" / "old.dll", "changed by the user");
    fs::remove(installed / "tools" / "gone.txt");
    fs::create_directory(installed / "tools" / "gone.txt");
    plan = tool::PlanRun(result.image, installed, codePage);
    EXPECT_EQ(Statuses(plan),
              (std::vector<std::uint32_t>{ENTRY_REMOVED, ENTRY_ORIGINAL_CRC_ERROR, ENTRY_ACCESS_DENIED}));
    EXPECT_EQ(plan.entries[1].meaning, "Original file CRC error; Skipped. (not the old release's file, changed since "
                                       "or another release's; it stays)");
    EXPECT_EQ(plan.entries[2].meaning, "Access of original file is denied; Skipped. (a folder stands there; it stays)");
    EXPECT_EQ(plan.removedFolders, std::vector<std::string>{"\\plugins\\deep\\"});

    // Gone already: nothing to do, and nothing to say about folders that are not there.
    fs::remove_all(installed / "plugins");
    plan = tool::PlanRun(result.image, installed, codePage);
    EXPECT_EQ(plan.entries[0].meaning, "Removed. (not there already)");
    EXPECT_TRUE(plan.removedFolders.empty());
}
