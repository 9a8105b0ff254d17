// CRC-32 of whole files, read through a buffer of bounded size.
#ifndef MENDSMITH_PATCH_CHECKSUM_H
#define MENDSMITH_PATCH_CHECKSUM_H

#include <windows.h>

// Checksum of the size bytes of the file behind a handle with read access into crc; the handle
// stays the caller's. 0 when a read failed.
int CrcOfFileBytes(HANDLE file, DWORD size, DWORD* crc);

// Checksum of the whole file behind a handle with read access. An empty file, or one that cannot
// be read, gives 0.
DWORD CrcOfOpenFile(HANDLE file);

// Opens the file without sharing, checksums it and closes it; 0 when it cannot be opened.
DWORD CrcOfFile(const char* path);

#endif
