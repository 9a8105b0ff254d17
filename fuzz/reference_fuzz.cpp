// The reference rules over an arbitrary old file, and a projection of regions that the input
// also chooses: every reference lies within the file, in order and apart from the others, the
// finder's scan finds what a scan of every position finds, and every projected offset lies
// within the region that took it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/references.h"

int FindPeReferencesAtEveryPosition(const unsigned char* file, uint32_t size, const PeLayout* layout,
                                    PeReferences* references);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    const uint32_t fileSize = uint32_t(size);
    static PeLayout layout;
    if (ReadPeLayout(data, fileSize, &layout)) {
        PeReferences references;
        if (!FindPeReferences(data, fileSize, &layout, &references))
            return 0;
        uint32_t end = 0;
        for (uint32_t i = 0; i < references.count; i++) {
            const PeReference& r = references.items[i];
            if (r.location < end || r.location > fileSize || fileSize - r.location < r.width)
                abort();
            end = r.location + r.width;
        }
        PeReferences everywhere;
        if (FindPeReferencesAtEveryPosition(data, fileSize, &layout, &everywhere)) {
            if (everywhere.count != references.count)
                abort();
            for (uint32_t i = 0; i < references.count; i++) {
                const PeReference &a = references.items[i], &b = everywhere.items[i];
                if (a.location != b.location || a.kind != b.kind || a.width != b.width || a.end != b.end)
                    abort();
            }
            free(everywhere.items);
        }
        free(references.items);
    }
    // Regions from the input's 12-byte groups: old position, new position, length (above 0, not
    // reaching past 2^32).
    uint32_t count = uint32_t(size / 12);
    AddRegion* regions = static_cast<AddRegion*>(malloc(count * sizeof(AddRegion) + 1));
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t v[3];
        memcpy(v, data + 12 * i, 12);
        if (v[2] % 4096 == 0 || v[0] + v[2] % 4096 < v[0])
            continue;
        regions[kept++] = {v[0], v[1], v[2] % 4096, i};
    }
    Projection projection;
    if (BuildProjection(regions, kept, &projection)) {
        for (uint32_t i = 0; i < kept; i++) {
            uint32_t o = projection.regions[i].from + projection.regions[i].length / 2, n;
            if (!Project(&projection, o, &n))
                abort();
        }
    }
    FreeProjection(&projection);
    return 0;
}
