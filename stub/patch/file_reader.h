// Reading files through buffers of bounded size: Patch.dat, the old file and the bytes a body
// hands over are read with ReadFile, never mapped whole, so that a file of any size the format
// can describe fits in a 32-bit process, and a read that fails is an answer, not an in-page error.
#ifndef MENDSMITH_PATCH_FILE_READER_H
#define MENDSMITH_PATCH_FILE_READER_H

#include <windows.h>
#include <stdint.h>

#include "core/patch_data.h"

// The largest buffer a reader takes: with the window over Patch.dat, the old file's and the
// difference and extra bytes' buffers, a run reads through 16 MiB, plus the controls of one
// difference body (12 bytes each) where they outgrow the window's 4 MiB.
#define READ_BUFFER_SIZE (4u << 20)

// size bytes of a file from offset start on, read through one buffer.
struct FileReader {
    HANDLE file;
    unsigned char* data; // capacity bytes
    uint32_t capacity;
    uint32_t start;
    uint32_t size;
    uint32_t base;   // the offset (from start) of data[0]
    uint32_t length; // bytes of the file in data
};

// Patch.dat: the cursor over the window, whose reader holds the bytes around it.
struct PatchReader {
    struct PatchCursor cursor;
    struct FileReader window;
};

// Takes a buffer of capacity bytes, or of size + 1 when that is less. 0 when it cannot be had.
int StartReader(struct FileReader* reader, HANDLE file, uint32_t start, uint32_t size, uint32_t capacity);

// Frees the buffer; the file stays the caller's.
void EndReader(struct FileReader* reader);

// Points at size bytes (at most the capacity) from offset on, reading them into the buffer unless
// they are there already. NULL when they cannot be read.
const unsigned char* ReadAt(struct FileReader* reader, uint32_t offset, uint32_t size);

// Hands length bytes from offset on to write, a buffer at a time. 0 when a read failed.
int PipeBytes(struct FileReader* reader, uint32_t offset, uint32_t length, DiffWriter write, void* context);

// Opens the cursor on the first byte of Patch.dat, open in file. 0 when no buffer can be had.
int StartPatchReader(struct PatchReader* patch, HANDLE file);

// Where the cursor stands in Patch.dat.
uint32_t PatchPosition(const struct PatchReader* patch);

// Makes at least need bytes from the cursor lie in memory, or all that is left: 1 when they do,
// 0 when they cannot be read, -1 when the window cannot grow to hold them (it is left as it was).
int FillPatchWindow(struct PatchReader* patch, uint32_t need);

#endif
