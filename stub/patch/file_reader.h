// Reading files through buffers of bounded size: Patch.dat, the old file and the bytes a body
// hands over are read with ReadFile, never mapped whole, so that a file of any size the format
// can describe fits in a 32-bit process, and a read that fails is an answer, not an in-page error.
#ifndef MENDSMITH_PATCH_FILE_READER_H
#define MENDSMITH_PATCH_FILE_READER_H

#include <windows.h>
#include <stdint.h>

#include "core/patch_data.h"

// Bytes are handed on from a file through a buffer of this size; Patch.dat's window starts at it
// and grows only for a body's head (the controls of a difference body) that is larger.
#define READ_BUFFER_SIZE (4u << 20)

// Reads size bytes of file from offset on into buffer. 0 when they cannot all be read.
int ReadExactly(HANDLE file, uint32_t offset, void* buffer, uint32_t size);

// Hands length bytes of file from offset on to write, a buffer at a time. 0 when a read failed.
int PipeBytes(HANDLE file, uint32_t offset, uint32_t length, DiffWriter write, void* context);

// Patch.dat: the cursor over the window, which holds the bytes around it.
struct PatchReader {
    struct PatchCursor cursor;
    HANDLE file;
    uint32_t size;
    unsigned char* window;
    uint32_t capacity;
};

// Opens the cursor on the first byte of Patch.dat, open in file. 0 when no window can be had.
int StartPatchReader(struct PatchReader* patch, HANDLE file);

// Where the cursor stands in Patch.dat.
uint32_t PatchPosition(const struct PatchReader* patch);

// Makes at least need bytes from the cursor lie in memory, or all that is left: 1 when they do,
// 0 when they cannot be read, -1 when the window cannot grow to hold them (it is left as it was).
int FillPatchWindow(struct PatchReader* patch, uint32_t need);

#endif
