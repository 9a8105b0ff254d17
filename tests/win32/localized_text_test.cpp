// Localized text: the string table, translations from Language.ini, bounded
// replacement, translated controls and the application name in control texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "stub/res/resource.h"
#include "stub/package/setup_file.h"
#include "stub/ui/localized_text.h"
#include "support/test_data.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

std::string Localized(UINT id, int size = LONG_TEXT_ROOM)
{
    std::vector<char> buffer(size + 1, '\x7F');
    buffer[size] = '\0';
    int length = LoadLocalizedString(g_instance, id, buffer.data(), size);
    if (length == 0)
        return "(none)";
    std::string text(buffer.data());
    EXPECT_EQ(length, static_cast<int>(text.size())) << "id " << id;
    return text;
}

// A work directory whose Language.ini holds lines for the current language section.
struct LanguageFixture {
    TempDir work;
    explicit LanguageFixture(const std::string& lines)
    {
        UseStartupValues(work.path());
        MakeLanguageSection();
        WriteFileText(work / "Language.ini", "\r\n[" + std::string(g_languageSection) + "]\r\n" + lines);
    }
};

const struct {
    UINT id;
    const char* text;
} kEnglishTexts[] = {
    {113, "Patch.dat"},
    {114, "Mendsmith.log"},
    {200, "Mendsmith"},
    {202, "You selected a wrong directory!"},
    {203, "Update"},
    {204, "Attached file existed, press Yes to overwite it, or No to skip."},
    {206, "Data integrity (CRC) error in data!\nIf you downloaded this file, try to download it again."},
    {207,
     "Main file updating failed, operation canceled!\n\nIf the file is running, please quit now and try again later."},
    {208, "Operation canceled; Update cannot be applied."},
    {211, "&Close"},
    {212, "Cancel"},
    {214, "Update applied sucessfully!"},
    {217, "Please specify the destination directory"},
    {218, "Update applied, at least one file skipped.\nPlease check the log file for details."},
    {219, "Update program has detected %1 is currently running.\n\nPlease close all instances of it before Update."},
    {250, "Updated successfully!"},
    {251, "Attached file added successfully!"},
    {252, "Attached file existed, and overwritten."},
    {253, "Attached file existed, and skipped by user."},
    {254, "Attached file CRC error; Skipped."},
    {255, "Original file not existed; Skipped."},
    {256, "Original file CRC error; Skipped."},
    {257, "Updated file CRC error; Original file restored."},
    {258, "Data file error; Opration canceled!"},
    {259, "Original file was updated; Skipped."},
    {260, "Access of original file is denied; Skipped."},
    {221, "Not enough memory to unpack the update."},
    {222, "Not enough free space in the temp folder to unpack the update."},
    {263, "Removed."},
    {264, "Not enough memory for this file; Skipped."},
    {265, "Disk full or not writable; Skipped."},
};

TEST(LocalizedText, BeforeTheLanguageFileIsKnownEveryTextIsTheEnglishOne)
{
    TempDir work;
    UseStartupValues(work.path());
    MakeLanguageSection();
    // Even a language file lying in the current folder is not consulted before the path is set.
    WriteFileText(work / "Language.ini", "[" + std::string(g_languageSection) + "]\r\nID200=Translated\r\n");
    SetCurrentDirectoryA(work.path().c_str());
    g_languageFilePath[0] = '\0';
    for (const auto& entry : kEnglishTexts)
        EXPECT_EQ(Localized(entry.id), entry.text) << "id " << entry.id;
    EXPECT_EQ(Localized(201), "(none)");
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    SetCurrentDirectoryA(tmp);
}

TEST(LanguageSection, IsTheUserLanguageInFourHexDigits)
{
    // The languages the CTest entries start Wine in: English by default, Traditional Chinese for Big5.
    const std::string locale = TestLocale();
    const char* expected = locale.empty() ? "$0409" : locale == "zh_TW.BIG5" ? "$0404" : nullptr;
    if (expected == nullptr)
        GTEST_SKIP() << "no language section is known for locale " << locale;
    MakeLanguageSection();
    EXPECT_STREQ(g_languageSection, expected);
}

TEST(LocalizedText, EnglishSystemWithTheSampleFileKeepsEveryEnglishText)
{
    if (GetUserDefaultLangID() != 0x0409)
        GTEST_SKIP() << "the user's language is not English (United States)";
    TempDir work;
    UseStartupValues(work.path());
    MakeLanguageSection();
    CopyFileA(TestDataPath("Language.ini").c_str(), g_languageFilePath, FALSE);
    for (const auto& entry : kEnglishTexts)
        EXPECT_EQ(Localized(entry.id), entry.text) << "id " << entry.id;
}

TEST(LocalizedTextInBig5Locale, SampleFileTranslatesInSection0404)
{
    if (TestLocale() != "zh_TW.BIG5")
        GTEST_SKIP() << "only in the zh_TW.BIG5 locale (CTest entry win32.localized_text_test.zh_TW)";
    ASSERT_EQ(GetUserDefaultLangID(), 0x0404);
    ASSERT_EQ(GetACP(), 950u);
    TempDir work;
    UseStartupValues(work.path());
    MakeLanguageSection();
    EXPECT_STREQ(g_languageSection, "$0404");
    CopyFileA(TestDataPath("Language.ini").c_str(), g_languageFilePath, FALSE);

    EXPECT_EQ(Localized(IDS_CAPTION), "\xBC\xE9\xA6\xC1\xA7\xF3\xB7s\xB5{\xA6\xA1");
    // A double-byte character ending in a backslash but not followed by "n" stays whole.
    EXPECT_EQ(Localized(IDS_APPLIED), "\xA7\xF3\xB7s\xA4w\xA6\xA8\xA5\\\xAEM\xA5\xCE\xA1I");
    EXPECT_NE(Localized(IDS_DATA_ERROR).find('\n'), std::string::npos);
    EXPECT_EQ(Localized(IDS_CANCEL), "Cancel");
    EXPECT_EQ(Localized(IDS_LOG_ALREADY_UPDATED), "Original file was updated; Skipped.");
}

TEST(LocalizedText, TranslationRulesForEscapesEmptyValuesAndUnknownIds)
{
    LanguageFixture language("ID206=A\\nB\r\n"
                             "ID208=C:\\Temp\\Xyz\\\r\n"
                             "ID212=\r\n"
                             "ID113=Other.dat\r\n"
                             "ID201=No such string\r\n"
                             "ID202=\xA5\\n\xA5\\x\r\n"
                             "ID250=\\n\\n\\n\r\n"
                             "id251=lower case key\r\n"
                             "ID263=Entfernt.\r\n");
    EXPECT_EQ(Localized(IDS_DATA_ERROR), "A\nB");
    EXPECT_EQ(Localized(IDS_CANCELED), "C:\\Temp\\Xyz\\");
    EXPECT_EQ(Localized(IDS_CANCEL), "Cancel");
    // File names are loaded with LoadStringA alone: a translation would rename them.
    EXPECT_EQ(Localized(IDS_PATCH_FILE), "Other.dat");
    EXPECT_EQ(Localized(201), "(none)");
    // The replacement works on bytes, so a trail byte 0x5C before "n" is taken for the escape.
    EXPECT_EQ(Localized(IDS_WRONG_DIRECTORY), "\xA5\n\xA5\\x");
    EXPECT_EQ(Localized(IDS_LOG_UPDATED), "\n\n\n");
    EXPECT_EQ(Localized(IDS_LOG_ADDED), "lower case key");
    EXPECT_EQ(Localized(IDS_LOG_REMOVED), "Entfernt.");
    // A small buffer cuts the translation before its escapes are turned into line feeds.
    EXPECT_EQ(Localized(IDS_DATA_ERROR, 3), "A\\");
    EXPECT_EQ(Localized(IDS_CAPTION, 4), "Men");
}

// A hidden window with two static controls in the same font, as a dialog gives them.
struct ControlsFixture {
    HWND parent;
    HFONT dialogFont;
    ControlsFixture()
    {
        parent = CreateWindowExA(0, "STATIC", "parent", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
        dialogFont = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, "Tahoma");
        for (int id : {IDC_DEST_LABEL, IDC_AUTHOR_LABEL}) {
            HWND control = CreateWindowExA(0, "STATIC", "Template", WS_CHILD, 0, 0, 100, 20, parent,
                                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
            SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(dialogFont), FALSE);
        }
    }
    ~ControlsFixture()
    {
        DestroyWindow(parent);
        DeleteObject(dialogFont);
    }
    HWND Control(int id) const { return GetDlgItem(parent, id); }
    std::string Text(int id) const
    {
        char text[LONG_TEXT_ROOM];
        GetWindowTextA(Control(id), text, sizeof text);
        return text;
    }
    HGDIOBJ Font(int id) const { return reinterpret_cast<HGDIOBJ>(SendMessageA(Control(id), WM_GETFONT, 0, 0)); }
};

TEST(LocalizeControls, TranslatedControlGetsItsTextAndTheStockFontOthersKeepTheDialogFont)
{
    LanguageFixture language("ID369=Target\\nfolder:\r\nID370=\r\n");
    ControlsFixture window;
    LocalizeControls(window.parent);
    EXPECT_EQ(window.Text(IDC_DEST_LABEL), "Target\nfolder:");
    EXPECT_EQ(window.Font(IDC_DEST_LABEL), GetStockObject(DEFAULT_GUI_FONT));
    EXPECT_EQ(window.Text(IDC_AUTHOR_LABEL), "Template");
    EXPECT_EQ(window.Font(IDC_AUTHOR_LABEL), window.dialogFont);
}

TEST(SubstituteAppName, PutsTheApplicationNameIntoAControlText)
{
    LanguageFixture language("");
    ControlsFixture window;
    lstrcpyA(g_appName, "Tidewater Ledger 2.1");
    SetWindowTextA(window.Control(IDC_DEST_LABEL), "Welcome to %p. Update %p now.");
    SubstituteAppName(window.Control(IDC_DEST_LABEL));
    SubstituteAppName(window.Control(IDC_AUTHOR_LABEL));
    EXPECT_EQ(window.Text(IDC_DEST_LABEL), "Welcome to Tidewater Ledger 2.1. Update Tidewater Ledger 2.1 now.");
    EXPECT_EQ(window.Text(IDC_AUTHOR_LABEL), "Template");
    g_appName[0] = '\0';
}

// What the message box showed, read when it becomes active and then closed with OK.
std::vector<std::string> g_boxTexts;

LRESULT CALLBACK CloseMessageBox(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        char text[LONG_TEXT_ROOM];
        GetWindowTextA(box, text, sizeof text);
        g_boxTexts.push_back(text);
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            GetWindowTextA(child, text, sizeof text);
            g_boxTexts.push_back(text);
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(ShowLocalizedMessage, ShowsTheTranslatedTextUnderTheTranslatedCaption)
{
    LanguageFixture language("ID200=Updater X\r\nID202=Wrong\\nfolder\r\n");
    g_boxTexts.clear();
    HHOOK hook = SetWindowsHookExA(WH_CBT, CloseMessageBox, nullptr, GetCurrentThreadId());
    int result = ShowLocalizedMessage(nullptr, IDS_WRONG_DIRECTORY, IDS_CAPTION, MB_ICONHAND);
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(result, IDOK);
    ASSERT_FALSE(g_boxTexts.empty());
    EXPECT_EQ(g_boxTexts[0], "Updater X");
    EXPECT_NE(std::find(g_boxTexts.begin(), g_boxTexts.end(), "Wrong\nfolder"), g_boxTexts.end());
}

} // namespace
