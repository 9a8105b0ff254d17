// Copying or moving, deleting and preparing directory trees. Each level of a recursion has
// its own buffers; an entry whose path would not fit in them is passed over.
#include <windows.h>
#include <string.h>

#include "core/constants.h"
#include "stub/patch/tree_ops.h"

int JoinPath(char* joined, const char* directory, const char* name)
{
    while (*name == '\\')
        name++;
    // Stepped through character by character: in a double-byte code page the second byte of a
    // character may be a backslash.
    const char* end = directory;
    const char* last = directory;
    for (; *end != '\0'; end = CharNextA(end))
        last = end;
    size_t length = end - directory;
    size_t separator = *name != '\0' && *last != '\\';
    if (length == 0 || length + separator + strlen(name) > MAX_PATH_CHARS)
        return 0;
    strcpy(joined, directory);
    // Overwritten by the name's first byte when no separator is wanted.
    joined[length] = '\\';
    strcpy(joined + length + separator, name);
    return 1;
}

const char* FindFileName(const char* path)
{
    const char* name = path;
    for (const char* at = path; *at != '\0'; at = CharNextA(at)) {
        // A separator at the end does not start a name: "a\\b\\" names "b\\".
        if ((*at == '\\' || *at == '/' || *at == ':') && at[1] != '\0' && at[1] != '\\' && at[1] != '/')
            name = at + 1;
    }
    return name;
}

static int IsDotEntry(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int CopyTree(const char* source, const char* target, enum TreeFiles files)
{
    char pattern[PATH_ROOM];
    char from[PATH_ROOM];
    char to[PATH_ROOM];
    WIN32_FIND_DATAA found;
    if (!JoinPath(pattern, source, "*.*"))
        return 0;
    HANDLE listing = FindFirstFileA(pattern, &found);
    if (listing == INVALID_HANDLE_VALUE)
        return 0;
    int copied = 1;
    do {
        if (IsDotEntry(found.cFileName))
            continue;
        if (!JoinPath(from, source, found.cFileName) || !JoinPath(to, target, found.cFileName)) {
            copied = 0;
            continue;
        }
        // Only one level: the target's parent must exist. An empty source leaves no target.
        (void)CreateDirectoryA(target, NULL);
        // A link here was planted by another program: copying or moving through it would carry
        // the files it points at, so it is left where it is and the tree counts as not copied.
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            copied = 0;
        else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            copied &= CopyTree(from, to, files);
        else if (files == TREE_MOVE_FILES)
            copied &= MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
        else
            copied &= CopyFileA(from, to, FALSE) != 0;
    } while (FindNextFileA(listing, &found));
    FindClose(listing);
    return copied;
}

int DeleteTree(const char* directory)
{
    char pattern[PATH_ROOM];
    char path[PATH_ROOM];
    WIN32_FIND_DATAA found;
    HANDLE listing = JoinPath(pattern, directory, "*.*") ? FindFirstFileA(pattern, &found) : INVALID_HANDLE_VALUE;
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            if (IsDotEntry(found.cFileName) || !JoinPath(path, directory, found.cFileName))
                continue;
            DWORD attributes = found.dwFileAttributes;
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // A link is removed as a link, never entered: the files behind it are not ours.
                (void)(attributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryA(path) : DeleteFileA(path));
            } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                (void)DeleteTree(path);
            } else {
                // Saved copies keep their sources' attributes; a read-only one must be made normal first.
                (void)SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
                (void)DeleteFileA(path);
            }
        } while (FindNextFileA(listing, &found));
        FindClose(listing);
    }
    return directory[0] != '\0' && RemoveDirectoryA(directory);
}

void MakeParentDirectories(const char* relativePath, const char* root)
{
    char path[PATH_ROOM];
    if (!JoinPath(path, root, relativePath))
        return;
    // Every folder from the top down to the last backslash; the last part, the file's name, is never
    // made. Prefixes that are no folder to make (a drive, a server, one that exists) just fail.
    for (char* at = path + 1; *at != '\0'; at++) {
        if (*at == '\\') {
            *at = '\0';
            (void)CreateDirectoryA(path, NULL);
            *at = '\\';
        }
    }
}
