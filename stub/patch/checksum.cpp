// File checksums read through a buffer; the table comes from crc32.cpp.
#include "stub/patch/checksum.h"
#include "core/crc32.h"

static void AddToCrc(void* context, const unsigned char* data, uint32_t size)
{
    *(uint32_t*)context = CrcUpdate(*(uint32_t*)context, data, size);
}

int CrcOfReader(struct FileReader* reader, DWORD* crc)
{
    uint32_t value = CRC_INITIAL;
    int read = PipeBytes(reader, 0, reader->size, AddToCrc, &value);
    *crc = ~value;
    return read;
}

DWORD CrcOfOpenFile(HANDLE file)
{
    struct FileReader reader;
    DWORD crc = 0;
    if (StartReader(&reader, file, 0, GetFileSize(file, NULL), READ_BUFFER_SIZE) && !CrcOfReader(&reader, &crc))
        crc = 0;
    EndReader(&reader);
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
