// Record chain and bundle walking (see package_layout.h).
#include "core/package_layout.h"
#include "core/constants.h"

static uint32_t ReadU32(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int LocatePackageRecord(const unsigned char* image, uint32_t imageSize, uint32_t start, uint32_t n,
                        struct PackageRecord* record)
{
    uint32_t at = start;
    record->offset = at;
    record->length = 0;
    if (imageSize < at)
        return RECORD_IMAGE_SHORT;
    for (;;) {
        record->offset = at;
        if (at == imageSize || n == 0)
            return RECORD_CHAIN_END;
        if (imageSize - at < RECORD_HEADER_SIZE)
            return RECORD_HEADER_CUT;
        uint32_t length = ReadU32(image + at);
        record->length = length;
        if (length < 4)
            return RECORD_LENGTH_TOO_SMALL;
        if (imageSize - at - 4 < length)
            return RECORD_PAST_END;
        if (--n == 0) {
            record->unpackedSize = ReadU32(image + at + 4);
            record->stream = image + at + RECORD_HEADER_SIZE;
            record->streamSize = length - 4;
            return RECORD_FOUND;
        }
        at += 4 + length;
    }
}

int HasRecordSignature(const struct PackageRecord* record)
{
    const char* signature = RECORD_SIGNATURE;
    if (record->streamSize < RECORD_SIGNATURE_SIZE)
        return 0;
    for (uint32_t i = 0; i < RECORD_SIGNATURE_SIZE; i++)
        if (record->stream[i] != (unsigned char)signature[i])
            return 0;
    return 1;
}

int NextBundleEntry(const unsigned char** cursor, const unsigned char* end, struct BundleEntry* entry)
{
    const unsigned char* at = *cursor;
    if (at >= end || *at == 0)
        return BUNDLE_END;
    const unsigned char* nul = at;
    while (nul < end && *nul != 0)
        nul++;
    if (nul == end)
        return BUNDLE_NAME_CUT;
    entry->name = (const char*)at;
    if ((uint32_t)(end - nul - 1) < 4)
        return BUNDLE_SIZE_CUT;
    uint32_t size = ReadU32(nul + 1);
    const unsigned char* data = nul + 5;
    entry->size = size;
    if ((uint32_t)(end - data) < size)
        return BUNDLE_CONTENT_CUT;
    entry->data = data;
    *cursor = data + size;
    return BUNDLE_ENTRY;
}

int IsPlainFileName(const char* name)
{
    if (name[0] == 0 || (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))))
        return 0;
    for (const char* c = name; *c != 0; c++) {
        unsigned char b = (unsigned char)*c;
        if (b < 0x20 || b == '\\' || b == '/' || b == ':')
            return 0;
    }
    return 1;
}

int IsSafeFileBundle(const unsigned char* bundle, uint32_t size)
{
    const unsigned char* cursor = bundle;
    struct BundleEntry entry;
    int step;
    while ((step = NextBundleEntry(&cursor, bundle + size, &entry)) > 0)
        if (!IsPlainFileName(entry.name))
            return 0;
    return step == BUNDLE_END;
}
