// Files read through buffers of bounded size (see file_reader.h).
#include <stdlib.h>
#include <string.h>

#include "stub/patch/file_reader.h"

static unsigned char g_pipeBuffer[READ_BUFFER_SIZE]; // what PipeBytes hands on, a piece at a time

int ReadExactly(HANDLE file, uint32_t offset, void* buffer, uint32_t size)
{
    // A synchronous handle reads at the offset the structure names.
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = offset;
    DWORD got;
    return size == 0 || (ReadFile(file, buffer, size, &got, &at) && got == size);
}

int PipeBytes(HANDLE file, uint32_t offset, uint32_t length, DiffWriter write, void* context)
{
    while (length > 0) {
        uint32_t size = length < READ_BUFFER_SIZE ? length : READ_BUFFER_SIZE;
        if (!ReadExactly(file, offset, g_pipeBuffer, size))
            return 0;
        write(context, g_pipeBuffer, size);
        offset += size;
        length -= size;
    }
    return 1;
}

int StartPatchReader(struct PatchReader* patch, HANDLE file)
{
    patch->file = file;
    patch->size = GetFileSize(file, NULL);
    patch->cursor.at = patch->cursor.end = NULL;
    patch->cursor.beyond = patch->size;
    patch->capacity = READ_BUFFER_SIZE;
    patch->window = (unsigned char*)malloc(READ_BUFFER_SIZE);
    return patch->window != NULL;
}

uint32_t PatchPosition(const struct PatchReader* patch)
{
    return patch->size - (uint32_t)(patch->cursor.end - patch->cursor.at) - patch->cursor.beyond;
}

int FillPatchWindow(struct PatchReader* patch, uint32_t need)
{
    struct PatchCursor* cursor = &patch->cursor;
    uint32_t inMemory = (uint32_t)(cursor->end - cursor->at);
    uint32_t left = inMemory + cursor->beyond;
    if (need > left)
        need = left;
    if (inMemory >= need)
        return 1;
    // A body's head larger than the window (the controls of a difference body) grows it for the
    // rest of the run.
    if (need > patch->capacity) {
        unsigned char* grown = (unsigned char*)realloc(patch->window, need);
        if (grown == NULL)
            return -1;
        patch->window = grown;
        patch->capacity = need;
    }
    uint32_t size = left < patch->capacity ? left : patch->capacity;
    if (!ReadExactly(patch->file, patch->size - left, patch->window, size))
        return 0;
    cursor->at = patch->window;
    cursor->end = patch->window + size;
    cursor->beyond = left - size;
    return 1;
}
