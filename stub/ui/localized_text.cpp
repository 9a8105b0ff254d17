// Texts by id: the English string table, replaced by the language section of
// Language.ini whenever it has a non-empty translation. Nothing is cached.
#include <windows.h>
#include <string.h>

#include "stub/ui/localized_text.h"

HINSTANCE g_instance;
char g_languageSection[LANGUAGE_SECTION_ROOM];
char g_languageFilePath[PATH_ROOM];
char g_appName[PATH_ROOM];

void MakeLanguageSection(void)
{
    (void)wsprintfA(g_languageSection, "$%04X", (unsigned)GetUserDefaultLangID());
}

// Reads the translation of a string or control id into buffer (size bytes) with every newline
// escape made a line feed. Returns the length the reader gave, 0 when there is no translation.
static DWORD ReadTranslation(int id, char* buffer, int size)
{
    char key[16];
    // Before the setup bundle is unpacked there is no language file to ask.
    if (g_languageFilePath[0] == '\0')
        return 0;
    (void)wsprintfA(key, "ID%d", id);
    DWORD length = GetPrivateProfileStringA(g_languageSection, key, "", buffer, size, g_languageFilePath);
    if (length > 0)
        (void)ReplaceAll(buffer, size, "\\n", "\n");
    return length;
}

int LoadLocalizedString(HINSTANCE instance, UINT id, char* buffer, int size)
{
    if (LoadStringA(instance, id, buffer, size) == 0)
        return 0;
    // The reader empties the buffer when it finds nothing, so the English text is loaded again.
    if (ReadTranslation(id, buffer, size) == 0)
        (void)LoadStringA(instance, id, buffer, size);
    return (int)strlen(buffer);
}

int ShowLocalizedMessage(HWND owner, UINT textId, UINT captionId, UINT flags)
{
    char text[LONG_TEXT_ROOM];
    char caption[PATH_ROOM];
    (void)LoadLocalizedString(g_instance, textId, text, sizeof text);
    (void)LoadLocalizedString(g_instance, captionId, caption, sizeof caption);
    return MessageBoxA(owner, text, caption, flags);
}

BOOL LocalizeControls(HWND parent)
{
    return EnumChildWindows(parent, LocalizeControl, 0);
}

BOOL CALLBACK LocalizeControl(HWND control, LPARAM unused)
{
    char text[LONG_TEXT_ROOM];
    (void)unused;
    if (ReadTranslation(GetWindowLongA(control, GWL_ID), text, sizeof text) > 0) {
        (void)SetWindowTextA(control, text);
        (void)SendMessageA(control, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), FALSE);
    }
    return TRUE;
}

void SubstituteAppName(HWND control)
{
    char text[512];
    (void)GetWindowTextA(control, text, sizeof text);
    (void)SubstituteName(text, sizeof text, g_appName);
    (void)SetWindowTextA(control, text);
}
