// The update run: the worker thread that applies every entry of Patch.dat, logs each
// outcome, then moves the saved originals back after a stop or copies them into the backup folder.
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>
#include <string.h>

#include "core/entry_outcome.h"
#include "stub/patch/tree_ops.h"
#include "stub/patch/update_run.h"

static struct UpdateJob* g_runJob; // the job of the run in progress

// Writes "name -> message" and a line break with one WriteFile. The longest name, a kept-aside
// entry's, and the longest message leave the line well within wsprintfA's 1,024 characters.
static void WriteLogText(const char* name, UINT messageId, HANDLE logFile)
{
    char message[PATH_ROOM];
    char line[LONG_TEXT_ROOM];
    (void)g_runJob->loadText(messageId, message, PATH_ROOM);
    (void)WriteWhole(logFile, line, (DWORD)wsprintfA(line, "%s -> %s\r\n", name, message));
}

// Writes an entry's log line and applies the outcome's stop rule to the run state. A file kept
// aside is followed by the name of its new release, which lies beside it: "a\\b.dll (a\\PCH1F.tmp)".
static void WriteLogLine(const char* entryPath, EntryStatus status, HANDLE logFile)
{
    char keptName[2 * PATH_ROOM + 4];
    const struct EntryOutcome* outcome = FindEntryOutcome(status);
    if (*entryPath == '\\')
        entryPath++;
    const char* name = entryPath;
    // Only an entry whose path fitted the joins is ever kept aside, so both parts fit here.
    if (status == ENTRY_KEPT_ASIDE) {
        const char* kept = g_keptAsidePath + strlen(g_runJob->destinationDirectory);
        (void)wsprintfA(keptName, "%s (%s)", entryPath, *kept == '\\' ? kept + 1 : kept);
        name = keptName;
    }
    WriteLogText(name, outcome->logTextId, logFile);
    if (outcome->stops == OUTCOME_STOPS_RUN)
        g_runJob->runState = RUN_DATA_ERROR;
    else if (outcome->stops == OUTCOME_STOPS_FOR_MAIN_FILE && IsMainFile(entryPath, g_runJob))
        g_runJob->runState = RUN_MAIN_FILE_FAILED;
}

// Reserves a unique "BAK" name in the destination directory and makes the folder under it.
static int MakeRollbackDirectory(char* rollback)
{
    // GetTempFileNameA needs room for its own "\BAKxxxx.tmp" after the directory.
    const char* destination = g_runJob->destinationDirectory;
    if (strlen(destination) > MAX_PATH_CHARS - ROLLBACK_NAME_ROOM || !GetTempFileNameA(destination, "BAK", 0, rollback))
        return 0;
    (void)DeleteFileA(rollback);
    return CreateDirectoryA(rollback, NULL);
}

static void ApplyEntries(struct PatchReader* patch, uint32_t count, const char* rollback, HANDLE logFile)
{
    HWND progressBar = g_runJob->progressBar;
    (void)SendMessageA(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, count));
    for (uint32_t done = 1; done <= count; done++) {
        char name[PATH_ROOM];
        EntryStatus status = ApplyPatchEntry(patch, rollback, g_runJob, name);
        WriteLogLine(name, status, logFile);
        if (g_runJob->runState <= 0)
            return;
        (void)SendMessageA(progressBar, PBM_SETPOS, done, 0);
    }
}

// Puts the saved originals back over the destination after a stop, or into the backup folder
// after a completed run that asked for one, and removes the rollback directory. Returns the
// final run state.
static LONG FinishRun(const char* rollback, HANDLE logFile)
{
    LONG state = g_runJob->runState;
    const char* target = state <= 0                  ? g_runJob->destinationDirectory
                         : g_runJob->backupRequested ? g_runJob->backupDirectory
                                                     : NULL;
    // The rollback directory lies in the destination, so the originals go back by renaming, which
    // needs no free space and never leaves a file cut short. The backup may be on another volume.
    // When one fails, the rollback directory holds the only copy of some original: keep it. So it
    // does after a completed run in which a file could not be put in place (its new release is
    // beside it) and after a backup whose path did not fit (the window leaves it empty).
    // A saved original that another program still holds open goes only when that program closes
    // it, so the folder cannot be removed then either: the log names it too.
    int copied = target == NULL || CopyTree(rollback, target, state <= 0 ? TREE_MOVE_FILES : TREE_COPY_FILES);
    // A backup that did not get there is a failure the user must hear of, like a skipped file:
    // the log then names the folder that holds the originals.
    if (!copied && state > 0)
        g_summaryStatus |= ENTRY_ACCESS_DENIED;
    int keptAside = state > 0 && (g_summaryStatus & ENTRY_KEPT_ASIDE & ~ENTRY_FAILED_BIT);
    if (!copied || keptAside || !DeleteTree(rollback))
        WriteLogText(rollback, IDS_LOG_ORIGINALS_KEPT, logFile);
    return state;
}

DWORD WINAPI UpdateWorker(LPVOID parameter)
{
    struct UpdateJob* job = (struct UpdateJob*)parameter;
    char rollback[PATH_ROOM];
    g_runJob = job;
    // No sharing: the log is the run's own until the run has ended.
    HANDLE logFile = CreateFileA(job->logFilePath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    HANDLE patchFile = CreateFileA(job->patchFilePath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
    struct PatchReader patch;
    uint32_t count;
    DWORD ran = 0;
    LONG state = RUN_DATA_ERROR;
    // Without patch data, or without a log and a rollback directory to keep the originals in,
    // nothing is applied. A destination that takes neither is not the download's fault.
    if (StartPatchReader(&patch, patchFile) && FillPatchWindow(&patch, 4) > 0 &&
        ReadPatchEntryCount(&patch.cursor, &count)) {
        ran = logFile != INVALID_HANDLE_VALUE && MakeRollbackDirectory(rollback);
        if (!ran)
            state = RUN_DESTINATION_UNWRITABLE;
    }
    if (ran)
        ApplyEntries(&patch, count, rollback, logFile);
    free(patch.window);
    ReleaseWholeFileRoom();
    CloseHandle(patchFile);
    if (ran)
        state = FinishRun(rollback, logFile);
    CloseHandle(logFile);
    (void)SendMessageA(job->mainWindow, UM_UPDATE_DONE, (WPARAM)state, 0);
    return ran;
}
