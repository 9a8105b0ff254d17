// Reading Patch.dat in place through a bounded cursor. Win32-free: the stub,
// the host format library and the fuzz targets all decode entries with it.
// No read ever leaves [cursor, end); every overrun is reported as a data error. The stub holds
// only a window of the data in memory: it makes each entry's head lie in the window before it
// reads it, and the reader takes sizes against all of the data, the window and what lies beyond.
#ifndef MENDSMITH_CORE_PATCH_DATA_H
#define MENDSMITH_CORE_PATCH_DATA_H

#include <stdint.h>

// A position in the patch data, the end of the bytes in memory, and how many bytes of the data
// follow them that are not in memory (none for a reader that holds all of it).
struct PatchCursor {
    const unsigned char* at;
    const unsigned char* end;
    uint32_t beyond = 0;
};

// The fixed part of a patch entry; path points into memory.
struct PatchEntryHeader {
    uint32_t sourceCrc;
    uint32_t targetCrc;
    const char* path;
    uint32_t pathLength;
    int attached;   // non-zero when the body is an attached file (kind byte 3)
    int difference; // non-zero when the body is a difference body (kind byte 4)
    int predicted;  // non-zero when the body is a predicted difference body (kind byte 5)
    int removal;    // non-zero when the body is a removal (kind byte 6, nothing after it)
};

// One op of an op list. literal points at the first byte of an OP_LITERAL's bytes, which end where
// the op leaves the cursor; all of them lie in memory only when the op ends before the cursor's end.
struct PatchOp {
    int kind;
    uint32_t length;
    uint32_t sourceOffset;
    const unsigned char* literal;
};

#define PATCH_OP_INVALID (-1)

// A difference body as it lies in the data. Once read, its controls' add and extra lengths
// are known to sum to differenceSize and extraSize, all of which lie inside the data. The
// controls lie in memory; difference and extra point at their bytes only when the whole body
// does, otherwise they end where the body leaves the cursor, extra bytes last.
struct PatchDiffBody {
    uint32_t controlCount;
    uint32_t differenceSize;
    uint32_t extraSize;
    const unsigned char* controls;
    const unsigned char* difference;
    const unsigned char* extra;
};

// One control: add addLength bytes of old plus difference, copy extraLength extra bytes, then
// move the old position by step.
struct PatchDiffControl {
    uint32_t addLength;
    uint32_t extraLength;
    int32_t step;
};

// Receives the result of a difference body piece by piece.
typedef void (*DiffWriter)(void* context, const unsigned char* data, uint32_t size);

// Where ApplyDiffBodyFrom reads size bytes (at most DIFF_SLICE) from offset on: in the old file,
// or among the body's difference or extra bytes. NULL when they cannot be read.
#define DIFF_PART_OLD 0
#define DIFF_PART_DIFFERENCE 1
#define DIFF_PART_EXTRA 2
typedef const unsigned char* (*DiffReader)(void* source, int part, uint32_t offset, uint32_t size);
#define DIFF_SLICE 32768u
#define DIFF_READ_FAILED (-2)

// Reads the entry count (low 16 bits) and leaves the cursor on the first entry; 0 if too short.
int ReadPatchEntryCount(struct PatchCursor* cursor, uint32_t* count);

// Reads both checksums and the NUL-terminated path, and looks at the body's first byte
// without consuming it. The cursor ends on the body. 0 when anything runs past the end.
int ReadPatchEntryHeader(struct PatchCursor* cursor, struct PatchEntryHeader* header);

// Non-zero when an entry path stays inside the destination directory once appended to it:
// one leading backslash, no empty component or one ending in a dot or blank, no device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without extension), no drive, colon, slash or
// control byte.
int IsSafeEntryPath(const char* path);

// Non-zero for a path component [start, stop) that Windows opens as a device in any folder and
// with any extension ("NUL.txt", "com1 .log"): CON, PRN, AUX, NUL, COM1-9, LPT1-9.
int IsDeviceName(const char* start, const char* stop);

// The same components without the leading backslash: a folder below the destination, such as
// [Path] BackupDirectory, which must not be empty, ".", absolute or climb out.
int IsSafeRelativePath(const char* path);

// Consumes an attached-file body (kind, size, data); 0 when it runs past the end.
int ReadAttachedBody(struct PatchCursor* cursor, const unsigned char** data, uint32_t* size);

// Reads the next op of an op list. Returns OP_END, OP_COPY or OP_LITERAL, or PATCH_OP_INVALID for
// an unknown op byte, a truncated op or a copy range outside a source of sourceSize bytes.
int NextPatchOp(struct PatchCursor* cursor, uint32_t sourceSize, struct PatchOp* op);

// Walks an op list to its end op without a source file; 0 on a data error.
int SkipPatchOps(struct PatchCursor* cursor);

// Consumes a difference body. 0 when its fields, controls or bytes run past the end, or when
// the add lengths do not sum to D or the extra lengths to X.
int ReadDiffBody(struct PatchCursor* cursor, struct PatchDiffBody* body);

// ReadDiffBody's work on a body's fields after its kind byte (C, D, X, controls, bytes), where
// the cursor stands; a predicted body holds them after its section table.
int ReadDiffFields(struct PatchCursor* cursor, struct PatchDiffBody* body);

// The checks that ApplyDiffBody makes before it writes: 0 when a control adds from beyond the
// old file or steps outside it. addRegions receives the number of controls that add bytes.
int CheckDiffControls(const struct PatchDiffBody* body, uint32_t oldSize, uint32_t* addRegions);

// out[i] = a[i] + b[i] mod 256; out may be a.
void AddDiffBytes(unsigned char* out, const unsigned char* a, const unsigned char* b, uint32_t size);

// Decodes control number index (below controlCount) of a body that ReadDiffBody accepted.
void ReadDiffControl(const struct PatchDiffBody* body, uint32_t index, struct PatchDiffControl* control);

// What a predicted body adds to the application of its controls: predict rewrites slice, which
// holds old's bytes [sliceFrom, sliceFrom + sliceSize) of the add region [from, from + length)
// that lands at new offset to, before the difference bytes are added to it.
struct SlicePredictor {
    void (*predict)(const struct SlicePredictor* self, uint32_t from, uint32_t to, uint32_t length, uint32_t sliceFrom,
                    uint32_t sliceSize, unsigned char* slice);
};

// Builds the new file from old (oldSize bytes; old may be NULL when empty) and a body that
// ReadDiffBody accepted and that lies in memory, handing the result to write in order;
// predictor is NULL for a difference body. 0 on a data error: a control that adds from beyond
// the old file or steps outside it, found before anything is written.
int ApplyDiffBody(const struct PatchDiffBody* body, const unsigned char* old, uint32_t oldSize, DiffWriter write,
                  void* context, const struct SlicePredictor* predictor);

// The old file and a body's difference and extra bytes in memory, as a source for ReadDiffInMemory.
struct DiffInMemory {
    const unsigned char* parts[3];
};
const unsigned char* ReadDiffInMemory(void* source, int part, uint32_t offset, uint32_t size);

// The same with the old file and the body's difference and extra bytes read through read, a
// slice at a time. DIFF_READ_FAILED when a read failed; the result is then cut short.
int ApplyDiffBodyFrom(const struct PatchDiffBody* body, uint32_t oldSize, DiffReader read, void* source,
                      DiffWriter write, void* context, const struct SlicePredictor* predictor);

// Moves the cursor past the body of the entry whose header was just read, whatever its kind,
// without a source file. 0 on a data error that shows without the old file.
int SkipPatchBody(struct PatchCursor* cursor, const struct PatchEntryHeader* header);

#endif
