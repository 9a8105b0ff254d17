// The format library's readers on arbitrary input: they must either return a value
// or throw FormatError, never crash or read outside the input; what they accept
// must survive a write and a second read unchanged.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/constants.h"
#include "format/bundle.h"
#include "format/error.h"
#include "format/patch_file.h"
#include "format/signature.h"
#include "format/updater_image.h"

using namespace mendsmith::format;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bytes input(data, data + size);
    try {
        auto entries = ReadPatchFile(input);
        if (ReadPatchFile(WritePatchFile(entries)) != entries)
            abort();
        for (const auto& entry : entries)
            if (!entry.attached) {
                try {
                    if (entry.difference)
                        (void)ApplyDiff(Bytes(64, 0x41), *entry.difference);
                    else
                        (void)ApplyOps(Bytes(64, 0x41), entry.ops);
                } catch (const FormatError&) {
                }
            }
    } catch (const FormatError&) {
    }
    try {
        auto files = ReadBundle(input);
        if (ReadBundle(WriteBundle(files)) != files)
            abort();
    } catch (const FormatError&) {
    }
    try {
        Bytes image(PACKAGE_OFFSET, 0);
        image.insert(image.end(), input.begin(), input.end());
        (void)ReadUpdaterImage(image);
    } catch (const FormatError&) {
    }
    try {
        (void)ReadSigner(input);
    } catch (const FormatError&) {
    }
    return 0;
}
