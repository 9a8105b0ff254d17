// Finding package records and walking file bundles in memory. Win32-free and the one
// reader of both: the stub, the host format library and the fuzz targets all walk them
// here, so they make exactly the same checks. Nothing here reads outside the bytes it is given.
#ifndef MENDSMITH_CORE_PACKAGE_LAYOUT_H
#define MENDSMITH_CORE_PACKAGE_LAYOUT_H

#include <stdint.h>

// One package record inside the image of the executable.
struct PackageRecord {
    uint32_t offset;             // file offset of the record header
    uint32_t length;             // L, the stream length plus 4
    uint32_t unpackedSize;       // U, the size of the file bundle
    const unsigned char* stream; // the compressed stream, L - 4 bytes
    uint32_t streamSize;
};

// How a walk of the record chain ended.
#define RECORD_FOUND 1
#define RECORD_CHAIN_END 0           // the image ends exactly after the last record
#define RECORD_IMAGE_SHORT (-1)      // the image is shorter than the offset the walk starts at
#define RECORD_HEADER_CUT (-2)       // fewer than 8 bytes are left for a header
#define RECORD_LENGTH_TOO_SMALL (-3) // L is below 4
#define RECORD_PAST_END (-4)         // the record reaches past the end of the image

// Walks the record chain from file offset start to record n (counted from 1) and fills record.
// Returns RECORD_FOUND, or how the chain ended first; record->offset then names the record
// header at fault (or where the chain ended), and record->length its L where it was read.
int LocatePackageRecord(const unsigned char* image, uint32_t imageSize, uint32_t start, uint32_t n,
                        struct PackageRecord* record);

// Non-zero when the stream begins with the bzip2 signature of block size 9.
int HasRecordSignature(const struct PackageRecord* record);

// One file of a bundle; name and data point into the bundle.
struct BundleEntry {
    const char* name;
    const unsigned char* data;
    uint32_t size;
};

// How reading a bundle entry went.
#define BUNDLE_ENTRY 1
#define BUNDLE_END 0            // the end of the bundle, or an empty name where a name begins
#define BUNDLE_NAME_CUT (-1)    // the name has no NUL before the end
#define BUNDLE_SIZE_CUT (-2)    // the size field runs past the end
#define BUNDLE_CONTENT_CUT (-3) // the content runs past the end

// Reads the bundle entry at *cursor and moves past it. Returns BUNDLE_ENTRY, BUNDLE_END, or how
// the entry runs past the end; entry->name is set for a size or content cut short, and
// entry->size for a content cut short.
int NextBundleEntry(const unsigned char** cursor, const unsigned char* end, struct BundleEntry* entry);

// Non-zero when a name can only mean a file in the current directory: not empty, no directory
// part, drive, colon, "." or "..", and no byte below 0x20.
int IsPlainFileName(const char* name);

// Non-zero when every entry of a bundle of size bytes is well-formed and plainly named.
int IsSafeFileBundle(const unsigned char* bundle, uint32_t size);

#endif
