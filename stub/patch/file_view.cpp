// Read-only views of whole files (see file_view.h).
#include "stub/patch/file_view.h"

int OpenFileView(HANDLE file, struct FileView* view)
{
    view->size = GetFileSize(file, NULL);
    view->mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
    view->data = (const unsigned char*)MapViewOfFile(view->mapping, FILE_MAP_READ, 0, 0, view->size);
    return view->data != NULL;
}

void CloseFileView(struct FileView* view)
{
    (void)UnmapViewOfFile(view->data);
    (void)CloseHandle(view->mapping);
}
