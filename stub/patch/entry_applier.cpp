// Applies one patch entry: checks the file on disk, builds the new one beside it, moves the
// original into the rollback directory and only then puts the new one in its place; or, for a
// removal, moves the file into the rollback directory alone.
#include <windows.h>
#include <string.h>

#include "core/references.h"
#include "core/crc32.h"
#include "stub/patch/checksum.h"
#include "stub/patch/entry_applier.h"
#include "stub/patch/file_view.h"
#include "stub/patch/tree_ops.h"

volatile DWORD g_summaryStatus;
char g_keptAsidePath[PATH_ROOM];

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

// Opens a file for reading and writing without sharing. A virus scanner or indexer that opens a
// new file for a moment must not fail the entry: a sharing violation is tried again, ten times
// 100 ms apart.
static HANDLE OpenExclusively(const char* path)
{
    for (int attempt = 0;; attempt++) {
        HANDLE file =
            CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION || attempt == 10)
            return file;
        Sleep(100);
    }
}

// Creates a new "PCHxxxx.tmp" file beside the file fullPath names (in the destination directory
// when that folder's path leaves no room for the name) and names it in resultPath. The name is
// made without creating and deleting a file first: CREATE_NEW refuses one that is there.
static HANDLE CreateResultFile(const char* fullPath, const char* destination, char* resultPath)
{
    static UINT unique;
    char folder[PATH_ROOM];
    strcpy(folder, fullPath);
    *(char*)FindFileName(folder) = '\0';
    if (strlen(folder) > MAX_PATH_CHARS - 14)
        strcpy(folder, destination);
    if (unique == 0)
        unique = GetTickCount();
    for (int attempt = 0; attempt < 100; attempt++) {
        // A unique number of 0 would make the call create a file of its own.
        if (!GetTempFileNameA(folder, "PCH", (++unique & 0xFFFF) | 1, resultPath))
            break;
        HANDLE file = CreateFileA(resultPath, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    resultPath[0] = '\0';
    return INVALID_HANDLE_VALUE;
}

// A result file as it is written: its checksum so far, and whether every byte got to the disk.
struct ResultWriter {
    HANDLE file;
    uint32_t crc;
    int whole;
};

static void WriteResultPiece(void* context, const unsigned char* data, uint32_t size)
{
    struct ResultWriter* result = (struct ResultWriter*)context;
    result->crc = CrcUpdate(result->crc, data, size);
    result->whole &= WriteWhole(result->file, data, size);
}

// Flushes and closes a result file. Flushed before the run may delete the last copy of the
// original, so that a power loss cannot leave it reading back as zeros. 0 when a write failed.
static int FinishResultFile(struct ResultWriter* result)
{
    result->whole &= FlushFileBuffers(result->file) != 0;
    CloseHandle(result->file);
    return result->whole;
}

// Moves the file on disk to its place below the rollback directory. The folder lies in the
// destination, so this is a rename: nothing is read or written, and no space is needed.
static int MoveOriginalAside(const char* fullPath, const char* savedPath)
{
    // A folder where the file should be is never moved; a missing file has nothing to save.
    if (GetFileAttributesA(fullPath) & FILE_ATTRIBUTE_DIRECTORY)
        return 0;
    // A mount point or junction inside the destination puts the file on another volume: then
    // the move copies it and deletes the original, and succeeds even when the deletion is refused.
    if (MoveFileA(fullPath, savedPath) && GetFileAttributesA(fullPath) == INVALID_FILE_ATTRIBUTES)
        return 1;
    // The original is still in place (the copy was cut short, or its deletion refused): no copy
    // of it may stay to be put back later over whatever the file then is.
    if (GetFileAttributesA(fullPath) != INVALID_FILE_ATTRIBUTES)
        (void)DeleteFileA(savedPath);
    return 0;
}

// Puts the checked result file in the file's place: done when it is there, refused when the file
// is as it was, ENTRY_KEPT_ASIDE when neither could be put in place (the original then stays in the
// rollback directory and the result beside the file, and resultPath is emptied so that it is kept).
// With an empty result path (a removal, which builds none) the file is only moved aside.
static EntryStatus PutResultInPlace(const char* entryPath, const char* fullPath, const char* savedPath,
                                    char* resultPath, const char* rollback, EntryStatus done, EntryStatus refused)
{
    // An earlier entry of this run changed the file and saved the original as it was before the
    // run. Replaced in one step, the file is either this entry's result or that entry's; a removal
    // then leaves it as that entry did.
    if (GetFileAttributesA(savedPath) != INVALID_FILE_ATTRIBUTES)
        return *resultPath != '\0' && MoveFileExA(resultPath, fullPath, MOVEFILE_REPLACE_EXISTING) ? done : refused;
    MakeParentDirectories(entryPath, rollback);
    if (!MoveOriginalAside(fullPath, savedPath))
        return refused;
    if (*resultPath == '\0' || MoveFileA(resultPath, fullPath))
        return done;
    if (MoveFileExA(savedPath, fullPath, MOVEFILE_COPY_ALLOWED))
        return refused;
    strcpy(g_keptAsidePath, resultPath);
    resultPath[0] = '\0';
    return ENTRY_KEPT_ASIDE;
}

// Writes the attached data into a new file. -1 when the file cannot be made (one is there
// already, say), 0 when the write failed or fell short, 1 when whole.
static int WriteAttachedFile(HANDLE file, const unsigned char* data, DWORD size)
{
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    struct ResultWriter result = {file, CRC_INITIAL, 1};
    WriteResultPiece(&result, data, size);
    return FinishResultFile(&result);
}

static EntryStatus ApplyAttachedFile(struct PatchCursor* cursor, const char* entryPath, const char* fullPath,
                                     const char* savedPath, char* resultPath, const char* rollback,
                                     const struct UpdateJob* job)
{
    const unsigned char* data;
    uint32_t size;
    if (!ReadAttachedBody(cursor, &data, &size))
        return ENTRY_DATA_ERROR;
    int written =
        WriteAttachedFile(CreateFileA(fullPath, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL), data,
                          size);
    if (written > 0)
        return ENTRY_ADDED;
    if (written == 0) {
        (void)DeleteFileA(fullPath);
        return ENTRY_ACCESS_DENIED;
    }
    if (!job->askToOverwrite(job->mainWindow, fullPath))
        return ENTRY_ATTACHED_SKIPPED;
    // Written beside the file first, so that a failed write leaves the file as it is.
    if (WriteAttachedFile(CreateResultFile(fullPath, job->destinationDirectory, resultPath), data, size) <= 0)
        return ENTRY_ACCESS_DENIED;
    return PutResultInPlace(entryPath, fullPath, savedPath, resultPath, rollback, ENTRY_ATTACHED_OVERWRITTEN,
                            ENTRY_ACCESS_DENIED);
}

// Writes what the entry's op list or (predicted) difference body builds from the old file:
// PREDICT_APPLIED, PREDICT_DATA_ERROR or, for a predicted body, PREDICT_NO_MEMORY before
// anything is written. Failed writes are the result's to report.
static int WriteResult(struct PatchCursor* cursor, const struct PatchEntryHeader* entry, const struct FileView* view,
                       struct ResultWriter* result)
{
    // An empty file has no view; only empty ranges then lie within it.
    uint32_t oldSize = view->data != NULL ? view->size : 0;
    if (entry->predicted) {
        struct PatchPredictedBody body;
        if (!ReadPredictedBody(cursor, &body))
            return PREDICT_DATA_ERROR;
        return ApplyPredictedBody(&body, view->data, oldSize, WriteResultPiece, result, NULL);
    }
    if (entry->difference) {
        struct PatchDiffBody body;
        return ReadDiffBody(cursor, &body) && ApplyDiffBody(&body, view->data, oldSize, WriteResultPiece, result, NULL);
    }
    struct PatchOp op;
    int kind;
    while ((kind = NextPatchOp(cursor, oldSize, &op)) > OP_END)
        WriteResultPiece(result, kind == OP_COPY ? view->data + op.sourceOffset : op.literal, op.length);
    return kind == OP_END;
}

// Builds the file that the op list or difference body describes under a new "PCH" name beside the
// file (resultPath). ENTRY_UPDATED means the result is there, whole, flushed, and has the target CRC,
// taken from the bytes as they were written, or, for a removal, that the file has the source CRC.
static EntryStatus RebuildFile(struct PatchCursor* cursor, const struct PatchEntryHeader* entry, const char* fullPath,
                               char* resultPath, const char* destination)
{
    // A read-only, hidden or system file could not be opened for writing otherwise.
    (void)SetFileAttributesA(fullPath, FILE_ATTRIBUTE_NORMAL);
    // No sharing: a file that another program keeps open is reported, and nobody changes it
    // between its checksum and the copy ops.
    HANDLE file = OpenExclusively(fullPath);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        EntryStatus status = error == ERROR_FILE_NOT_FOUND ? ENTRY_ORIGINAL_MISSING : ENTRY_ACCESS_DENIED;
        // A removal makes no folders, so its file may be missing with its folder.
        if (entry->removal && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
            status = ENTRY_REMOVED;
        return SkipBody(cursor, entry, status);
    }
    // One view serves the checksum and the rebuild. A file that the address space left has no
    // room for is said to be so, not taken for a file that is not the one the package names.
    struct FileView view;
    if (!OpenFileView(file, &view) && view.size != 0) {
        CloseFileView(&view);
        CloseHandle(file);
        return SkipBody(cursor, entry, ENTRY_NO_MEMORY);
    }
    DWORD crc = CrcOfView(&view);
    // A removal's target CRC is not read: no file is ever its result.
    if (crc != entry->sourceCrc || entry->removal) {
        CloseFileView(&view);
        CloseHandle(file);
        EntryStatus status = crc == entry->targetCrc && !entry->removal ? ENTRY_ALREADY_UPDATED
                                                                        : ENTRY_ORIGINAL_CRC_ERROR;
        return SkipBody(cursor, entry, crc == entry->sourceCrc ? ENTRY_UPDATED : status);
    }
    struct ResultWriter result = {CreateResultFile(fullPath, destination, resultPath), CRC_INITIAL, 1};
    int made = result.file != INVALID_HANDLE_VALUE;
    int valid = WriteResult(cursor, entry, &view, &result);
    CloseFileView(&view);
    CloseHandle(file);
    if (made && !FinishResultFile(&result))
        made = 0;
    if (valid == PREDICT_NO_MEMORY)
        return ENTRY_NO_MEMORY;
    if (valid != PREDICT_APPLIED)
        return ENTRY_DATA_ERROR;
    // A result file that could not be made or written whole shows up here as well.
    if (!made || ~result.crc != entry->targetCrc)
        return ENTRY_RESULT_CRC_ERROR;
    return ENTRY_UPDATED;
}

// Removes the folders of a removed file that it has left empty, deepest first, up to the destination
// directory (rootLength characters of fullPath). The first that still holds anything stays, and
// every folder above it. A stop brings them back: the saved file is moved back with its folders.
static void RemoveEmptyFolders(char* fullPath, int rootLength)
{
    char* name;
    // The backslash before the last name is past the destination's own characters.
    while ((name = (char*)FindFileName(fullPath)) > fullPath + rootLength + 1) {
        name[-1] = '\0';
        if (!RemoveDirectoryA(fullPath))
            return;
    }
}

// A removal moves a file that has the source CRC into the rollback directory, as an original is
// before it is replaced, so that a stop puts it back and a backup keeps it.
static EntryStatus PatchFile(struct PatchCursor* cursor, const struct PatchEntryHeader* entry, char* fullPath,
                             const char* savedPath, char* resultPath, const char* rollback, const char* destination)
{
    EntryStatus status = RebuildFile(cursor, entry, fullPath, resultPath, destination);
    if (status != ENTRY_UPDATED)
        return status;
    int removal = entry->removal;
    status = PutResultInPlace(entry->path, fullPath, savedPath, resultPath, rollback,
                              removal ? ENTRY_REMOVED : ENTRY_UPDATED,
                              removal ? ENTRY_ACCESS_DENIED : ENTRY_DELETE_DENIED);
    if (status == ENTRY_REMOVED)
        RemoveEmptyFolders(fullPath, (int)strlen(destination));
    return status;
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
    // A removal makes no folders.
    if (!entry->removal)
        MakeParentDirectories(entry->path, destination);
    resultPath[0] = '\0';
    EntryStatus status = entry->attached
                             ? ApplyAttachedFile(cursor, entry->path, fullPath, savedPath, resultPath, rollback, job)
                             : PatchFile(cursor, entry, fullPath, savedPath, resultPath, rollback, destination);
    // No result file outlives its entry, unless it is the only copy of the new release.
    (void)DeleteFileA(resultPath);
    return status;
}

int IsMainFile(const char* entryPath, const struct UpdateJob* job)
{
    return !lstrcmpiA(FindFileName(entryPath), FindFileName(job->mainFileName));
}

EntryStatus ApplyPatchEntry(struct PatchCursor* cursor, const char* rollbackDirectory, const struct UpdateJob* job)
{
    struct PatchEntryHeader entry;
    EntryStatus status = ENTRY_DATA_ERROR;
    // A package that asks for the application's main file to go is broken.
    if (ReadPatchEntryHeader(cursor, &entry) && IsSafeEntryPath(entry.path) &&
        !(entry.removal && IsMainFile(entry.path, job)))
        status = ApplyEntryBody(cursor, &entry, rollbackDirectory, job);
    g_summaryStatus |= status;
    return status;
}
