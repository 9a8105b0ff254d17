// CRC-32 of whole files, read through a read-only mapping.
#ifndef MENDSMITH_PATCH_CHECKSUM_H
#define MENDSMITH_PATCH_CHECKSUM_H

#include <windows.h>

#include "stub/patch/file_view.h"

// Checksum of the bytes a view holds: 0 for an empty file, which has no view.
DWORD CrcOfView(const struct FileView* view);

// Checksum of the whole file behind a handle with read access; the handle stays the caller's.
// An empty file, or one that cannot be mapped, gives 0.
DWORD CrcOfOpenFile(HANDLE file);

// Opens the file without sharing, checksums it and closes it; 0 when it cannot be opened.
DWORD CrcOfFile(const char* path);

#endif
