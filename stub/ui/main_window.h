// The main window: class "simple" on dialog template 308, its window procedure and
// the values it keeps while the user picks a folder and runs the update.
#ifndef MENDSMITH_UI_MAIN_WINDOW_H
#define MENDSMITH_UI_MAIN_WINDOW_H

#include <windows.h>
#include "core/constants.h"

#define MAIN_WINDOW_CLASS "simple"

// What the window shows and hands on; start-up writes these before the window exists.
extern char g_appDescription[PATH_ROOM]; // [App] AppDesc
extern char g_authorName[PATH_ROOM];     // [Author] Name
extern char g_authorEmail[PATH_ROOM];    // [Author] Email
extern char g_patchFilePath[PATH_ROOM];  // work directory + string 113, where the patch bundle unpacks Patch.dat
extern char g_softwarePath[PATH_ROOM];   // [Path] SoftWarePath, the destination proposed
extern char g_mainFileName[PATH_ROOM];   // [App] MainFile
extern char g_backupName[PATH_ROOM];     // [Path] BackupDirectory, below the destination

// The question the job puts to the user about an attached file that is already there: a
// box with Yes and No, owned by the main window. Non-zero for Yes.
int AskToOverwrite(HWND owner, const char* fullPath);

// Registers the progress bar class the template uses and the window class "simple".
ATOM RegisterMainWindowClass(HINSTANCE instance);

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
