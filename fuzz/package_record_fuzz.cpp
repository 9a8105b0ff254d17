// Walks the record chain of an arbitrary updater image and unpacks a record the way
// the stub does: signature, one-shot decompression into U + 1 bytes, bundle check.
#include <bzlib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/constants.h"
#include "core/package_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The fuzzer's input is the package; a zero stub stands before it.
    std::vector<uint8_t> image(PACKAGE_OFFSET, 0);
    image.insert(image.end(), data, data + size);
    for (uint32_t n = 1; n <= 3; n++) {
        PackageRecord record;
        if (LocatePackageRecord(image.data(), uint32_t(image.size()), PACKAGE_OFFSET, n, &record) != RECORD_FOUND)
            break;
        const uint8_t* end = image.data() + image.size();
        if (record.stream < image.data() + PACKAGE_OFFSET || record.stream + record.streamSize > end)
            abort();
        // Keep allocations within reason; the stub would simply fail to allocate.
        if (!HasRecordSignature(&record) || record.unpackedSize > (1u << 22))
            continue;
        std::vector<uint8_t> bundle(size_t(record.unpackedSize) + 1, 0);
        unsigned capacity = record.unpackedSize;
        int result = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(bundle.data()), &capacity,
                                                const_cast<char*>(reinterpret_cast<const char*>(record.stream)),
                                                record.streamSize, 0, 0);
        if (result == BZ_OK)
            (void)IsSafeFileBundle(bundle.data(), record.unpackedSize);
    }
    return 0;
}
