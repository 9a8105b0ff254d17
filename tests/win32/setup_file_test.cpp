// Setup file: every key the program reads, its default, and values cut to 259 characters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stub/package/setup_file.h"
#include "stub/package/setup_file.h"
#include "stub/ui/localized_text.h"
#include "support/test_data.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

std::string Value(const char* section, const char* key, const char* defaultValue = "")
{
    char buffer[PATH_ROOM + 8];
    std::memset(buffer, 0x7F, sizeof buffer);
    ReadSetupValue(section, key, defaultValue, buffer);
    if (std::memchr(buffer, 0, PATH_ROOM) == nullptr) {
        ADD_FAILURE() << "no NUL in the buffer for " << section << " " << key;
        return "";
    }
    EXPECT_EQ(buffer[PATH_ROOM], 0x7F) << "overran the buffer with " << section << " " << key;
    return buffer;
}

TEST(SetupFile, SampleFileGivesItsValuesAndTheDefaultsOfMissingKeys)
{
    TempDir work;
    UseStartupValues(work.path());
    ASSERT_TRUE(CopyFileA(TestDataPath("Update.ini").c_str(), g_setupFilePath, FALSE));
    std::string mutex = Value("App", "ApplierMutex");
    ASSERT_EQ(mutex.size(), 36u);
    for (size_t hyphen : {8u, 13u, 18u, 23u})
        EXPECT_EQ(mutex[hyphen], '-');
    EXPECT_EQ(Value("App", "TargetMutex"), "");
    EXPECT_EQ(Value("App", "AppName"), "Tidewater Ledger 2.1");
    EXPECT_EQ(Value("App", "MainFile"), "Ledger.exe");
    EXPECT_EQ(Value("author", "name"), "Harbor Lane Software");
    EXPECT_EQ(Value("Author", "Email"), "support@harborlane.example");
    EXPECT_EQ(Value("Path", "SoftWarePath"), "C:\\Program Files\\Harbor Lane\\Tidewater Ledger");
    EXPECT_EQ(Value("Path", "BackupDirectory", DEFAULT_BACKUP_DIRECTORY), "Mendsmith.bak");
    // Big5 text comes through byte for byte, a trail byte 0x5C included.
    std::string description = Value("App", "AppDesc");
    EXPECT_EQ(description.substr(0, 8), "\xBC\xE9\xA6\xC1\xB1\x62\xC3\xAF");
    EXPECT_NE(description.find("\xA5\\"), std::string::npos);
}

TEST(SetupFile, MissingFileGivesDefaultsAndLongValuesAreCutTo259Characters)
{
    TempDir work;
    UseStartupValues(work.path());
    EXPECT_EQ(Value("Path", "BackupDirectory", DEFAULT_BACKUP_DIRECTORY), "Mendsmith.bak");
    EXPECT_EQ(Value("App", "AppName"), "");

    std::string longName(300, 'n');
    WriteFileText(g_setupFilePath, "[App]\r\nAppName=" + longName + "\r\n[Path]\r\nBackupDirectory=Old versions\r\n");
    EXPECT_EQ(Value("App", "AppName"), longName.substr(0, MAX_PATH_CHARS));
    EXPECT_EQ(Value("Path", "BackupDirectory", DEFAULT_BACKUP_DIRECTORY), "Old versions");
    EXPECT_EQ(Value("App", "ApplierMutex"), "");
}

} // namespace
