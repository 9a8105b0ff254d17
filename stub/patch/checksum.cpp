// File checksums read through a buffer; the table comes from crc32.cpp.
#include "stub/patch/checksum.h"
#include "core/crc32.h"
#include "stub/patch/file_reader.h"

static void AddToCrc(void* context, const unsigned char* data, uint32_t size)
{
    *(uint32_t*)context = CrcUpdate(*(uint32_t*)context, data, size);
}

int CrcOfFileBytes(HANDLE file, DWORD size, DWORD* crc)
{
    uint32_t value = CRC_INITIAL;
    int read = PipeBytes(file, 0, size, AddToCrc, &value);
    *crc = ~value;
    return read;
}

DWORD CrcOfOpenFile(HANDLE file)
{
    DWORD crc;
    return CrcOfFileBytes(file, GetFileSize(file, NULL), &crc) ? crc : 0;
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
