// Every text the user sees, fetched by id from the string table and translated
// through the language section of Language.ini.
#ifndef MENDSMITH_UI_LOCALIZED_TEXT_H
#define MENDSMITH_UI_LOCALIZED_TEXT_H

#include <windows.h>

#include "core/constants.h"
#include "core/replace_all.h"

#define LANGUAGE_SECTION_ROOM 16

extern HINSTANCE g_instance;                          // module instance: string table, dialog, icon
extern char g_languageSection[LANGUAGE_SECTION_ROOM]; // "$" and the user's language id, e.g. "$0404"
extern char g_languageFilePath[PATH_ROOM];            // work directory + Language.ini; empty until unpacked
extern char g_appName[PATH_ROOM];                     // [App] AppName, put in place of "%p"

// Sets g_languageSection to "$" and the user's default language id in four upper-case hex digits.
void MakeLanguageSection(void);

// Loads text id into buffer (size bytes) and replaces it by its translation when Language.ini
// has one. Returns the text's length, 0 when the string table has no text for the id.
int LoadLocalizedString(HINSTANCE instance, UINT id, char* buffer, int size);

// A message box with a localized text and caption.
int ShowLocalizedMessage(HWND owner, UINT textId, UINT captionId, UINT flags);

// Translates the text of every control of a window that Language.ini names by id.
BOOL LocalizeControls(HWND parent);
BOOL CALLBACK LocalizeControl(HWND control, LPARAM unused);

// Puts the application name in place of every "%p" of a control's text.
void SubstituteAppName(HWND control);

#endif
