// Applies one patch entry: checks the file on disk, builds the new one beside it, moves the
// original into the rollback directory and only then puts the new one in its place.
#include <windows.h>
#include <string.h>

#include "stub/patch/checksum.h"
#include "stub/patch/entry_applier.h"
#include "stub/patch/file_view.h"
#include "stub/patch/tree_ops.h"

volatile DWORD g_summaryStatus;

int ConcatPath(char* joined, const char* directory, const char* tail)
{
    if (strlen(directory) + strlen(tail) > MAX_PATH_CHARS)
        return 0;
    strcpy(joined, directory);
    strcat(joined, tail);
    return 1;
}

int WriteWhole(HANDLE file, const void* data, DWORD size)
{
    DWORD written;
    return WriteFile(file, data, size, &written, NULL) && written == size;
}

// Moves the cursor past an entry's body without applying it; a body that cannot be walked
// to its end turns the status into a data error.
static EntryStatus SkipBody(struct PatchCursor* cursor, const struct PatchEntryHeader* entry, EntryStatus status)
{
    return SkipPatchBody(cursor, entry) ? status : ENTRY_DATA_ERROR;
}

// Names a new "PCH" file in the destination directory, where a result is built beside its file.
static void NameResultFile(const char* destination, char* resultPath)
{
    if (GetTempFileNameA(destination, "PCH", 0, resultPath))
        (void)DeleteFileA(resultPath);
}

// Moves the file on disk to its place below the rollback directory. The folder lies in the
// destination, so this is a rename: nothing is read or written, and no space is needed.
static int MoveOriginalAside(const char* fullPath, const char* savedPath)
{
    // A folder where the file should be is never moved; a missing file has nothing to save.
    if (GetFileAttributesA(fullPath) & FILE_ATTRIBUTE_DIRECTORY)
        return 0;
    if (MoveFileA(fullPath, savedPath))
        return 1;
    // A mount point or junction inside the destination puts the file on another volume.
    if (GetLastError() != ERROR_NOT_SAME_DEVICE)
        return 0;
    if (CopyFileA(fullPath, savedPath, TRUE) && DeleteFileA(fullPath))
        return 1;
    // A copy cut short by a full disk must never be put back over the file it was to save.
    (void)DeleteFileA(savedPath);
    return 0;
}

// Puts the checked result file in the file's place: done when it is there, refused when the file
// is as it was, ENTRY_KEPT_ASIDE when neither could be put in place (the original then stays in the
// rollback directory and the result beside the file, and resultPath is emptied so that it is kept).
static EntryStatus PutResultInPlace(const char* entryPath, const char* fullPath, const char* savedPath,
                                    char* resultPath, const char* rollback, EntryStatus done, EntryStatus refused)
{
    // An earlier entry of this run changed the file and saved the original as it was before the
    // run. Replaced in one step, the file is either this entry's result or that entry's.
    if (GetFileAttributesA(savedPath) != INVALID_FILE_ATTRIBUTES)
        return MoveFileExA(resultPath, fullPath, MOVEFILE_REPLACE_EXISTING) ? done : refused;
    MakeParentDirectories(entryPath, rollback);
    if (!MoveOriginalAside(fullPath, savedPath))
        return refused;
    if (MoveFileA(resultPath, fullPath))
        return done;
    if (MoveFileExA(savedPath, fullPath, MOVEFILE_COPY_ALLOWED))
        return refused;
    resultPath[0] = '\0';
    return ENTRY_KEPT_ASIDE;
}

// Writes the attached data into a new file. -1 when the file cannot be made (one is there
// already, say), 0 when the write failed or fell short, 1 when whole.
static int WriteAttachedFile(const char* fullPath, const unsigned char* data, DWORD size)
{
    HANDLE file = CreateFileA(fullPath, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    int whole = WriteWhole(file, data, size);
    CloseHandle(file);
    return whole;
}

static EntryStatus ApplyAttachedFile(struct PatchCursor* cursor, const char* entryPath, const char* fullPath,
                                     const char* savedPath, char* resultPath, const char* rollback,
                                     const struct UpdateJob* job)
{
    const unsigned char* data;
    uint32_t size;
    if (!ReadAttachedBody(cursor, &data, &size))
        return ENTRY_DATA_ERROR;
    int written = WriteAttachedFile(fullPath, data, size);
    if (written > 0)
        return ENTRY_ADDED;
    if (written == 0) {
        (void)DeleteFileA(fullPath);
        return ENTRY_ACCESS_DENIED;
    }
    if (!job->askToOverwrite(job->mainWindow, fullPath))
        return ENTRY_ATTACHED_SKIPPED;
    // Written beside the file first, so that a failed write leaves the file as it is.
    NameResultFile(job->destinationDirectory, resultPath);
    if (WriteAttachedFile(resultPath, data, size) <= 0)
        return ENTRY_ACCESS_DENIED;
    return PutResultInPlace(entryPath, fullPath, savedPath, resultPath, rollback, ENTRY_ATTACHED_OVERWRITTEN,
                            ENTRY_ACCESS_DENIED);
}

static void WriteResultPiece(void* result, const unsigned char* data, uint32_t size)
{
    (void)WriteWhole(*(HANDLE*)result, data, size);
}

// Writes what the entry's op list or difference body builds from the old file; 0 on a data error.
// Short writes are left to the result's checksum.
static int WriteResult(struct PatchCursor* cursor, const struct PatchEntryHeader* entry, const struct FileView* view,
                       HANDLE result)
{
    // An empty file has no view; only empty ranges then lie within it.
    uint32_t oldSize = view->data != NULL ? view->size : 0;
    if (entry->difference) {
        struct PatchDiffBody body;
        return ReadDiffBody(cursor, &body) && ApplyDiffBody(&body, view->data, oldSize, WriteResultPiece, &result);
    }
    struct PatchOp op;
    int kind;
    while ((kind = NextPatchOp(cursor, oldSize, &op)) > OP_END)
        (void)WriteWhole(result, kind == OP_COPY ? view->data + op.sourceOffset : op.literal, op.length);
    return kind == OP_END;
}

// Builds the file that the op list or difference body describes under a new "PCH" name in the destination
// directory (resultPath). ENTRY_UPDATED means the result is there and has the target CRC.
static EntryStatus RebuildFile(struct PatchCursor* cursor, const struct PatchEntryHeader* entry, const char* fullPath,
                               char* resultPath, const char* destination)
{
    // A read-only, hidden or system file could not be opened for writing otherwise.
    (void)SetFileAttributesA(fullPath, FILE_ATTRIBUTE_NORMAL);
    // No sharing: a file that another program holds open is reported, not waited for, and
    // nobody changes it between its checksum and the copy ops.
    HANDLE file =
        CreateFileA(fullPath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return SkipBody(cursor, entry,
                        GetLastError() == ERROR_FILE_NOT_FOUND ? ENTRY_ORIGINAL_MISSING : ENTRY_ACCESS_DENIED);
    DWORD crc = CrcOfOpenFile(file);
    if (crc != entry->sourceCrc) {
        CloseHandle(file);
        return SkipBody(cursor, entry, crc == entry->targetCrc ? ENTRY_ALREADY_UPDATED : ENTRY_ORIGINAL_CRC_ERROR);
    }
    struct FileView view;
    (void)OpenFileView(file, &view);
    NameResultFile(destination, resultPath);
    HANDLE result = CreateFileA(resultPath, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    int whole = WriteResult(cursor, entry, &view, result);
    CloseFileView(&view);
    CloseHandle(file);
    CloseHandle(result);
    if (!whole)
        return ENTRY_DATA_ERROR;
    // Short writes and a result file that could not be made show up here.
    if (result == INVALID_HANDLE_VALUE || CrcOfFile(resultPath) != entry->targetCrc)
        return ENTRY_RESULT_CRC_ERROR;
    return ENTRY_UPDATED;
}

static EntryStatus PatchFile(struct PatchCursor* cursor, const struct PatchEntryHeader* entry, const char* fullPath,
                             const char* savedPath, char* resultPath, const char* rollback, const char* destination)
{
    EntryStatus status = RebuildFile(cursor, entry, fullPath, resultPath, destination);
    if (status != ENTRY_UPDATED)
        return status;
    return PutResultInPlace(entry->path, fullPath, savedPath, resultPath, rollback, ENTRY_UPDATED, ENTRY_DELETE_DENIED);
}

static EntryStatus ApplyEntryBody(struct PatchCursor* cursor, const struct PatchEntryHeader* entry,
                                  const char* rollback, const struct UpdateJob* job)
{
    const char* destination = job->destinationDirectory;
    char fullPath[PATH_ROOM];
    char savedPath[PATH_ROOM];
    char resultPath[PATH_ROOM];
    // The rollback directory never ends with a backslash and the entry path begins with exactly
    // one, so putting them together joins them. A path too long for the calls is never cut.
    if (!ConcatPath(fullPath, destination, entry->path) || !ConcatPath(savedPath, rollback, entry->path))
        return SkipBody(cursor, entry, ENTRY_ACCESS_DENIED);
    // Without a status-text window the handle is NULL and the call does nothing.
    (void)SetWindowTextA(job->statusWindow, entry->path);
    MakeParentDirectories(entry->path, destination);
    resultPath[0] = '\0';
    EntryStatus status = entry->attached
                             ? ApplyAttachedFile(cursor, entry->path, fullPath, savedPath, resultPath, rollback, job)
                             : PatchFile(cursor, entry, fullPath, savedPath, resultPath, rollback, destination);
    // No result file outlives its entry, unless it is the only copy of the new release.
    (void)DeleteFileA(resultPath);
    return status;
}

EntryStatus ApplyPatchEntry(struct PatchCursor* cursor, const char* rollbackDirectory, const struct UpdateJob* job)
{
    struct PatchEntryHeader entry;
    EntryStatus status = ENTRY_DATA_ERROR;
    if (ReadPatchEntryHeader(cursor, &entry) && IsSafeEntryPath(entry.path))
        status = ApplyEntryBody(cursor, &entry, rollbackDirectory, job);
    g_summaryStatus |= status;
    return status;
}
