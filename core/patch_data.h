// Reading Patch.dat in place through a bounded cursor. Win32-free: the stub,
// the host format library and the fuzz targets all decode entries with it.
// No read ever leaves [cursor, end); every overrun is reported as a data error.
#ifndef MENDSMITH_CORE_PATCH_DATA_H
#define MENDSMITH_CORE_PATCH_DATA_H

#include <stdint.h>

// A position in the mapped patch data and the end of the mapping.
struct PatchCursor {
    const unsigned char* at;
    const unsigned char* end;
};

// The fixed part of a patch entry; path points into the mapping.
struct PatchEntryHeader {
    uint32_t sourceCrc;
    uint32_t targetCrc;
    const char* path;
    uint32_t pathLength;
    int attached; // non-zero when the body is an attached file (kind byte 3)
};

// One op of an op list. literal points into the mapping for OP_LITERAL.
struct PatchOp {
    int kind;
    uint32_t length;
    uint32_t sourceOffset;
    const unsigned char* literal;
};

#define PATCH_OP_INVALID (-1)

// Reads the entry count (low 16 bits) and leaves the cursor on the first entry; 0 if too short.
int ReadPatchEntryCount(struct PatchCursor* cursor, uint32_t* count);

// Reads both checksums and the NUL-terminated path, and looks at the body's first byte
// without consuming it. The cursor ends on the body. 0 when anything runs past the end.
int ReadPatchEntryHeader(struct PatchCursor* cursor, struct PatchEntryHeader* header);

// Non-zero when an entry path stays inside the destination directory once appended to it:
// one leading backslash, no empty, "." or ".." component, no drive, colon, slash or control byte.
int IsSafeEntryPath(const char* path);

// Consumes an attached-file body (kind, size, data); 0 when it runs past the end.
int ReadAttachedBody(struct PatchCursor* cursor, const unsigned char** data, uint32_t* size);

// Reads the next op of an op list. Returns OP_END, OP_COPY or OP_LITERAL, or PATCH_OP_INVALID for
// an unknown op byte, a truncated op or a copy range outside a source of sourceSize bytes.
int NextPatchOp(struct PatchCursor* cursor, uint32_t sourceSize, struct PatchOp* op);

// Walks an op list to its end op without a source file; 0 on a data error.
int SkipPatchOps(struct PatchCursor* cursor);

#endif
