// Package records: u32 L (= 4 + stream length), u32 U (unpacked size), bzip2 stream ("BZh9").
#ifndef MENDSMITH_FORMAT_RECORD_H
#define MENDSMITH_FORMAT_RECORD_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/constants.h"
#include "format/bytes.h"

namespace mendsmith::format {

// One bzip2 stream of data (BZ2_bzBuffToBuffCompress, work factor default); blockSize 1..9.
Bytes CompressBzip2(ByteView data, int blockSize = 9);

// A whole record (header and stream) for a bundle, compressed with block size 9.
Bytes MakeRecord(ByteView bundle);

// A record around a given stream and unpacked size, unchecked (for building hostile packages).
Bytes MakeRawRecord(std::uint32_t unpackedSize, ByteView stream);

struct RecordInfo {
    std::size_t offset;         // file offset of the record header
    std::uint32_t length;       // L
    std::uint32_t unpackedSize; // U
    ByteView stream;            // the L - 4 stream bytes, viewing the image
};

// Walks the records from packageOffset to the end of image, or of a signed image to its certificate
// table and the padding before it. Throws FormatError when the image is shorter than
// packageOffset, a header is cut short, L < 4, or a record reaches past the end.
std::vector<RecordInfo> ListRecords(ByteView image, std::size_t packageOffset = PACKAGE_OFFSET);

// Checks the "BZh9" signature and decompresses the stream; it must end and yield exactly U bytes.
Bytes DecompressRecord(const RecordInfo& record);

} // namespace mendsmith::format

#endif
