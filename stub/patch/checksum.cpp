// File checksums over read-only mappings; the table comes from crc32.cpp.
#include "stub/patch/checksum.h"
#include "core/crc32.h"
#include "stub/patch/file_view.h"

DWORD CrcOfView(const struct FileView* view)
{
    // An empty file cannot be mapped; its checksum is that of no bytes, 0.
    return view->data != NULL ? CrcOfBuffer(view->data, view->size) : 0;
}

DWORD CrcOfOpenFile(HANDLE file)
{
    struct FileView view;
    (void)OpenFileView(file, &view);
    DWORD crc = CrcOfView(&view);
    CloseFileView(&view);
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
