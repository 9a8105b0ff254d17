// What the main window hands the worker for the one update run of the process, and what
// the run sends back. The job is written whole before the worker's thread exists.
#ifndef MENDSMITH_PATCH_UPDATE_JOB_H
#define MENDSMITH_PATCH_UPDATE_JOB_H

#include <windows.h>

// Sent to the main window once per run, wParam = the final run state.
#define UM_UPDATE_DONE (WM_USER + 10)

// Run states: active, or why the run stopped.
#define RUN_ACTIVE 1
#define RUN_CANCELED 0
#define RUN_MAIN_FILE_FAILED (-1)
#define RUN_DATA_ERROR (-2)
#define RUN_DESTINATION_UNWRITABLE (-3) // no log or rollback folder could be made: nothing changed

// What the rollback folder's "\BAKxxxx.tmp" takes after the destination, as GetTempFileNameA
// counts it: a destination longer than MAX_PATH_CHARS less this has no room for it.
#define ROLLBACK_NAME_ROOM 14

// Asks whether an attached file that is already there may be overwritten; non-zero for yes.
typedef int (*OverwriteQuestion)(HWND owner, const char* fullPath);

// Loads text id, translated, into buffer (size bytes); returns its length.
typedef int (*TextLoader)(UINT id, char* buffer, int size);

struct UpdateJob {
    DWORD backupRequested;
    const char* destinationDirectory;
    const char* backupDirectory;
    const char* patchFilePath; // Patch.dat in the work directory
    const char* logFilePath;   // the log file in the destination directory
    const char* mainFileName;  // [App] MainFile: its failures stop the run
    HWND mainWindow;           // receives UM_UPDATE_DONE and owns the question box
    HWND progressBar;
    HWND statusWindow; // shows each entry's path; none when NULL
    OverwriteQuestion askToOverwrite;
    TextLoader loadText;    // the log lines' texts
    volatile LONG runState; // 32-bit loads and stores are atomic; the only value both threads write
};

#endif
