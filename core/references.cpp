// Reference finder, projection and kind-5 application (see references.h).
#include "core/references.h"
#include "core/constants.h"
#include "core/processor.h"

#include <stdlib.h>
#include <string.h>

// A build for checking the scan may try every position, which must find the same fields.
#ifndef REFERENCE_SCAN_EVERY_POSITION
#define REFERENCE_SCAN_EVERY_POSITION 0
#endif

// The scan looks for its marks sixteen bytes at a time where the processor has SSE2.
#if defined(PROCESSOR_MAY_HAVE_SSE2) && !REFERENCE_SCAN_EVERY_POSITION
#include <immintrin.h>
#define REFERENCE_SCAN_SSE2 1
#endif

static uint32_t U16(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}

static uint32_t U32(const unsigned char* p)
{
    return U16(p) | U16(p + 2) << 16;
}

static uint64_t U64(const unsigned char* p)
{
    return (uint64_t)U32(p) | (uint64_t)U32(p + 4) << 32;
}

static int SectionKeyOrder(const void* a, const void* b, int byRva)
{
    const struct PeSection* x = (const struct PeSection*)a;
    const struct PeSection* y = (const struct PeSection*)b;
    uint32_t kx = byRva ? x->rva : x->offset;
    uint32_t ky = byRva ? y->rva : y->offset;
    if (kx != ky)
        return kx < ky ? -1 : 1;
    return x->order < y->order ? -1 : x->order > y->order;
}

static int ByOffset(const void* a, const void* b)
{
    return SectionKeyOrder(a, b, 0);
}

static int ByRva(const void* a, const void* b)
{
    return SectionKeyOrder(a, b, 1);
}

void SortSections(struct PeSection* sections, uint32_t count, int byRva)
{
    qsort(sections, count, sizeof *sections, byRva ? ByRva : ByOffset);
}

const struct PeSection* FindSectionNear(const struct PeSection* sorted, uint32_t count, uint32_t x, int byRva,
                                        struct SectionCache* cache)
{
    // The same section answers for every x from its key up to the next greater key.
    if (cache->section == NULL || x - cache->low >= cache->high - cache->low) {
        // The first section whose key lies above x; the one before it is the candidate.
        uint32_t low = 0, high = count;
        while (low < high) {
            uint32_t middle = low + (high - low) / 2;
            if ((byRva ? sorted[middle].rva : sorted[middle].offset) <= x)
                low = middle + 1;
            else
                high = middle;
        }
        if (low == 0)
            return NULL;
        cache->section = &sorted[low - 1];
        cache->low = byRva ? cache->section->rva : cache->section->offset;
        // 0 stands for 2^32 past the last key.
        cache->high = low < count ? (byRva ? sorted[low].rva : sorted[low].offset) : 0;
    }
    return x - cache->low < cache->section->size ? cache->section : NULL;
}

int ReadPeLayout(const unsigned char* file, uint32_t size, struct PeLayout* layout)
{
    if (size < 0x40 || file[0] != 'M' || file[1] != 'Z')
        return 0;
    uint32_t pe = U32(file + 0x3C);
    if (pe > size || size - pe < 26 || memcmp(file + pe, "PE\0\0", 4) != 0)
        return 0;
    uint32_t machine = U16(file + pe + 4);
    uint32_t count = U16(file + pe + 6);
    uint32_t optionalSize = U16(file + pe + 20);
    uint32_t optional = pe + 24;
    if (count > PE_MAX_SECTIONS || size - optional < optionalSize || size - optional - optionalSize < count * 40)
        return 0;
    uint32_t magic = U16(file + optional);
    uint32_t directories;
    if (machine == 0x14C && magic == 0x10B && optionalSize >= 96) {
        layout->wide = 0;
        layout->imageBase = U32(file + optional + 28);
        directories = 96;
    } else if (machine == 0x8664 && magic == 0x20B && optionalSize >= 112) {
        layout->wide = 1;
        layout->imageBase = U64(file + optional + 24);
        directories = 112;
    } else {
        return 0;
    }
    // The relocation table is directory 5, if the header has room for it and says it has it.
    layout->relocRva = layout->relocSize = 0;
    if (U32(file + optional + directories - 4) > 5 && optionalSize >= directories + 48) {
        layout->relocRva = U32(file + optional + directories + 40);
        layout->relocSize = U32(file + optional + directories + 44);
    }
    const unsigned char* header = file + optional + optionalSize;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; i++, header += 40) {
        struct PeSection s;
        s.rva = U32(header + 12);
        s.size = U32(header + 16);
        s.offset = U32(header + 20);
        s.order = i;
        s.executable = (U32(header + 36) & 0x20000000u) != 0;
        if (s.offset + s.size < s.offset || s.rva + s.size < s.rva)
            return 0;
        if (s.size != 0)
            layout->byOffset[kept++] = s;
    }
    layout->sectionCount = kept;
    memcpy(layout->byRva, layout->byOffset, kept * sizeof(struct PeSection));
    SortSections(layout->byOffset, kept, 0);
    SortSections(layout->byRva, kept, 1);
    return 1;
}

static int ByLocation(const void* a, const void* b)
{
    const struct PeReference* x = (const struct PeReference*)a;
    const struct PeReference* y = (const struct PeReference*)b;
    if (x->location != y->location)
        return x->location < y->location ? -1 : 1;
    return (int)x->width - (int)y->width;
}

// Appends one reference to a list that grows as it fills; 0 when its memory could not be had.
static int Append(struct PeReferences* list, uint32_t location, uint32_t kind, uint32_t width, uint32_t end)
{
    if (list->count == list->capacity) {
        uint32_t grown = list->capacity / 2 * 3 + 4096;
        struct PeReference* items = (struct PeReference*)realloc(list->items, grown * sizeof(struct PeReference));
        if (items == NULL)
            return 0;
        list->items = items;
        list->capacity = grown;
    }
    struct PeReference* r = &list->items[list->count++];
    r->location = location;
    r->kind = (uint8_t)kind;
    r->width = (uint8_t)width;
    r->end = (uint8_t)end;
    return 1;
}

// Walks the relocation table into out. The table must lie within one section's file bytes and the
// file; a block shorter than its 8-byte head or longer than what is left ends the walk. 0 when
// the memory for the list could not be had.
static int WalkRelocations(const unsigned char* file, uint32_t size, const struct PeLayout* layout,
                           struct PeReferences* out)
{
    struct SectionCache cache = {0, 0, NULL};
    const struct PeSection* s = FindSectionNear(layout->byRva, layout->sectionCount, layout->relocRva, 1, &cache);
    uint32_t tableSize = layout->relocSize;
    if (s == NULL || s->rva + s->size - layout->relocRva < tableSize)
        return 1;
    uint32_t table = s->offset + (layout->relocRva - s->rva);
    if (table > size || size - table < tableSize)
        return 1;
    for (uint32_t at = 0; tableSize - at >= 8;) {
        uint32_t page = U32(file + table + at);
        uint32_t block = U32(file + table + at + 4);
        if (block < 8 || block > tableSize - at)
            break;
        for (uint32_t e = at + 8; e + 2 <= at + block; e += 2) {
            uint32_t entry = U16(file + table + e);
            uint32_t width = entry >> 12 == 3 ? 4 : entry >> 12 == 10 ? 8 : 0;
            if (width == 0)
                continue;
            uint32_t rva = page + (entry & 0xFFFu);
            const struct PeSection* in = FindSectionNear(layout->byRva, layout->sectionCount, rva, 1, &cache);
            if (in == NULL || in->rva + in->size - rva < width)
                continue;
            uint32_t location = in->offset + (rva - in->rva);
            if (location > size || size - location < width)
                continue;
            if (!Append(out, location, REFERENCE_ABSOLUTE, width, 0))
                return 0;
        }
        at += block;
    }
    return 1;
}

// Opcodes whose ModRM byte with mod 00 and r/m 101 addresses memory relative to the next
// instruction, one bit each: after no 0F (with an 8-bit immediate for 80, 83, C6) and after 0F.
static const unsigned char RIP_OPCODES[32] = {0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x00, 0x00, 0x00,
                                              0x00, 0x08, 0x00, 0x00, 0x00, 0xA9, 0x2A, 0x00, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};
static const unsigned char RIP_OPCODES_0F[32] = {0x00, 0x00, 0x03, 0x00, 0x00, 0xC3, 0x00, 0x00, 0x00, 0x00, 0x92,
                                                 0x53, 0x00, 0xC0, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,
                                                 0xC0, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

static int HasBit(const unsigned char* set, uint32_t byte)
{
    return set[byte >> 3] >> (byte & 7) & 1;
}

enum { MARK_OPCODE = 1, MARK_OPERAND = 2 };

// A candidate field at d[i..stop): its offset past i, its kind and where its instruction ends;
// 0 when none starts at i.
static uint32_t Candidate(const unsigned char* d, uint32_t i, uint32_t stop, int wide, uint8_t* kind, uint8_t* end)
{
    *kind = REFERENCE_REL32;
    *end = 4;
    if (d[i] == 0xE8 || d[i] == 0xE9)
        return 1;
    if (stop - i < 2)
        return 0;
    if (d[i] == 0x0F && (d[i + 1] & 0xF0) == 0x80)
        return 2;
    if (!wide)
        return 0;
    *kind = REFERENCE_RIP;
    uint32_t j = i + ((d[i] & 0xF0) == 0x40);
    // The operand's ModRM byte follows a one-byte or a two-byte opcode: most bytes are rejected
    // here, whatever the opcode.
    if (stop - j < 3 || ((d[j + 1] & 0xC7) != 0x05 && (d[j + 2] & 0xC7) != 0x05))
        return 0;
    uint32_t modrm;
    if (d[j] == 0x0F && HasBit(RIP_OPCODES_0F, d[j + 1])) {
        modrm = j + 2;
    } else if (HasBit(RIP_OPCODES, d[j])) {
        modrm = j + 1;
        if (d[j] == 0xFF && d[modrm] != 0x15 && d[modrm] != 0x25 && d[modrm] != 0x35)
            return 0;
        *end = (uint8_t)(4 + (d[j] == 0x80 || d[j] == 0x83 || d[j] == 0xC6));
    } else {
        return 0;
    }
    if ((d[modrm] & 0xC7) != 0x05)
        return 0;
    return modrm + 1 - i;
}

#ifdef REFERENCE_SCAN_SSE2
// The first mark from m on (a branch opcode, or where wide an operand's ModRM byte), or the first
// of the last 15 bytes before stop, where the table goes on.
__attribute__((target("sse2"))) static uint32_t SkipToMark(const unsigned char* file, uint32_t m, uint32_t stop,
                                                           int wide)
{
    const __m128i high7 = _mm_set1_epi8((char)0xFE), call = _mm_set1_epi8((char)0xE8), escape = _mm_set1_epi8(0x0F);
    const __m128i modrm = _mm_set1_epi8((char)0xC7), relative = _mm_set1_epi8(0x05);
    for (; stop - m >= 16; m += 16) {
        __m128i v = _mm_loadu_si128((const __m128i*)(file + m));
        __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(v, high7), call), _mm_cmpeq_epi8(v, escape));
        if (wide)
            hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_and_si128(v, modrm), relative));
        unsigned bits = (unsigned)_mm_movemask_epi8(hit);
        if (bits != 0)
            return m + (uint32_t)__builtin_ctz(bits);
    }
    return m;
}
#endif

// Scans the executable sections in file order, each from where the one before ended, and appends
// the accepted fields to out, whose first relocCount items are the relocations, sorted. 0 when
// the memory for the list could not be had.
static int ScanCode(const unsigned char* file, uint32_t size, const struct PeLayout* layout, uint32_t relocCount,
                    struct PeReferences* out)
{
    uint32_t r = 0, scanned = 0;
    // Branches mostly point into code and operands into data: each kind remembers its own section.
    struct SectionCache here = {0, 0, NULL}, there[2] = {{0, 0, NULL}, {0, 0, NULL}};
    // The bytes that can begin a candidate; and the marks, bytes without which no candidate starts
    // near them: a branch opcode (MARK_OPCODE) begins its own candidate, and in 64-bit code a ModRM
    // byte of an operand relative to the next instruction (MARK_OPERAND) may end the opcode of one
    // that starts one to three bytes before it. The scan steps from mark to mark and tries only
    // the positions they allow, in file order.
    unsigned char starts[256], marks[256];
    uint32_t reach = layout->wide ? 3 : 0;
#ifdef REFERENCE_SCAN_SSE2
    int sse2 = HasSse2();
#endif
    for (uint32_t b = 0; b < 256; b++) {
        starts[b] = b == 0xE8 || b == 0xE9 || b == 0x0F ||
                    (layout->wide && ((b & 0xF0) == 0x40 || HasBit(RIP_OPCODES, b)));
        marks[b] = REFERENCE_SCAN_EVERY_POSITION || (layout->wide && (b & 0xC7) == 0x05) ? MARK_OPERAND
                   : b == 0xE8 || b == 0xE9 || b == 0x0F                                 ? MARK_OPCODE
                                                                                         : 0;
    }
    for (uint32_t k = 0; k < layout->sectionCount; k++) {
        const struct PeSection* s = &layout->byOffset[k];
        uint32_t stop = s->offset + s->size < size ? s->offset + s->size : size;
        uint32_t i = s->offset > scanned ? s->offset : scanned;
        if (!s->executable || i >= stop)
            continue;
        for (uint32_t mark = i; i < stop;) {
            if (i > mark) {
                mark = i;
#ifdef REFERENCE_SCAN_SSE2
                if (sse2)
                    mark = SkipToMark(file, mark, stop, layout->wide);
#endif
                for (; mark < stop && !marks[file[mark]]; mark++)
                    ;
                // An opcode's candidate starts at the mark itself: a REX prefix before a 0F gives
                // the same field as the 0F alone, so the byte before it need not be tried.
                uint32_t back = mark < stop && marks[file[mark]] == MARK_OPERAND ? reach : 0;
                if (i + back < mark)
                    i = mark - back;
            }
            if (i >= stop)
                break;
            if (!starts[file[i]]) {
                i++;
                continue;
            }
            uint8_t kind, end;
            uint32_t field = i + Candidate(file, i, stop, layout->wide, &kind, &end);
            if (field == i || stop - field < 4) {
                i++;
                continue;
            }
            // The list moves as it grows: the relocations are looked at where it is now.
            const struct PeReference* reloc = out->items;
            while (r < relocCount && reloc[r].location + reloc[r].width <= field)
                r++;
            const struct PeSection* at = FindSectionNear(layout->byOffset, layout->sectionCount, field, 0, &here);
            uint32_t target = at == NULL ? 0 : at->rva + (field - at->offset) + end + U32(file + field);
            const struct PeSection* into =
                FindSectionNear(layout->byRva, layout->sectionCount, target, 1, &there[kind == REFERENCE_REL32]);
            if (at == NULL || into == NULL || (kind == REFERENCE_REL32 && !into->executable) ||
                (r < relocCount && reloc[r].location < field + 4)) {
                i++;
                continue;
            }
            if (!Append(out, field, kind, 4, end))
                return 0;
            i = field + 4;
        }
        scanned = stop;
    }
    return 1;
}

int FindPeReferences(const unsigned char* file, uint32_t size, const struct PeLayout* layout,
                     struct PeReferences* references)
{
    memset(references, 0, sizeof *references);
    int found = WalkRelocations(file, size, layout, references);
    struct PeReference* relocs = references->items;
    // Without relocations the list has no memory yet, which qsort and memcpy must not be given.
    if (relocs != NULL)
        qsort(relocs, references->count, sizeof *relocs, ByLocation);
    // Of relocations that overlap, the first in file order stays.
    uint32_t kept = 0;
    for (uint32_t i = 0; i < references->count; i++)
        if (kept == 0 || relocs[i].location >= relocs[kept - 1].location + relocs[kept - 1].width)
            relocs[kept++] = relocs[i];
    references->count = kept;
    // The accepted fields, found in file order after the relocations, overlap none of them: the
    // relocations, set aside, are merged with them from the front of the list.
    found = found && ScanCode(file, size, layout, kept, references);
    struct PeReference* aside = found ? (struct PeReference*)malloc(kept * sizeof *aside + 1) : NULL;
    found = aside != NULL;
    if (found && kept > 0) {
        struct PeReference* items = references->items;
        memcpy(aside, items, kept * sizeof *aside);
        for (uint32_t r = 0, f = kept, k = 0; r < kept; k++)
            items[k] = f < references->count && items[f].location < aside[r].location ? items[f++] : aside[r++];
    }
    free(aside);
    if (!found) {
        free(references->items);
        memset(references, 0, sizeof *references);
    }
    return found;
}

static int ByFrom(const void* a, const void* b)
{
    const struct AddRegion* x = (const struct AddRegion*)a;
    const struct AddRegion* y = (const struct AddRegion*)b;
    if (x->from != y->from)
        return x->from < y->from ? -1 : 1;
    return x->order < y->order ? -1 : 1;
}

// Non-zero when region a takes an offset over from region b: the longer, then the earlier.
static int Outranks(const struct AddRegion* regions, uint32_t a, uint32_t b)
{
    if (regions[a].length != regions[b].length)
        return regions[a].length > regions[b].length;
    return regions[a].order < regions[b].order;
}

static void HeapPush(uint32_t* heap, uint32_t* size, const struct AddRegion* regions, uint32_t region)
{
    uint32_t at = (*size)++;
    while (at > 0 && Outranks(regions, region, heap[(at - 1) / 2])) {
        heap[at] = heap[(at - 1) / 2];
        at = (at - 1) / 2;
    }
    heap[at] = region;
}

static void HeapPop(uint32_t* heap, uint32_t* size, const struct AddRegion* regions)
{
    uint32_t last = heap[--*size];
    uint32_t at = 0;
    for (;;) {
        uint32_t child = 2 * at + 1;
        if (child >= *size)
            break;
        if (child + 1 < *size && Outranks(regions, heap[child + 1], heap[child]))
            child++;
        if (!Outranks(regions, heap[child], last))
            break;
        heap[at] = heap[child];
        at = child;
    }
    heap[at] = last;
}

static uint32_t RegionEnd(const struct AddRegion* regions, uint32_t region)
{
    return regions[region].from + regions[region].length;
}

int BuildProjection(struct AddRegion* regions, uint32_t count, struct Projection* projection)
{
    projection->regions = regions;
    projection->regionCount = count;
    projection->segmentCount = 0;
    qsort(regions, count, sizeof *regions, ByFrom);
    uint32_t* heap = (uint32_t*)malloc(count * sizeof(uint32_t) + 1);
    projection->segments =
        (struct ProjectionSegment*)malloc((2 * (size_t)count + 1) * sizeof(struct ProjectionSegment));
    if (heap == NULL || projection->segments == NULL) {
        free(heap);
        return 0;
    }
    // A sweep over the starts and the ends of the best open region: at each, the best region
    // still open takes over up to the next. A region that closed under a better one leaves the
    // heap when it comes to the top.
    uint32_t next = 0, open = 0;
    while (next < count || open > 0) {
        uint32_t x;
        if (next < count && (open == 0 || regions[next].from <= RegionEnd(regions, heap[0]))) {
            x = regions[next].from;
            for (; next < count && regions[next].from == x; next++)
                HeapPush(heap, &open, regions, next);
        } else {
            x = RegionEnd(regions, heap[0]);
        }
        while (open > 0 && RegionEnd(regions, heap[0]) <= x)
            HeapPop(heap, &open, regions);
        uint32_t region = open > 0 ? heap[0] : PROJECT_NONE;
        uint32_t last = projection->segmentCount;
        if (last == 0 || projection->segments[last - 1].region != region) {
            projection->segments[last].start = x;
            projection->segments[last].region = region;
            projection->segmentCount++;
        }
    }
    free(heap);
    return 1;
}

void FreeProjection(struct Projection* projection)
{
    free(projection->regions);
    free(projection->segments);
    projection->regions = NULL;
    projection->segments = NULL;
}

int Project(const struct Projection* projection, uint32_t o, uint32_t* n)
{
    uint32_t low = 0, high = projection->segmentCount;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (projection->segments[middle].start <= o)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0 || projection->segments[low - 1].region == PROJECT_NONE)
        return 0;
    const struct AddRegion* r = &projection->regions[projection->segments[low - 1].region];
    *n = r->to + (o - r->from);
    return 1;
}

int ReadPredictedBody(struct PatchCursor* cursor, struct PatchPredictedBody* body)
{
    const unsigned char* at = cursor->at;
    uint32_t left = cursor->at < cursor->end ? (uint32_t)(cursor->end - cursor->at) : 0;
    if (left < PREDICTED_HEADER_SIZE || at[0] != BODY_PREDICTED || (at[1] & ~REFERENCE_KINDS) != 0)
        return 0;
    body->flags = at[1];
    body->sectionCount = U16(at + 2);
    body->imageBase = U64(at + 4);
    body->sections = at + PREDICTED_HEADER_SIZE;
    if (body->sectionCount > (left - PREDICTED_HEADER_SIZE) / PREDICTED_SECTION_SIZE)
        return 0;
    for (uint32_t i = 0; i < body->sectionCount; i++) {
        const unsigned char* s = body->sections + i * PREDICTED_SECTION_SIZE;
        if (U32(s) + U32(s + 4) < U32(s))
            return 0;
    }
    // The difference and extra bytes may lie beyond the bytes in memory.
    struct PatchCursor rest = {body->sections + body->sectionCount * PREDICTED_SECTION_SIZE, cursor->end,
                               cursor->beyond};
    if (!ReadDiffFields(&rest, &body->diff))
        return 0;
    *cursor = rest;
    return 1;
}

// The RVA of new offset x by the body's section table, sorted by offset.
static int NewRva(const struct PeSection* sections, uint32_t count, uint32_t x, uint32_t* rva,
                  struct SectionCache* cache)
{
    const struct PeSection* s = FindSectionNear(sections, count, x, 0, cache);
    if (s == NULL)
        return 0;
    *rva = s->rva + (x - s->offset);
    return 1;
}

// What the prediction needs while the controls are applied; ApplyDiffBody calls the hook.
struct Predictor {
    struct SlicePredictor hook;
    const unsigned char* old;
    struct PeLayout layout;
    struct PeReferences references;
    struct Projection projection;
    struct PeSection* newSections;
    uint32_t newCount;
    uint64_t newBase;
    uint32_t flags;
};

// The sections that the lookups of consecutive predictions found: a program's references mostly
// lie in one section and point into a few.
struct PredictionCaches {
    struct SectionCache field, target, newTarget, newField;
};

// Puts the new bytes of reference r, when its field's first byte lands at new offset q, into the
// bytes of out that hold old's [outFrom, outFrom + outSize); nothing when there is no prediction.
static void Predict(const struct Predictor* p, const struct PeReference* r, uint32_t q, unsigned char* out,
                    uint32_t outFrom, uint32_t outSize, struct PredictionCaches* caches)
{
    const struct PeLayout* layout = &p->layout;
    const unsigned char* field = p->old + r->location;
    int absolute = r->kind == REFERENCE_ABSOLUTE;
    uint64_t target;
    uint32_t n, rva, here = 0;
    if (absolute) {
        uint64_t address = r->width == 8 ? U64(field) : U32(field);
        target = (address - layout->imageBase) & (r->width == 8 ? ~(uint64_t)0 : 0xFFFFFFFFu);
    } else {
        // A field relative to its instruction's end, which lands at new offset q + end.
        const struct PeSection* at =
            FindSectionNear(layout->byOffset, layout->sectionCount, r->location, 0, &caches->field);
        if (at == NULL || !NewRva(p->newSections, p->newCount, q, &here, &caches->newField))
            return;
        target = (uint32_t)(at->rva + (r->location - at->offset) + r->end + U32(field));
        here += r->end;
    }
    const struct PeSection* s =
        FindSectionNear(layout->byRva, layout->sectionCount, (uint32_t)target, 1, &caches->target);
    if (target > 0xFFFFFFFFu || s == NULL || !Project(&p->projection, s->offset + ((uint32_t)target - s->rva), &n) ||
        !NewRva(p->newSections, p->newCount, n, &rva, &caches->newTarget))
        return;
    uint64_t value = absolute ? rva + p->newBase : (uint32_t)(rva - here);
    for (uint32_t i = 0; i < r->width; i++, value >>= 8)
        if (r->location + i - outFrom < outSize)
            out[r->location + i - outFrom] = (unsigned char)value;
}

// The first reference whose field begins at or after location.
static uint32_t FirstReferenceFrom(const struct PeReferences* references, uint32_t location)
{
    uint32_t low = 0, high = references->count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (references->items[middle].location < location)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// Puts the predictions of the references wholly within [from, from + length) of old, landing at
// new offset to, into slice, which holds old's bytes [sliceFrom, sliceFrom + sliceSize).
static void PredictSlice(const struct SlicePredictor* hook, uint32_t from, uint32_t to, uint32_t length,
                         uint32_t sliceFrom, uint32_t sliceSize, unsigned char* slice)
{
    const struct Predictor* p = (const struct Predictor*)hook;
    const struct PeReferences* references = &p->references;
    struct PredictionCaches caches;
    memset(&caches, 0, sizeof caches);
    uint32_t first = sliceFrom >= 7 && sliceFrom - 7 > from ? sliceFrom - 7 : from;
    for (uint32_t k = FirstReferenceFrom(references, first); k < references->count; k++) {
        const struct PeReference* r = &references->items[k];
        if (r->location >= sliceFrom + sliceSize || length < r->width || r->location - from > length - r->width)
            break;
        if (r->location + r->width > sliceFrom && (p->flags & r->kind) != 0)
            Predict(p, r, to + (r->location - from), slice, sliceFrom, sliceSize, &caches);
    }
}

// The body's section table as sections sorted by offset; NULL when its memory could not be had.
static struct PeSection* ReadNewSections(const unsigned char* table, uint32_t count)
{
    struct PeSection* sections = (struct PeSection*)malloc(count * sizeof(struct PeSection) + 1);
    if (sections == NULL)
        return NULL;
    for (uint32_t i = 0; i < count; i++) {
        const unsigned char* s = table + i * PREDICTED_SECTION_SIZE;
        sections[i].offset = U32(s);
        sections[i].size = U32(s + 4);
        sections[i].rva = U32(s + 8);
        sections[i].order = i;
        sections[i].executable = 0;
    }
    SortSections(sections, count, 0);
    return sections;
}

// Finds the references and builds the projection of regions (taken over, NULL when their memory
// could not be had); PREDICT_DATA_ERROR when flags ask for nothing, or old is no program by the
// rules or has no reference, so there is nothing to predict. Release with FreePredictor whatever
// the outcome.
static int SetUpPredictor(struct Predictor* p, const unsigned char* old, uint32_t oldSize, struct AddRegion* regions,
                          uint32_t regionCount, const unsigned char* table, uint32_t sectionCount, uint32_t flags,
                          uint64_t imageBase)
{
    memset(p, 0, sizeof *p);
    p->hook.predict = PredictSlice;
    p->old = old;
    p->projection.regions = regions;
    p->newCount = sectionCount;
    p->newBase = imageBase;
    p->flags = flags;
    if (flags == 0 || !ReadPeLayout(old, oldSize, &p->layout))
        return PREDICT_DATA_ERROR;
    if (!FindPeReferences(old, oldSize, &p->layout, &p->references))
        return PREDICT_NO_MEMORY;
    if (p->references.count == 0)
        return PREDICT_DATA_ERROR;
    p->newSections = ReadNewSections(table, sectionCount);
    if (regions == NULL || p->newSections == NULL || !BuildProjection(regions, regionCount, &p->projection))
        return PREDICT_NO_MEMORY;
    return PREDICT_APPLIED;
}

static void FreePredictor(struct Predictor* p)
{
    FreeProjection(&p->projection);
    free(p->newSections);
    free(p->references.items);
}

int ApplyPredictedBody(const struct PatchPredictedBody* body, const unsigned char* old, uint32_t oldSize,
                       DiffWriter write, void* context, uint32_t* counts)
{
    struct DiffInMemory memory = {{old, body->diff.difference, body->diff.extra}};
    return ApplyPredictedBodyFrom(body, old, oldSize, ReadDiffInMemory, &memory, write, context, counts);
}

int ApplyPredictedBodyFrom(const struct PatchPredictedBody* body, const unsigned char* old, uint32_t oldSize,
                           DiffReader read, void* source, DiffWriter write, void* context, uint32_t* counts)
{
    const struct PatchDiffBody* diff = &body->diff;
    if (counts != NULL)
        counts[0] = counts[1] = counts[2] = 0;
    uint32_t regionCount = 0;
    if (!CheckDiffControls(diff, oldSize, &regionCount))
        return PREDICT_DATA_ERROR;
    struct AddRegion* regions = (struct AddRegion*)malloc(regionCount * sizeof(struct AddRegion) + 1);
    for (uint32_t i = 0, position = 0, output = 0, k = 0; regions != NULL && i < diff->controlCount; i++) {
        struct PatchDiffControl control;
        ReadDiffControl(diff, i, &control);
        if (control.addLength > 0) {
            struct AddRegion* r = &regions[k++];
            r->from = position;
            r->to = output;
            r->length = control.addLength;
            r->order = i;
        }
        position += control.addLength + (uint32_t)control.step;
        output += control.addLength + control.extraLength;
    }
    struct Predictor p;
    int result = SetUpPredictor(&p, old, oldSize, regions, regionCount, body->sections, body->sectionCount, body->flags,
                                body->imageBase);
    if (result == PREDICT_APPLIED && counts != NULL)
        for (uint32_t k = 0; k < p.references.count; k++)
            counts[p.references.items[k].kind >> 1]++;
    // An old file with nothing to predict is built as a difference body would build it.
    if (result != PREDICT_NO_MEMORY)
        result =
            ApplyDiffBodyFrom(diff, oldSize, read, source, write, context, result == PREDICT_APPLIED ? &p.hook : NULL);
    FreePredictor(&p);
    return result;
}

int PredictOldFile(const unsigned char* old, uint32_t oldSize, unsigned char* copy, uint32_t flags,
                   struct AddRegion* regions, uint32_t regionCount, const unsigned char* sections,
                   uint32_t sectionCount, uint64_t imageBase)
{
    struct Predictor p;
    int result = SetUpPredictor(&p, old, oldSize, regions, regionCount, sections, sectionCount, flags, imageBase);
    struct PredictionCaches caches;
    memset(&caches, 0, sizeof caches);
    for (uint32_t k = 0; result == PREDICT_APPLIED && k < p.references.count; k++) {
        const struct PeReference* r = &p.references.items[k];
        uint32_t q;
        if ((flags & r->kind) != 0 && Project(&p.projection, r->location, &q))
            Predict(&p, r, q, copy, 0, oldSize, &caches);
    }
    FreePredictor(&p);
    return result != PREDICT_NO_MEMORY;
}
