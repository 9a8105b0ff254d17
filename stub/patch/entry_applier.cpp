// Applies one patch entry: checks the file on disk, builds the new one beside it, moves the
// original into the rollback directory and only then puts the new one in its place; or, for a
// removal, moves the file into the rollback directory alone.
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "core/references.h"
#include "core/crc32.h"
#include "stub/patch/checksum.h"
#include "stub/patch/entry_applier.h"
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

// A result file as it is written: its checksum so far, and whether every byte got to the disk.
struct ResultWriter {
    HANDLE file;
    uint32_t crc;
    int whole;
};

// An op list is walked an op at a time: only its next op's head need lie in memory.
static int IsOpList(const struct PatchEntryHeader* entry)
{
    return !(entry->attached || entry->difference || entry->predicted || entry->removal);
}

// Makes the part of the body at the cursor that the reader walks lie in the window: all of it but
// its attached, literal, difference and extra bytes (of an op list, the next op's head). The window
// is filled, then grown, until a walk of the body from a copy of the cursor gets past it or the
// window holds all that is left, so that the reader finds what is wrong. 0 then, ENTRY_NO_MEMORY
// when the window cannot grow, ENTRY_DATA_ERROR when it cannot be read.
static EntryStatus FillBodyHead(struct PatchReader* patch, const struct PatchEntryHeader* entry)
{
    uint32_t need = OP_HEAD_MAX;
    for (;;) {
        int filled = FillPatchWindow(patch, need);
        if (filled <= 0)
            return filled < 0 ? ENTRY_NO_MEMORY : ENTRY_DATA_ERROR;
        struct PatchCursor walk = patch->cursor;
        uint32_t inMemory = (uint32_t)(walk.end - walk.at);
        if (IsOpList(entry) || walk.beyond == 0 || SkipPatchBody(&walk, entry))
            return 0;
        need = inMemory > 0x7FFFFFFFu ? 0xFFFFFFFFu : 2 * inMemory;
    }
}

static EntryStatus WalkOps(struct PatchReader* patch, HANDLE old, uint32_t oldSize, struct ResultWriter* result);

// Moves the cursor past an entry's body without applying it; a body that cannot be walked
// to its end turns the status into a data error.
static EntryStatus SkipBody(struct PatchReader* patch, const struct PatchEntryHeader* entry, EntryStatus status)
{
    EntryStatus problem = FillBodyHead(patch, entry);
    if (problem != 0)
        return problem;
    if (!IsOpList(entry))
        return SkipPatchBody(&patch->cursor, entry) ? status : ENTRY_DATA_ERROR;
    // An op list may run past the window: it is walked an op at a time.
    return WalkOps(patch, NULL, 0xFFFFFFFFu, NULL) == ENTRY_UPDATED ? status : ENTRY_DATA_ERROR;
}

// Opens a file for reading, writing and renaming without sharing. A virus scanner or indexer that
// opens a new file for a moment must not fail the entry: a sharing violation is tried again, ten
// times 100 ms apart.
static HANDLE OpenExclusively(const char* path)
{
    for (int attempt = 0;; attempt++) {
        HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
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

// FILE_RENAME_INFO, with room for a path.
struct RenameInfo {
    DWORD replaceIfExists;
    HANDLE rootDirectory;
    DWORD nameBytes;
    WCHAR name[PATH_ROOM];
};
typedef BOOL(WINAPI* SetFileInformationCall)(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* information,
                                             DWORD size);

// Renames the file open in file, which must allow deletion, to path. 0 where the system lacks
// the call (before Vista) or cannot rename the file so (another volume).
static int RenameOpenFile(HANDLE file, const char* path)
{
    SetFileInformationCall set =
        (SetFileInformationCall)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetFileInformationByHandle");
    struct RenameInfo rename = {FALSE, NULL, 0, {0}};
    int length = MultiByteToWideChar(CP_ACP, 0, path, -1, rename.name, PATH_ROOM);
    rename.nameBytes = (DWORD)(length - 1) * sizeof(WCHAR);
    return set != NULL && length > 0 && set(file, FileRenameInfo, &rename, sizeof rename);
}

// Moves the file on disk to its place below the rollback directory. The folder lies in the
// destination, so this is a rename: nothing is read or written, and no space is needed. A file
// still held (held is not INVALID_HANDLE_VALUE, and is closed here) is renamed through its handle,
// so that no other program can change it between its checksum and its move.
static int MoveOriginalAside(HANDLE held, const char* fullPath, const char* savedPath)
{
    int renamed = held != INVALID_HANDLE_VALUE && RenameOpenFile(held, savedPath);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    if (renamed)
        return 1;
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
static EntryStatus PutResultInPlace(HANDLE held, const char* entryPath, const char* fullPath, const char* savedPath,
                                    char* resultPath, const char* rollback, EntryStatus done, EntryStatus refused)
{
    // An earlier entry of this run changed the file and saved the original as it was before the
    // run. Replaced in one step, the file is either this entry's result or that entry's; a removal
    // then leaves it as that entry did.
    if (GetFileAttributesA(savedPath) != INVALID_FILE_ATTRIBUTES) {
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        return *resultPath != '\0' && MoveFileExA(resultPath, fullPath, MOVEFILE_REPLACE_EXISTING) ? done : refused;
    }
    MakeParentDirectories(entryPath, rollback);
    if (!MoveOriginalAside(held, fullPath, savedPath))
        return refused;
    if (*resultPath == '\0' || MoveFileA(resultPath, fullPath))
        return done;
    if (MoveFileExA(savedPath, fullPath, MOVEFILE_COPY_ALLOWED))
        return refused;
    strcpy(g_keptAsidePath, resultPath);
    resultPath[0] = '\0';
    return ENTRY_KEPT_ASIDE;
}

// Hands the size bytes that end at the cursor to the result, read from Patch.dat again (the
// window may hold only their start). 0, or ENTRY_DATA_ERROR when they cannot be read.
static EntryStatus PipePatchBytes(struct PatchReader* patch, uint32_t size, struct ResultWriter* result)
{
    return PipeBytes(patch->file, PatchPosition(patch) - size, size, WriteResultPiece, result) ? 0 : ENTRY_DATA_ERROR;
}

// Writes the attached bytes into a new file and closes it. 0 when it is whole, ENTRY_WRITE_FAILED
// when a write failed or fell short, or why the bytes could not be had.
static EntryStatus WriteAttachedFile(HANDLE file, struct PatchReader* patch, DWORD size)
{
    struct ResultWriter result = {file, CRC_INITIAL, 1};
    EntryStatus problem = PipePatchBytes(patch, size, &result);
    return FinishResultFile(&result) || problem != 0 ? problem : ENTRY_WRITE_FAILED;
}

static EntryStatus ApplyAttachedFile(struct PatchReader* patch, const char* entryPath, const char* fullPath,
                                     const char* savedPath, char* resultPath, const char* rollback,
                                     const struct UpdateJob* job)
{
    const unsigned char* data;
    uint32_t size;
    if (!ReadAttachedBody(&patch->cursor, &data, &size))
        return ENTRY_DATA_ERROR;
    HANDLE file = CreateFileA(fullPath, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        EntryStatus problem = WriteAttachedFile(file, patch, size);
        if (problem == 0)
            return ENTRY_ADDED;
        (void)DeleteFileA(fullPath);
        return problem;
    }
    if (!job->askToOverwrite(job->mainWindow, fullPath))
        return ENTRY_ATTACHED_SKIPPED;
    // Written beside the file first, so that a failed write leaves the file as it is.
    file = CreateResultFile(fullPath, job->destinationDirectory, resultPath);
    if (file == INVALID_HANDLE_VALUE)
        return ENTRY_ACCESS_DENIED;
    EntryStatus problem = WriteAttachedFile(file, patch, size);
    if (problem != 0)
        return problem;
    return PutResultInPlace(INVALID_HANDLE_VALUE, entryPath, fullPath, savedPath, resultPath, rollback,
                            ENTRY_ATTACHED_OVERWRITTEN, ENTRY_ACCESS_DENIED);
}

// Walks the op list at the cursor to its end op, handing each op's bytes to the result; without a
// result it only walks. ENTRY_UPDATED, ENTRY_DATA_ERROR, or ENTRY_ACCESS_DENIED when the old file
// could not be read, after which it walks on to the end.
static EntryStatus WalkOps(struct PatchReader* patch, HANDLE old, uint32_t oldSize, struct ResultWriter* result)
{
    EntryStatus status = ENTRY_UPDATED;
    struct PatchOp op;
    for (;;) {
        if (FillPatchWindow(patch, OP_HEAD_MAX) <= 0)
            return ENTRY_DATA_ERROR;
        int kind = NextPatchOp(&patch->cursor, oldSize, &op);
        if (kind == OP_END)
            return status;
        if (kind == PATCH_OP_INVALID)
            return ENTRY_DATA_ERROR;
        if (result == NULL || status != ENTRY_UPDATED)
            continue;
        if (kind == OP_LITERAL && PipePatchBytes(patch, op.length, result) != 0)
            status = ENTRY_DATA_ERROR;
        if (kind == OP_COPY && !PipeBytes(old, op.sourceOffset, op.length, WriteResultPiece, result))
            status = ENTRY_ACCESS_DENIED;
    }
}

// Where a difference body's bytes are read from: the old file, and Patch.dat's difference and
// extra bytes, each from its start on, through a slice buffer of its own; or the old file's bytes
// in memory, where a predicted body has read them whole.
struct BodySource {
    HANDLE files[3];
    uint32_t starts[3];
    const unsigned char* old;
};
static unsigned char g_slices[3][DIFF_SLICE]; // the last slice read of each

static const unsigned char* ReadBodyPart(void* source, int part, uint32_t offset, uint32_t size)
{
    const struct BodySource* body = (const struct BodySource*)source;
    if (part == DIFF_PART_OLD && body->old != NULL)
        return body->old + offset;
    return ReadExactly(body->files[part], body->starts[part] + offset, g_slices[part], size) ? g_slices[part] : NULL;
}

// Writes what the entry's op list or (predicted) difference body builds from the old file and
// leaves the cursor past the body: ENTRY_UPDATED, or ENTRY_DATA_ERROR, ENTRY_NO_MEMORY, or
// ENTRY_ACCESS_DENIED when the old file could not be read. A predicted body also needs the old
// file whole in memory (whole, NULL when its memory could not be had), for its references. Failed
// writes are the result's to report.
static EntryStatus WriteResult(struct PatchReader* patch, const struct PatchEntryHeader* entry, HANDLE old,
                               uint32_t oldSize, const unsigned char* whole, struct ResultWriter* result)
{
    EntryStatus problem = FillBodyHead(patch, entry);
    if (problem != 0)
        return problem;
    int predicted = entry->predicted;
    if (entry->difference || predicted) {
        struct PatchPredictedBody prediction;
        struct PatchDiffBody* body = &prediction.diff;
        if (predicted ? !ReadPredictedBody(&patch->cursor, &prediction) : !ReadDiffBody(&patch->cursor, body))
            return ENTRY_DATA_ERROR;
        uint32_t extra = PatchPosition(patch) - body->extraSize;
        struct BodySource source = {{old, patch->file, patch->file}, {0, extra - body->differenceSize, extra}, whole};
        int applied = !predicted
                          ? ApplyDiffBodyFrom(body, oldSize, ReadBodyPart, &source, WriteResultPiece, result, NULL)
                      : whole == NULL ? PREDICT_NO_MEMORY
                                      : ApplyPredictedBodyFrom(&prediction, whole, oldSize, ReadBodyPart, &source,
                                                               WriteResultPiece, result, NULL);
        // A read that fails is taken for the old file's: Patch.dat lies on the local temp disk.
        return applied > 0                    ? ENTRY_UPDATED
               : applied == DIFF_READ_FAILED  ? ENTRY_ACCESS_DENIED
               : applied == PREDICT_NO_MEMORY ? ENTRY_NO_MEMORY
                                              : ENTRY_DATA_ERROR;
    }
    return WalkOps(patch, old, oldSize, result);
}

// Room for an old file read whole, kept from entry to entry: fresh memory of a program's size
// costs more to fault in than finding the program's references. NULL when it cannot be had.
static unsigned char* g_whole;
static uint32_t g_wholeRoom;

static unsigned char* WholeFileRoom(uint32_t size)
{
    if (size >= g_wholeRoom) {
        free(g_whole);
        // The room of a file of 4 GB less one byte would not fit its count.
        g_whole = size < 0xFFFFFFFFu ? (unsigned char*)malloc(size + 1) : NULL;
        g_wholeRoom = g_whole != NULL ? size + 1 : 0;
    }
    return g_whole;
}

void ReleaseWholeFileRoom(void)
{
    free(g_whole);
    g_whole = NULL;
    g_wholeRoom = 0;
}

// Builds the file that the op list or difference body describes under a new "PCH" name beside the
// file (resultPath). ENTRY_UPDATED means the result is there, whole, flushed, and has the target CRC,
// taken from the bytes as they were written, or, for a removal, that the file has the source CRC;
// the file then stays open in held, for its move aside.
static EntryStatus RebuildFile(struct PatchReader* patch, const struct PatchEntryHeader* entry, const char* fullPath,
                               char* resultPath, const char* destination, HANDLE* held)
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
        return SkipBody(patch, entry, status);
    }
    uint32_t oldSize = GetFileSize(file, NULL);
    DWORD crc;
    // A predicted body reads the old file whole, and its checksum is taken there.
    unsigned char* whole = entry->predicted ? WholeFileRoom(oldSize) : NULL;
    int read = whole != NULL ? ReadExactly(file, 0, whole, oldSize) : CrcOfFileBytes(file, oldSize, &crc);
    if (whole != NULL)
        crc = CrcOfBuffer(whole, oldSize);
    // A file that cannot be read is left as it is, like one that cannot be opened.
    EntryStatus status = read ? ENTRY_UPDATED : ENTRY_ACCESS_DENIED;
    int consumed = 0;
    if (status == ENTRY_UPDATED && crc == entry->sourceCrc && !entry->removal) {
        struct ResultWriter result = {CreateResultFile(fullPath, destination, resultPath), CRC_INITIAL, 1};
        int made = result.file != INVALID_HANDLE_VALUE;
        status = WriteResult(patch, entry, file, oldSize, whole, &result);
        if (made && !FinishResultFile(&result))
            made = 0;
        // A result file that could not be made or written whole is the disk's fault, not the data's.
        if (status == ENTRY_UPDATED && !made)
            status = ENTRY_WRITE_FAILED;
        else if (status == ENTRY_UPDATED && ~result.crc != entry->targetCrc)
            status = ENTRY_RESULT_CRC_ERROR;
        // The body is behind the cursor now, whatever came of it.
        consumed = 1;
    } else if (status == ENTRY_UPDATED && crc != entry->sourceCrc) {
        status = crc == entry->targetCrc && !entry->removal ? ENTRY_ALREADY_UPDATED : ENTRY_ORIGINAL_CRC_ERROR;
    }
    if (!consumed)
        status = SkipBody(patch, entry, status);
    if (status == ENTRY_UPDATED)
        *held = file;
    else
        CloseHandle(file);
    return status;
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
static EntryStatus PatchFile(struct PatchReader* patch, const struct PatchEntryHeader* entry, char* fullPath,
                             const char* savedPath, char* resultPath, const char* rollback, const char* destination)
{
    HANDLE held;
    EntryStatus status = RebuildFile(patch, entry, fullPath, resultPath, destination, &held);
    if (status != ENTRY_UPDATED)
        return status;
    int removal = entry->removal;
    status = PutResultInPlace(held, entry->path, fullPath, savedPath, resultPath, rollback,
                              removal ? ENTRY_REMOVED : ENTRY_UPDATED,
                              removal ? ENTRY_ACCESS_DENIED : ENTRY_DELETE_DENIED);
    if (status == ENTRY_REMOVED)
        RemoveEmptyFolders(fullPath, (int)strlen(destination));
    return status;
}

static EntryStatus ApplyEntryBody(struct PatchReader* patch, struct PatchEntryHeader* entry, const char* rollback,
                                  const struct UpdateJob* job)
{
    const char* destination = job->destinationDirectory;
    char path[PATH_ROOM];
    char fullPath[PATH_ROOM];
    char savedPath[PATH_ROOM];
    char resultPath[PATH_ROOM];
    // The rollback directory never ends with a backslash and the entry path begins with exactly
    // one, so putting them together joins them. A path too long for the calls is never cut.
    if (!ConcatPath(fullPath, destination, entry->path) || !ConcatPath(savedPath, rollback, entry->path))
        return SkipBody(patch, entry, ENTRY_PATH_TOO_LONG);
    // The window moves on while the body is read: the path is kept here.
    entry->path = strcpy(path, entry->path);
    // Without a status-text window the handle is NULL and the call does nothing.
    (void)SetWindowTextA(job->statusWindow, path);
    // A removal makes no folders.
    if (!entry->removal)
        MakeParentDirectories(path, destination);
    resultPath[0] = '\0';
    EntryStatus status = entry->attached
                             ? ApplyAttachedFile(patch, path, fullPath, savedPath, resultPath, rollback, job)
                             : PatchFile(patch, entry, fullPath, savedPath, resultPath, rollback, destination);
    // No result file outlives its entry, unless it is the only copy of the new release.
    (void)DeleteFileA(resultPath);
    return status;
}

int IsMainFile(const char* entryPath, const struct UpdateJob* job)
{
    return !lstrcmpiA(FindFileName(entryPath), FindFileName(job->mainFileName));
}

EntryStatus ApplyPatchEntry(struct PatchReader* patch, const char* rollbackDirectory, const struct UpdateJob* job,
                            char* name)
{
    struct PatchEntryHeader entry;
    EntryStatus status = ENTRY_DATA_ERROR;
    *name = '\0';
    // A package that asks for the application's main file to go is broken.
    if (FillPatchWindow(patch, ENTRY_HEAD_ROOM) > 0 && ReadPatchEntryHeader(&patch->cursor, &entry) &&
        lstrcpynA(name, entry.path, PATH_ROOM) && IsSafeEntryPath(entry.path) &&
        !(entry.removal && IsMainFile(entry.path, job)))
        status = ApplyEntryBody(patch, &entry, rollbackDirectory, job);
    g_summaryStatus |= status;
    return status;
}
