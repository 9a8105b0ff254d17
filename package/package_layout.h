// Finding package records and walking file bundles in memory. Win32-free, so the
// host fuzz targets run exactly the checks the stub makes; nothing here reads
// outside the bytes it is given.
#ifndef MENDSMITH_PACKAGE_PACKAGE_LAYOUT_H
#define MENDSMITH_PACKAGE_PACKAGE_LAYOUT_H

#include <stdint.h>

// One package record inside the image of the executable.
struct PackageRecord {
    const unsigned char* stream; // the compressed stream, L - 4 bytes
    uint32_t streamSize;
    uint32_t unpackedSize; // U, the size of the file bundle
};

// One file of a bundle; name and data point into the bundle.
struct BundleEntry {
    const char* name;
    const unsigned char* data;
    uint32_t size;
};

// Walks the record chain from PACKAGE_OFFSET to record n (counted from 1). Returns 0 when the
// chain ends first, a length is below 4, or a record reaches past the end of the image.
int LocatePackageRecord(const unsigned char* image, uint32_t imageSize, uint32_t n, struct PackageRecord* record);

// Non-zero when the stream begins with the bzip2 signature of block size 9.
int HasRecordSignature(const struct PackageRecord* record);

// Reads the bundle entry at *cursor and moves past it. Returns 1 for an entry, 0 at the end
// (an empty name, or the end of the bundle), -1 for an entry that runs past the end.
int NextBundleEntry(const unsigned char** cursor, const unsigned char* end, struct BundleEntry* entry);

// Non-zero when a name can only mean a file in the current directory: no directory part,
// drive, colon, "." or "..", and no byte below 0x20.
int IsPlainFileName(const char* name);

// Non-zero when every entry of a bundle of size bytes is well-formed and plainly named.
int IsSafeFileBundle(const unsigned char* bundle, uint32_t size);

#endif
