// CRC-32 of whole files, read through a buffer of bounded size.
#ifndef MENDSMITH_PATCH_CHECKSUM_H
#define MENDSMITH_PATCH_CHECKSUM_H

#include <windows.h>

#include "stub/patch/file_reader.h"

// Checksum of every byte a reader reads into crc. 0 when a read failed.
int CrcOfReader(struct FileReader* reader, DWORD* crc);

// Checksum of the whole file behind a handle with read access; the handle stays the caller's.
// An empty file, or one that cannot be read, gives 0.
DWORD CrcOfOpenFile(HANDLE file);

// Opens the file without sharing, checksums it and closes it; 0 when it cannot be opened.
DWORD CrcOfFile(const char* path);

#endif
