// File checksums over read-only mappings; the table comes from crc32.cpp.
#include "patch/checksum.h"
#include "patch/crc32.h"

DWORD CrcOfOpenFile(HANDLE file)
{
    DWORD size = GetFileSize(file, NULL);
    if (size == 0 || size == INVALID_FILE_SIZE)
        return 0;
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
    if (mapping == NULL)
        return 0;
    DWORD crc = 0;
    const unsigned char* view = (const unsigned char*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
    if (view != NULL) {
        crc = CrcOfBuffer(view, size);
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return crc;
}

DWORD CrcOfFile(const char* path)
{
    // No sharing: nobody may change the file while it is read.
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD crc = CrcOfOpenFile(file);
    CloseHandle(file);
    return crc;
}
