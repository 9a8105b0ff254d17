// Files read through buffers of bounded size (see file_reader.h).
#include <stdlib.h>
#include <string.h>

#include "stub/patch/file_reader.h"

int StartReader(struct FileReader* reader, HANDLE file, uint32_t start, uint32_t size, uint32_t capacity)
{
    reader->file = file;
    reader->base = reader->length = 0;
    reader->start = start;
    reader->size = size;
    reader->capacity = size < capacity ? size : capacity;
    reader->data = (unsigned char*)malloc(reader->capacity + 1);
    return reader->data != NULL;
}

void EndReader(struct FileReader* reader)
{
    free(reader->data);
}

const unsigned char* ReadAt(struct FileReader* reader, uint32_t offset, uint32_t size)
{
    uint32_t into = offset - reader->base;
    if (into > reader->length || size > reader->length - into) {
        // A synchronous handle reads at the offset the structure names.
        OVERLAPPED at;
        memset(&at, 0, sizeof at);
        at.Offset = reader->start + offset;
        uint32_t count = reader->size - offset < reader->capacity ? reader->size - offset : reader->capacity;
        DWORD got;
        reader->base = offset;
        reader->length = 0;
        into = 0;
        if (!ReadFile(reader->file, reader->data, count, &got, &at) || got < size)
            return NULL;
        reader->length = got;
    }
    return reader->data + into;
}

int PipeBytes(struct FileReader* reader, uint32_t offset, uint32_t length, DiffWriter write, void* context)
{
    while (length > 0) {
        uint32_t size = length < reader->capacity ? length : reader->capacity;
        const unsigned char* bytes = ReadAt(reader, offset, size);
        if (bytes == NULL)
            return 0;
        write(context, bytes, size);
        offset += size;
        length -= size;
    }
    return 1;
}

int StartPatchReader(struct PatchReader* patch, HANDLE file)
{
    uint32_t size = GetFileSize(file, NULL);
    patch->cursor.at = patch->cursor.end = NULL;
    patch->cursor.beyond = size;
    return StartReader(&patch->window, file, 0, size, READ_BUFFER_SIZE);
}

uint32_t PatchPosition(const struct PatchReader* patch)
{
    return patch->window.size - (uint32_t)(patch->cursor.end - patch->cursor.at) - patch->cursor.beyond;
}

int FillPatchWindow(struct PatchReader* patch, uint32_t need)
{
    struct PatchCursor* cursor = &patch->cursor;
    struct FileReader* window = &patch->window;
    uint32_t inMemory = (uint32_t)(cursor->end - cursor->at);
    uint32_t left = inMemory + cursor->beyond;
    if (need > left)
        need = left;
    if (inMemory >= need)
        return 1;
    // A body's head larger than the window (the controls of a difference body, a predicted body
    // whole) grows it for the rest of the run.
    if (need > window->capacity) {
        unsigned char* grown = (unsigned char*)realloc(window->data, need);
        if (grown == NULL)
            return -1;
        window->data = grown;
        window->capacity = need;
    }
    const unsigned char* at = ReadAt(window, window->size - left, need);
    if (at == NULL)
        return 0;
    cursor->at = at;
    cursor->end = window->data + window->length;
    cursor->beyond = left - (uint32_t)(cursor->end - at);
    return 1;
}
