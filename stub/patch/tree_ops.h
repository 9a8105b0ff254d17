// Copying, deleting and preparing directory trees. No result of a file operation
// stops these: each goes on with the next entry.
#ifndef MENDSMITH_PATCH_TREE_OPS_H
#define MENDSMITH_PATCH_TREE_OPS_H

// What CopyTree does with each file of the source.
enum TreeFiles {
    TREE_COPY_FILES, // source unchanged; works across volumes
    TREE_MOVE_FILES, // renamed into place, needing no free space; copied and deleted from another volume
};

// Joins name, without its leading backslashes, to directory into joined (PATH_ROOM bytes) with
// exactly one backslash between them (none after a directory that ends with one, nor before an
// empty name). Returns 0, leaving joined untouched, when directory is empty or the result would
// be longer than MAX_PATH_CHARS.
int JoinPath(char* joined, const char* directory, const char* name);

// The last component of path: what follows its last backslash, slash or colon that is not at the
// end (of "a\\b\\", "b\\"); the whole path when there is none.
const char* FindFileName(const char* path);

// Reproduces source's folders below target and copies or moves each file into them, replacing
// files of the same relative path. Non-zero when every file got there; 0 when one did not or
// source cannot be listed.
int CopyTree(const char* source, const char* target, enum TreeFiles files);

// Deletes every file and folder below directory, read-only ones too, then the directory.
// Non-zero when the directory itself was removed.
int DeleteTree(const char* directory);

// Creates every missing folder of root joined with relativePath, up to its last backslash.
void MakeParentDirectories(const char* relativePath, const char* root);

#endif
