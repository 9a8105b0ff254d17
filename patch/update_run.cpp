// The update run: the worker thread that applies every entry of Patch.dat, logs each
// outcome, then moves the saved originals back after a stop or copies them into the backup folder.
#include <windows.h>
#include <commctrl.h>
#include <shlwapi.h>
#include <stdlib.h>

#include "patch/tree_ops.h"
#include "patch/update_run.h"
#include "patch/file_view.h"
#include "res/resource.h"
#include "startup/startup_values.h"
#include "ui/localized_text.h"

struct UpdateJob* g_runJob;
HWND g_runProgressBar;
char g_mainFileName[PATH_ROOM];

// Log message of a failure status, less 250, by the status's highest bit (0x0001 to 0x0100).
static const unsigned char FAILURE_MESSAGES[9] = {2, 3, 4, 5, 6, 9, 7, 8, 10};

// Statuses that stop the run when the entry is the main file (0x8101 shares bit 0x0100).
#define MAIN_FILE_FAILURE_BITS \
    ((ENTRY_ATTACHED_CRC_ERROR | ENTRY_ORIGINAL_MISSING | ENTRY_ORIGINAL_CRC_ERROR | ENTRY_RESULT_CRC_ERROR | \
      ENTRY_ACCESS_DENIED) & ~ENTRY_FAILED_BIT)

static UINT LogMessageId(EntryStatus status)
{
    // 1 (added) takes 251 and 2 (updated) takes 250.
    if (!(status & ENTRY_FAILED_BIT))
        return IDS_LOG_ADDED + 1 - status;
    int bit = 8;
    while (bit > 0 && !(status >> bit & 1))
        bit--;
    return IDS_LOG_UPDATED + FAILURE_MESSAGES[bit];
}

// Writes "name -> message" and a line break with one WriteFile, however long the name.
static void WriteLogText(const char* name, UINT messageId, HANDLE logFile)
{
    char message[PATH_ROOM];
    (void)LoadLocalizedString(g_instance, messageId, message, PATH_ROOM);
    char* line = (char*)malloc(lstrlenA(name) + lstrlenA(message) + sizeof " -> \r\n");
    if (line == NULL)
        return;
    lstrcpyA(line, name);
    lstrcatA(line, " -> ");
    lstrcatA(line, message);
    lstrcatA(line, "\r\n");
    (void)WriteWhole(logFile, line, lstrlenA(line));
    free(line);
}

void WriteLogLine(const char* entryPath, EntryStatus status, HANDLE logFile)
{
    if (*entryPath == '\\')
        entryPath++;
    WriteLogText(entryPath, LogMessageId(status), logFile);
    if (status == ENTRY_DATA_ERROR)
        g_runJob->runState = RUN_DATA_ERROR;
    else if ((status & MAIN_FILE_FAILURE_BITS) && !lstrcmpiA(PathFindFileNameA(entryPath), PathFindFileNameA(g_mainFileName)))
        g_runJob->runState = RUN_MAIN_FILE_FAILED;
}

// Reserves a unique "BAK" name in the destination directory and makes the folder under it.
static int MakeRollbackDirectory(char* rollback)
{
    // GetTempFileNameA needs room for its own "\BAKxxxx.tmp" after the directory.
    if (lstrlenA(g_runDestination) > (int)MAX_PATH_CHARS - 14 || !GetTempFileNameA(g_runDestination, "BAK", 0, rollback))
        return 0;
    (void)DeleteFileA(rollback);
    return CreateDirectoryA(rollback, NULL);
}

static void ApplyEntries(struct PatchCursor* cursor, uint32_t count, const char* rollback, HANDLE logFile)
{
    (void)SendMessageA(g_runProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, count));
    for (uint32_t done = 1; done <= count; done++) {
        // The log names the entry by its path in the mapping; an entry too short to hold one gets "".
        struct PatchCursor peek = *cursor;
        struct PatchEntryHeader entry;
        const char* path = ReadPatchEntryHeader(&peek, &entry) ? entry.path : "";
        EntryStatus status = ApplyPatchEntry(cursor, rollback, g_runJob->mainWindow);
        WriteLogLine(path, status, logFile);
        if (g_runJob->runState <= 0)
            return;
        (void)SendMessageA(g_runProgressBar, PBM_SETPOS, done, 0);
    }
}

// Puts the saved originals back over the destination after a stop, or into the backup folder
// after a completed run that asked for one, and removes the rollback directory. Returns the
// final run state.
static LONG FinishRun(const char* rollback, HANDLE logFile)
{
    LONG state = g_runJob->runState;
    const char* target = state <= 0 ? g_runDestination : g_runJob->backupRequested ? g_runJob->backupDirectory : NULL;
    // The rollback directory lies in the destination, so the originals go back by renaming, which
    // needs no free space and never leaves a file cut short. The backup may be on another volume.
    // When one fails, the rollback directory holds the only copy of some original: keep it.
    if (target != NULL && !CopyTree(rollback, target, state <= 0 ? TREE_MOVE_FILES : TREE_COPY_FILES))
        WriteLogText(rollback, IDS_LOG_ORIGINALS_KEPT, logFile);
    else
        (void)DeleteTree(rollback);
    return state;
}

DWORD WINAPI UpdateWorker(LPVOID parameter)
{
    struct UpdateJob* job = (struct UpdateJob*)parameter;
    char name[PATH_ROOM];
    char logPath[PATH_ROOM];
    char patchPath[PATH_ROOM];
    char rollback[PATH_ROOM];
    g_runJob = job;
    (void)LoadStringA(g_instance, IDS_LOG_FILE, name, PATH_ROOM);
    lstrcpynA(g_runDestination, job->destinationDirectory, PATH_ROOM);
    lstrcpyA(logPath, g_runDestination);
    (void)PathAppendA(logPath, name);
    // No sharing: the log is the run's own until the run has ended.
    HANDLE logFile = CreateFileA(logPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    lstrcpyA(patchPath, g_workDirectory);
    (void)PathAppendA(patchPath, job->patchFileName);
    g_runProgressBar = job->progressBar;
    g_runStatusWindow = job->statusWindow;
    HANDLE patchFile = CreateFileA(patchPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    struct FileView view;
    struct PatchCursor cursor;
    uint32_t count;
    DWORD ran = 0;
    // Without patch data, or without a rollback directory to keep the originals in, nothing is applied.
    if (OpenFileView(patchFile, &view)) {
        cursor.at = view.data;
        cursor.end = view.data + view.size;
        ran = ReadPatchEntryCount(&cursor, &count) && MakeRollbackDirectory(rollback);
    }
    if (ran)
        ApplyEntries(&cursor, count, rollback, logFile);
    CloseFileView(&view);
    CloseHandle(patchFile);
    LONG state = ran ? FinishRun(rollback, logFile) : RUN_DATA_ERROR;
    CloseHandle(logFile);
    (void)SendMessageA(job->mainWindow, UM_UPDATE_DONE, (WPARAM)state, 0);
    return ran;
}
