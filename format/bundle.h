// File bundles: name NUL, u32 LE size, content; back to back, no padding, no end marker.
#ifndef MENDSMITH_FORMAT_BUNDLE_H
#define MENDSMITH_FORMAT_BUNDLE_H

#include <span>
#include <string>
#include <vector>

#include "format/bytes.h"

namespace mendsmith::format {

struct BundleFile {
    std::string name; // a plain file name: no directory part, drive, control byte or NUL
    Bytes content;

    bool operator==(const BundleFile&) const = default;
};

// Throws FormatError for a name that is empty, not plain, or a content too big for a u32.
Bytes WriteBundle(std::span<const BundleFile> files);

// What stands before a file's content in a bundle: its name, NUL and u32 size; throws as
// WriteBundle does.
Bytes BundleFileHeader(const std::string& name, std::uint64_t size);

// Strict: every entry must lie within data, names must be plain, and the entries must fill
// data exactly (the stub would stop at a zero byte where a name begins; here that is an error).
std::vector<BundleFile> ReadBundle(ByteView data);

} // namespace mendsmith::format

#endif
