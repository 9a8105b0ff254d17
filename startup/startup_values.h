// Process-wide values that start-up writes once on the main thread, before the
// main window exists; everything else only reads them.
#ifndef MENDSMITH_STARTUP_STARTUP_VALUES_H
#define MENDSMITH_STARTUP_STARTUP_VALUES_H

#include <windows.h>
#include "common/format.h"

#define LANGUAGE_SECTION_ROOM 16
#define WINDOW_TITLE_ROOM (PATH_ROOM + 1 + PATH_ROOM)

extern HINSTANCE g_instance;                          // module instance: string table, dialog, icon
extern char g_languageSection[LANGUAGE_SECTION_ROOM]; // "$" and the user's language id, e.g. "$0404"
extern char g_tempPath[PATH_ROOM];                    // the user's temp folder
extern char g_workDirectory[PATH_ROOM];               // private "MSA" work directory, the current directory
extern int g_workDirectoryCreated;                    // non-zero once this process has made the work directory
extern char g_setupFilePath[PATH_ROOM];               // work directory + Update.ini
extern char g_languageFilePath[PATH_ROOM];            // work directory + Language.ini; empty until unpacked
extern char g_appName[PATH_ROOM];                     // [App] AppName
extern char g_windowTitle[WINDOW_TITLE_ROOM];         // application name, a blank, text 203
extern char g_appDescription[PATH_ROOM];              // [App] AppDesc
extern char g_authorName[PATH_ROOM];                  // [Author] Name
extern char g_authorEmail[PATH_ROOM];                 // [Author] Email
extern HWND g_mainWindow;                             // the main window, owner of message boxes

#endif
