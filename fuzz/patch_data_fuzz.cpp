// Applies an arbitrary Patch.dat in memory against an arbitrary old file with the
// stub's decoder, as the entry applier does: header, path check, attached body, op list
// (copy ranges checked against the old file), difference body, predicted difference body (whose
// old file the reference rules may accept) or removal, skip walks in between.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/crc32.h"
#include "core/patch_data.h"
#include "core/references.h"

static void AppendResult(void* result, const unsigned char* data, uint32_t size)
{
    auto* out = static_cast<std::vector<uint8_t>*>(result);
    // Each piece is checked against the old file or the body; the cap keeps runs short.
    if (out->size() + size <= (1u << 20))
        out->insert(out->end(), data, data + size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool tableBuilt = (BuildCrcTable(), true);
    (void)tableBuilt;
    if (size < 2)
        return 0;
    // Input: u16 old-file length, the old file, then Patch.dat.
    size_t oldSize = data[0] | data[1] << 8;
    if (size - 2 < oldSize)
        return 0;
    std::vector<uint8_t> old(data + 2, data + 2 + oldSize);
    std::vector<uint8_t> patch(data + 2 + oldSize, data + size);

    PatchCursor cursor{patch.data(), patch.data() + patch.size()};
    uint32_t count;
    if (!ReadPatchEntryCount(&cursor, &count))
        return 0;
    for (uint32_t i = 0; i < count; i++) {
        PatchEntryHeader header;
        if (!ReadPatchEntryHeader(&cursor, &header) || !IsSafeEntryPath(header.path))
            return 0;
        if (header.attached) {
            const unsigned char* body;
            uint32_t bodySize;
            if (!ReadAttachedBody(&cursor, &body, &bodySize))
                return 0;
            (void)CrcOfBuffer(body, bodySize);
            continue;
        }
        // Every other entry is skipped, as for a missing file, so both walks get exercised. A
        // removal is only ever walked past: it reads nothing but its kind byte.
        if (header.removal || i % 2 == 1) {
            if (!SkipPatchBody(&cursor, &header))
                return 0;
            continue;
        }
        std::vector<uint8_t> result;
        if (header.predicted) {
            PatchPredictedBody body;
            if (!ReadPredictedBody(&cursor, &body) ||
                ApplyPredictedBody(&body, old.empty() ? nullptr : old.data(), uint32_t(old.size()), AppendResult,
                                   &result, nullptr) != PREDICT_APPLIED)
                return 0;
            (void)CrcOfBuffer(result.data(), uint32_t(result.size()));
            continue;
        }
        if (header.difference) {
            PatchDiffBody body;
            if (!ReadDiffBody(&cursor, &body) || !ApplyDiffBody(&body, old.empty() ? nullptr : old.data(),
                                                                uint32_t(old.size()), AppendResult, &result, nullptr))
                return 0;
            (void)CrcOfBuffer(result.data(), uint32_t(result.size()));
            continue;
        }
        PatchOp op;
        int kind;
        while ((kind = NextPatchOp(&cursor, uint32_t(old.size()), &op)) != 0) {
            if (kind == PATCH_OP_INVALID)
                return 0;
            const uint8_t* from = kind == 1 ? old.data() + op.sourceOffset : op.literal;
            if (result.size() + op.length > (1u << 20))
                return 0;
            result.insert(result.end(), from, from + op.length);
        }
        (void)CrcOfBuffer(result.data(), uint32_t(result.size()));
    }
    return 0;
}
