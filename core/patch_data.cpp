// Bounded reader for Patch.dat entries (see patch_data.h).
#include "core/patch_data.h"
#include "core/constants.h"
#include "core/processor.h"
#include "core/references.h"

#include <string.h>

#ifdef PROCESSOR_MAY_HAVE_SSE2
#include <immintrin.h>
#endif

// A skip walk has no file to check copy ranges against.
static const uint32_t SOURCE_UNCHECKED = 0xFFFFFFFFu;

static uint32_t ReadU32(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint32_t InMemory(const struct PatchCursor* cursor)
{
    return cursor->at < cursor->end ? (uint32_t)(cursor->end - cursor->at) : 0;
}

// What is left of the data, in memory and beyond it.
static uint32_t Remaining(const struct PatchCursor* cursor)
{
    return InMemory(cursor) + cursor->beyond;
}

// Moves the cursor on by size bytes (at most what is left); past the bytes in memory it stops at
// their end and counts the rest off what lies beyond.
static void Consume(struct PatchCursor* cursor, uint32_t size)
{
    uint32_t inMemory = InMemory(cursor);
    if (size > inMemory) {
        cursor->beyond -= size - inMemory;
        size = inMemory;
    }
    cursor->at += size;
}

int ReadPatchEntryCount(struct PatchCursor* cursor, uint32_t* count)
{
    if (InMemory(cursor) < 4)
        return 0;
    *count = ReadU32(cursor->at) & ENTRY_COUNT_MASK;
    cursor->at += 4;
    return 1;
}

int ReadPatchEntryHeader(struct PatchCursor* cursor, struct PatchEntryHeader* header)
{
    if (InMemory(cursor) < 8)
        return 0;
    header->sourceCrc = ReadU32(cursor->at);
    header->targetCrc = ReadU32(cursor->at + 4);
    const unsigned char* path = cursor->at + 8;
    const unsigned char* nul = path;
    while (nul < cursor->end && *nul != 0)
        nul++;
    // The path must end inside the data and be followed by at least the body's first byte.
    if (cursor->end - nul < 2)
        return 0;
    header->path = (const char*)path;
    header->pathLength = (uint32_t)(nul - path);
    header->attached = nul[1] == BODY_ATTACHED;
    header->difference = nul[1] == BODY_DIFFERENCE;
    header->predicted = nul[1] == BODY_PREDICTED;
    header->removal = nul[1] == BODY_REMOVAL;
    cursor->at = nul + 1;
    return 1;
}

static int IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

int IsDeviceName(const char* start, const char* stop)
{
    const char* end = start;
    while (end < stop && *end != '.')
        end++;
    while (end > start && end[-1] == ' ')
        end--;
    int length = (int)(end - start);
    if (length == 4 && (start[3] < '1' || start[3] > '9'))
        return 0;
    if (length != 3 && length != 4)
        return 0;
    static const char NAMES[] = "CONPRNAUXNULCOMLPT";
    // The first four names stand alone; COM and LPT take a digit.
    for (int i = length == 3 ? 0 : 12; i < (length == 3 ? 12 : 18); i += 3)
        if ((start[0] & 0xDF) == NAMES[i] && (start[1] & 0xDF) == NAMES[i + 1] && (start[2] & 0xDF) == NAMES[i + 2])
            return 1;
    return 0;
}

// Windows strips a component's trailing dots and blanks, so one ending in either names
// another file than it seems (and "." and ".." end in a dot); a device name or a character
// that changes what the path means is refused too.
static int IsSafeComponent(const char* start, const char* stop)
{
    if (start == stop || stop[-1] == '.' || stop[-1] == ' ')
        return 0;
    for (const char* c = start; c < stop; c++) {
        unsigned char b = (unsigned char)*c;
        if (b < 0x20 || b == ':' || b == '*' || b == '?' || b == '"' || b == '<' || b == '>' || b == '|')
            return 0;
    }
    return !IsDeviceName(start, stop);
}

int IsSafeRelativePath(const char* path)
{
    const char* start = path;
    for (;;) {
        const char* stop = start;
        while (*stop != 0 && !IsSeparator(*stop))
            stop++;
        // Only a backslash separates components; a slash or a doubled backslash is refused.
        if (!IsSafeComponent(start, stop))
            return 0;
        if (*stop == 0)
            return 1;
        if (*stop == '/')
            return 0;
        start = stop + 1;
    }
}

int IsSafeEntryPath(const char* path)
{
    return path[0] == '\\' && IsSafeRelativePath(path + 1);
}

int ReadAttachedBody(struct PatchCursor* cursor, const unsigned char** data, uint32_t* size)
{
    if (InMemory(cursor) < 5 || cursor->at[0] != BODY_ATTACHED)
        return 0;
    uint32_t length = ReadU32(cursor->at + 1);
    if (Remaining(cursor) - 5 < length)
        return 0;
    *data = cursor->at + 5;
    *size = length;
    Consume(cursor, 5 + length);
    return 1;
}

int NextPatchOp(struct PatchCursor* cursor, uint32_t sourceSize, struct PatchOp* op)
{
    // The op's head lies in memory; a literal's bytes may run beyond it.
    uint32_t left = InMemory(cursor);
    if (left < 1)
        return PATCH_OP_INVALID;
    const unsigned char* at = cursor->at;
    op->kind = at[0];
    op->length = 0;
    op->sourceOffset = 0;
    op->literal = 0;
    switch (at[0]) {
    case OP_END:
        cursor->at += 1;
        return OP_END;
    case OP_COPY:
        if (left < OP_HEAD_MAX)
            return PATCH_OP_INVALID;
        op->length = ReadU32(at + 1);
        op->sourceOffset = ReadU32(at + 5);
        if (sourceSize != SOURCE_UNCHECKED &&
            (op->sourceOffset > sourceSize || sourceSize - op->sourceOffset < op->length))
            return PATCH_OP_INVALID;
        cursor->at += OP_HEAD_MAX;
        return OP_COPY;
    case OP_LITERAL:
        if (left < 5)
            return PATCH_OP_INVALID;
        op->length = ReadU32(at + 1);
        if (Remaining(cursor) - 5 < op->length)
            return PATCH_OP_INVALID;
        op->literal = at + 5;
        Consume(cursor, 5 + op->length);
        return OP_LITERAL;
    default:
        return PATCH_OP_INVALID;
    }
}

int SkipPatchOps(struct PatchCursor* cursor)
{
    struct PatchOp op;
    for (;;) {
        int kind = NextPatchOp(cursor, SOURCE_UNCHECKED, &op);
        if (kind == OP_END)
            return 1;
        if (kind == PATCH_OP_INVALID)
            return 0;
    }
}

int ReadDiffFields(struct PatchCursor* cursor, struct PatchDiffBody* body)
{
    uint32_t inMemory = InMemory(cursor);
    if (inMemory < DIFF_HEADER_SIZE - 1)
        return 0;
    const unsigned char* at = cursor->at;
    body->controlCount = ReadU32(at);
    body->differenceSize = ReadU32(at + 4);
    body->extraSize = ReadU32(at + 8);
    inMemory -= DIFF_HEADER_SIZE - 1;
    uint32_t left = Remaining(cursor) - (DIFF_HEADER_SIZE - 1);
    // Each size is checked against what is left, so no product or sum can overflow. The controls
    // are walked below, so they must lie in memory.
    if (body->controlCount > inMemory / DIFF_CONTROL_SIZE)
        return 0;
    left -= body->controlCount * DIFF_CONTROL_SIZE;
    inMemory -= body->controlCount * DIFF_CONTROL_SIZE;
    if (body->differenceSize > left)
        return 0;
    left -= body->differenceSize;
    if (body->extraSize > left)
        return 0;
    body->controls = at + DIFF_HEADER_SIZE - 1;
    body->difference = body->controls + body->controlCount * DIFF_CONTROL_SIZE;
    // No address past the bytes in memory is formed.
    body->extra = body->difference + (body->differenceSize < inMemory ? body->differenceSize : inMemory);
    // What is left of D and X for the controls still to come.
    uint32_t difference = body->differenceSize;
    uint32_t extra = body->extraSize;
    for (uint32_t i = 0; i < body->controlCount; i++) {
        struct PatchDiffControl control;
        ReadDiffControl(body, i, &control);
        if (control.addLength > difference || control.extraLength > extra)
            return 0;
        difference -= control.addLength;
        extra -= control.extraLength;
    }
    if (difference != 0 || extra != 0)
        return 0;
    Consume(cursor, (uint32_t)(body->difference - at) + body->differenceSize + body->extraSize);
    return 1;
}

int ReadDiffBody(struct PatchCursor* cursor, struct PatchDiffBody* body)
{
    if (InMemory(cursor) < 1 || cursor->at[0] != BODY_DIFFERENCE)
        return 0;
    struct PatchCursor fields = *cursor;
    fields.at++;
    if (!ReadDiffFields(&fields, body))
        return 0;
    *cursor = fields;
    return 1;
}

void ReadDiffControl(const struct PatchDiffBody* body, uint32_t index, struct PatchDiffControl* control)
{
    const unsigned char* at = body->controls + index * DIFF_CONTROL_SIZE;
    control->addLength = ReadU32(at);
    control->extraLength = ReadU32(at + 4);
    control->step = (int32_t)ReadU32(at + 8);
}

#ifdef PROCESSOR_MAY_HAVE_SSE2
// The sums of whole 16-byte blocks from the start; how many bytes that was.
__attribute__((target("sse2"))) static uint32_t AddBlocks(unsigned char* out, const unsigned char* a,
                                                          const unsigned char* b, uint32_t size)
{
    uint32_t i = 0;
    for (; size - i >= 16; i += 16) {
        __m128i sum = _mm_add_epi8(_mm_loadu_si128((const __m128i*)(a + i)), _mm_loadu_si128((const __m128i*)(b + i)));
        _mm_storeu_si128((__m128i*)(out + i), sum);
    }
    return i;
}
#endif

void AddDiffBytes(unsigned char* out, const unsigned char* a, const unsigned char* b, uint32_t size)
{
    uint32_t i = 0;
#ifdef PROCESSOR_MAY_HAVE_SSE2
    if (HasSse2())
        i = AddBlocks(out, a, b, size);
#endif
    for (; i < size; i++)
        out[i] = (unsigned char)(a[i] + b[i]);
}

const unsigned char* ReadDiffInMemory(void* source, int part, uint32_t offset, uint32_t size)
{
    (void)size;
    return ((const struct DiffInMemory*)source)->parts[part] + offset;
}

int ApplyDiffBody(const struct PatchDiffBody* body, const unsigned char* old, uint32_t oldSize, DiffWriter write,
                  void* context, const struct SlicePredictor* predictor)
{
    struct DiffInMemory memory = {{old, body->difference, body->extra}};
    return ApplyDiffBodyFrom(body, oldSize, ReadDiffInMemory, &memory, write, context, predictor);
}

// The add step writes through a small buffer: old bytes plus difference bytes, one slice at a
// time; the extra bytes go as they are read.
int ApplyDiffBodyFrom(const struct PatchDiffBody* body, uint32_t oldSize, DiffReader read, void* source,
                      DiffWriter write, void* context, const struct SlicePredictor* predictor)
{
    unsigned char slice[DIFF_SLICE];
    uint32_t position = 0, output = 0, difference = 0, extra = 0;
    uint32_t addRegions;
    // Every control is checked before the first byte is written: the old position then never
    // leaves [0, oldSize].
    if (!CheckDiffControls(body, oldSize, &addRegions))
        return 0;
    for (uint32_t i = 0; i < body->controlCount; i++) {
        struct PatchDiffControl control;
        ReadDiffControl(body, i, &control);
        for (uint32_t done = 0; done < control.addLength;) {
            uint32_t size = control.addLength - done < DIFF_SLICE ? control.addLength - done : DIFF_SLICE;
            const unsigned char* old = read(source, DIFF_PART_OLD, position + done, size);
            const unsigned char* add = read(source, DIFF_PART_DIFFERENCE, difference, size);
            if (old == NULL || add == NULL)
                return DIFF_READ_FAILED;
            if (predictor != NULL) {
                memcpy(slice, old, size);
                predictor->predict(predictor, position, output, control.addLength, position + done, size, slice);
                old = slice;
            }
            AddDiffBytes(slice, old, add, size);
            write(context, slice, size);
            difference += size;
            done += size;
        }
        position += control.addLength;
        output += control.addLength + control.extraLength;
        for (uint32_t done = 0; done < control.extraLength;) {
            uint32_t size = control.extraLength - done < DIFF_SLICE ? control.extraLength - done : DIFF_SLICE;
            const unsigned char* bytes = read(source, DIFF_PART_EXTRA, extra, size);
            if (bytes == NULL)
                return DIFF_READ_FAILED;
            write(context, bytes, size);
            extra += size;
            done += size;
        }
        position += (uint32_t)control.step;
    }
    return 1;
}

int CheckDiffControls(const struct PatchDiffBody* body, uint32_t oldSize, uint32_t* addRegions)
{
    uint32_t position = 0;
    *addRegions = 0;
    for (uint32_t i = 0; i < body->controlCount; i++) {
        struct PatchDiffControl control;
        ReadDiffControl(body, i, &control);
        if (control.addLength > oldSize - position)
            return 0;
        *addRegions += control.addLength > 0;
        position += control.addLength;
        // Unsigned arithmetic: a step of -2^31 is 2^31 bytes back, and p wraps past 0 only when refused.
        uint32_t step = (uint32_t)control.step;
        if (control.step < 0 ? 0u - step > position : step > oldSize - position)
            return 0;
        position += step;
    }
    return 1;
}

int SkipPatchBody(struct PatchCursor* cursor, const struct PatchEntryHeader* header)
{
    const unsigned char* data;
    uint32_t size;
    struct PatchDiffBody body;
    struct PatchPredictedBody predicted;
    if (header->attached)
        return ReadAttachedBody(cursor, &data, &size);
    if (header->difference)
        return ReadDiffBody(cursor, &body);
    if (header->predicted)
        return ReadPredictedBody(cursor, &predicted);
    // The header saw the kind byte inside the data, and a removal is that byte alone.
    if (header->removal) {
        cursor->at++;
        return 1;
    }
    return SkipPatchOps(cursor);
}
