// The main window: class "simple" on dialog template 308, its window procedure and
// the values it keeps while the user picks a folder and runs the update.
#ifndef MENDSMITH_UI_MAIN_WINDOW_H
#define MENDSMITH_UI_MAIN_WINDOW_H

#include <windows.h>
#include "common/format.h"
#include "patch/update_run.h"

#define MAIN_WINDOW_CLASS "simple"

extern char g_destination[PATH_ROOM];      // [Path] SoftWarePath at show, the edit's text at Update
extern char g_backupDirectory[PATH_ROOM];  // destination + [Path] BackupDirectory
extern char g_patchFileName[PATH_ROOM];    // string 113, the name of Patch.dat in the work directory
extern char g_closeText[PATH_ROOM];        // string 211, the Close/Cancel button outside a run
extern char g_cancelText[PATH_ROOM];       // string 212, the same button during a run
extern HWND g_destinationEdit;             // control 531
extern HWND g_closeCancelButton;           // control 452
extern HWND g_updateButton;                // control 453
extern HANDLE g_runThread;                 // the worker while a run is active, NULL otherwise
extern struct UpdateJob g_updateJob;       // the one run of the process

// Registers the progress bar class the template uses and the window class "simple".
ATOM RegisterMainWindowClass(HINSTANCE instance);

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
