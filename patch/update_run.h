// The update run: applies every entry of Patch.dat on a worker thread, logs each
// outcome, and restores or backs up the saved originals at the end.
#ifndef MENDSMITH_PATCH_UPDATE_RUN_H
#define MENDSMITH_PATCH_UPDATE_RUN_H

#include <windows.h>
#include "common/format.h"
#include "patch/entry_applier.h"

// Sent to the main window once per run, wParam = the final run state.
#define UM_UPDATE_DONE (WM_USER + 10)

#define RUN_ACTIVE 1
#define RUN_CANCELED 0
#define RUN_MAIN_FILE_FAILED (-1)
#define RUN_DATA_ERROR (-2)

// What the main window hands the worker: nine 32-bit fields, in this order.
struct UpdateJob {
    DWORD backupRequested;
    DWORD reserved;
    const char* destinationDirectory;
    const char* backupDirectory;
    const char* patchFileName;
    HWND mainWindow;
    HWND progressBar;
    HWND statusWindow;
    volatile LONG runState; // 32-bit loads and stores are atomic; the only value both threads write
};

extern struct UpdateJob* g_runJob;      // the job of the run in progress
extern HWND g_runProgressBar;           // the job's progress bar
extern char g_mainFileName[PATH_ROOM];  // [App] MainFile, read when Update is pressed

// Start routine of the worker thread.
DWORD WINAPI UpdateWorker(LPVOID job);

// Writes an entry's log line and applies the two stop rules to the run state.
void WriteLogLine(const char* entryPath, EntryStatus status, HANDLE logFile);

#endif
