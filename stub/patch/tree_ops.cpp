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

// Deleting walks a tree as copying does, with no target.
#define TREE_DELETE_FILES ((enum TreeFiles)2)

// Copies, moves or deletes what lies below source. For a copy or a move: non-zero when every file
// got there. For a deletion: non-zero when source itself was removed.
static int WalkTree(const char* source, const char* target, enum TreeFiles files)
{
    char pattern[PATH_ROOM];
    char from[PATH_ROOM];
    char to[PATH_ROOM];
    WIN32_FIND_DATAA found;
    int deleting = files == TREE_DELETE_FILES;
    HANDLE listing = JoinPath(pattern, source, "*.*") ? FindFirstFileA(pattern, &found) : INVALID_HANDLE_VALUE;
    int copied = listing != INVALID_HANDLE_VALUE;
    if (copied) {
        do {
            if (IsDotEntry(found.cFileName))
                continue;
            if (!JoinPath(from, source, found.cFileName) || (!deleting && !JoinPath(to, target, found.cFileName))) {
                copied = 0;
                continue;
            }
            DWORD attributes = found.dwFileAttributes;
            if (deleting) {
                if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                    // A link is removed as a link, never entered: the files behind it are not ours.
                    (void)(attributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryA(from) : DeleteFileA(from));
                } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                    (void)WalkTree(from, NULL, files);
                } else {
                    // Saved copies keep their sources' attributes; a read-only one must be made normal first.
                    (void)SetFileAttributesA(from, FILE_ATTRIBUTE_NORMAL);
                    (void)DeleteFileA(from);
                }
                continue;
            }
            // Only one level: the target's parent must exist. An empty source leaves no target.
            (void)CreateDirectoryA(target, NULL);
            // A link here was planted by another program: copying or moving through it would carry
            // the files it points at, so it is left where it is and the tree counts as not copied.
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                copied = 0;
            else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
                copied &= WalkTree(from, to, files);
            else if (files == TREE_MOVE_FILES)
                copied &= MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
            else
                copied &= CopyFileA(from, to, FALSE) != 0;
        } while (FindNextFileA(listing, &found));
        FindClose(listing);
    }
    return deleting ? source[0] != '\0' && RemoveDirectoryA(source) : copied;
}

int CopyTree(const char* source, const char* target, enum TreeFiles files)
{
    return WalkTree(source, target, files);
}

int DeleteTree(const char* directory)
{
    return WalkTree(directory, NULL, TREE_DELETE_FILES);
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
