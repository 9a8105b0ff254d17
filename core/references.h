// The references of a Windows program that a predicted difference body (kind 5) rewrites: the
// rules that find them in the old file, where each region of the old file went by a body's
// controls (project), and the kind-5 body's application. Win32-free and C-style: the stub, the
// host format library and the fuzz targets share it, so both sides predict bit for bit alike.
#ifndef MENDSMITH_CORE_REFERENCES_H
#define MENDSMITH_CORE_REFERENCES_H

#include <stdint.h>

#include "core/constants.h"
#include "core/patch_data.h"

/* A program with more sections is no program to the rules (the loader's own limit). */
#define PE_MAX_SECTIONS 96u

/* Results of ApplyPredictedBody: built, a data error, or no memory for the prediction. */
#define PREDICT_APPLIED 1
#define PREDICT_DATA_ERROR 0
#define PREDICT_NO_MEMORY (-1)

/* A section's file bytes [offset, offset + size) are loaded at rva; order is its place in the
   table, executable non-zero for code. */
struct PeSection {
    uint32_t offset;
    uint32_t size;
    uint32_t rva;
    uint32_t order;
    uint32_t executable;
};

/* What the rules take from an accepted old file's headers. Sections of size 0 are left out;
   byOffset and byRva hold the rest sorted by file offset and by RVA (ties in table order). */
struct PeLayout {
    uint64_t imageBase;
    int wide; /* PE32+ (x64) */
    uint32_t relocRva;
    uint32_t relocSize;
    uint32_t sectionCount;
    struct PeSection byOffset[PE_MAX_SECTIONS];
    struct PeSection byRva[PE_MAX_SECTIONS];
};

/* One reference: its field's bytes [location, location + width) of the old file, of one kind;
   end is how far past the field's first byte the instruction ends (rel32 and RIP only). */
struct PeReference {
    uint32_t location;
    uint8_t kind;
    uint8_t width;
    uint8_t end;
};

/* References sorted by location, none overlapping another; items from malloc. */
struct PeReferences {
    struct PeReference* items;
    uint32_t count;
    uint32_t capacity; /* items allocated */
};

/* Non-zero when file (size bytes) is a PE32 for x86 or a PE32+ for x64 by the rules. */
int ReadPeLayout(const unsigned char* file, uint32_t size, struct PeLayout* layout);

/* The section of a table sorted by the key (offset, or rva when byRva) whose bytes hold x: the
   one with the greatest key not above x (the later in the table on a tie), if x lies below its
   key plus size; NULL otherwise. Lookups mostly fall where the one before did: cache remembers
   the last section found and the keys between which it answers, and starts zeroed. */
struct SectionCache {
    uint32_t low;
    uint32_t high;
    const struct PeSection* section;
};
const struct PeSection* FindSectionNear(const struct PeSection* sorted, uint32_t count, uint32_t x, int byRva,
                                        struct SectionCache* cache);

/* Sorts a section table by offset (or RVA when byRva), ties in table order. */
void SortSections(struct PeSection* sections, uint32_t count, int byRva);

/* Finds the references of an accepted file. 0 when their memory could not be had; free the
   items with free() otherwise (NULL when none). */
int FindPeReferences(const unsigned char* file, uint32_t size, const struct PeLayout* layout,
                     struct PeReferences* references);

/* Where the old file's bytes went by a body's add regions: from sorted segments of old offsets,
   each taken over by one region (the longest that holds it, the earlier control on a tie). */
struct AddRegion {
    uint32_t from; /* old position p */
    uint32_t to;   /* new position q */
    uint32_t length;
    uint32_t order;
};
struct ProjectionSegment {
    uint32_t start;
    uint32_t region; /* index into regions, or PROJECT_NONE */
};
#define PROJECT_NONE 0xFFFFFFFFu
struct Projection {
    struct AddRegion* regions; /* sorted by from */
    uint32_t regionCount;
    struct ProjectionSegment* segments;
    uint32_t segmentCount;
};

/* Builds the projection of count regions (taken over and sorted; lengths above 0, none reaching
   past 2^32). 0 when the memory could not be had; release with FreeProjection either way. */
int BuildProjection(struct AddRegion* regions, uint32_t count, struct Projection* projection);
void FreeProjection(struct Projection* projection);

/* The new offset of old offset o, or 0 when no region holds it. */
int Project(const struct Projection* projection, uint32_t o, uint32_t* n);

/* A predicted difference body as it lies in the mapping: its flags, the new file's image base
   and section table (12 bytes each), and its kind-4 part. */
struct PatchPredictedBody {
    uint32_t flags;
    uint32_t sectionCount;
    uint64_t imageBase;
    const unsigned char* sections;
    struct PatchDiffBody diff;
};

/* Consumes a kind-5 body: 0 for an unknown flag, a section table past the end, a section whose
   offset plus size overflows, or any fault of its kind-4 part. */
int ReadPredictedBody(struct PatchCursor* cursor, struct PatchPredictedBody* body);

/* Builds the new file from old and a body that ReadPredictedBody accepted. PREDICT_DATA_ERROR
   for a control that adds from beyond the old file or steps outside it (nothing written then),
   PREDICT_NO_MEMORY when the prediction's memory could not be had (nothing written). counts,
   when not NULL, receives the references found of each kind (rel32, absolute, RIP). */
int ApplyPredictedBody(const struct PatchPredictedBody* body, const unsigned char* old, uint32_t oldSize,
                       DiffWriter write, void* context, uint32_t* counts);

/* The same with the body's difference and extra bytes, and the old file's bytes as the controls
   take them, read through read (old is still needed whole, for its references); a failed read
   ends it with DIFF_READ_FAILED. */
int ApplyPredictedBodyFrom(const struct PatchPredictedBody* body, const unsigned char* old, uint32_t oldSize,
                           DiffReader read, void* source, DiffWriter write, void* context, uint32_t* counts);

/* For the tool's matcher: puts into copy (old's bytes) the prediction of every reference of the
   kinds in flags, each as if its field landed where the regions (taken over) project its first
   byte, with the new layout of a body's section table. 0 when the memory could not be had. */
int PredictOldFile(const unsigned char* old, uint32_t oldSize, unsigned char* copy, uint32_t flags,
                   struct AddRegion* regions, uint32_t regionCount, const unsigned char* sections,
                   uint32_t sectionCount, uint64_t imageBase);

#endif
