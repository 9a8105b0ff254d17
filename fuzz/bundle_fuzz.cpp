// Walks an arbitrary file bundle with the stub's walker and checks that every entry
// it hands out lies inside the bundle and that a bundle it accepts is plainly named.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/package_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so that AddressSanitizer sees any read past the bundle.
    std::vector<uint8_t> bundle(data, data + size);
    const uint8_t* begin = bundle.data();
    const uint8_t* end = begin + bundle.size();
    const uint8_t* cursor = begin;
    BundleEntry entry;
    int safe = IsSafeFileBundle(begin, uint32_t(bundle.size()));
    while (NextBundleEntry(&cursor, end, &entry) > 0) {
        const uint8_t* name = reinterpret_cast<const uint8_t*>(entry.name);
        if (name < begin || entry.data < begin || entry.data + entry.size > end || cursor > end)
            abort();
        if (safe && !IsPlainFileName(entry.name))
            abort();
        if (safe && std::strchr(entry.name, '\\') != nullptr)
            abort();
    }
    return 0;
}
