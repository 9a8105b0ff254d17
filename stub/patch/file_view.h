// A read-only view of a whole open file: the updater's own file, whose records are found and
// decompressed from it. Every other file is read through buffers (file_reader.h).
#ifndef MENDSMITH_PATCH_FILE_VIEW_H
#define MENDSMITH_PATCH_FILE_VIEW_H

#include <windows.h>

struct FileView {
    HANDLE mapping;
    const unsigned char* data; // NULL when the file is empty or could not be mapped
    DWORD size;                // low 32 bits of the file's size
};

// Maps the whole file behind a handle with read access; the handle stays the caller's.
// Non-zero when data points at the file's bytes.
int OpenFileView(HANDLE file, struct FileView* view);

// Unmaps the view, then closes the mapping.
void CloseFileView(struct FileView* view);

#endif
