// Copying, deleting and preparing directory trees. No result of a file operation
// stops these: each goes on with the next entry.
#ifndef MENDSMITH_PATCH_TREE_OPS_H
#define MENDSMITH_PATCH_TREE_OPS_H

// Copies every file below source onto target, overwriting files of the same relative path.
// Non-zero when every file was copied; 0 when one was not or source cannot be listed.
int CopyTree(const char* source, const char* target);

// Deletes every file and folder below directory, read-only ones too, then the directory.
// Non-zero when the directory itself was removed.
int DeleteTree(const char* directory);

// Creates every missing folder of root joined with relativePath, up to its last backslash.
void MakeParentDirectories(const char* relativePath, const char* root);

#endif
