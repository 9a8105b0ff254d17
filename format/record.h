// Package records: u32 L (= 4 + stream length), u32 U (unpacked size), bzip2 stream ("BZh9").
#ifndef MENDSMITH_FORMAT_RECORD_H
#define MENDSMITH_FORMAT_RECORD_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/constants.h"
#include "format/bytes.h"

namespace mendsmith::format {

// One bzip2 stream of data (BZ2_bzBuffToBuffCompress, work factor default); blockSize 1..9.
Bytes CompressBzip2(ByteView data, int blockSize = 9);

// The size of CompressBzip2(data, 9) for data that arrives in pieces, without holding the data
// or the stream: what the engine needs to choose between bodies.
class PackedSizeCounter {
public:
    PackedSizeCounter();
    ~PackedSizeCounter();
    PackedSizeCounter(const PackedSizeCounter&) = delete;
    PackedSizeCounter& operator=(const PackedSizeCounter&) = delete;

    void Write(ByteView data);
    std::uint64_t Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A whole record (header and stream) for a bundle, compressed with block size 9.
Bytes MakeRecord(ByteView bundle);

// A record made as its bundle's bytes arrive, through bzip2's stream compressor with the same
// block size and work factor as MakeRecord, whose bytes it gives for the same bundle.
class RecordWriter {
public:
    explicit RecordWriter(std::uint32_t unpackedSize);
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    void Write(ByteView data);

    // Header and stream; throws FormatError when the bytes written are not the unpacked size.
    Bytes Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

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

// The same checks, the unpacked bytes handed to sink in pieces instead of held.
void DecompressRecord(const RecordInfo& record, const std::function<void(ByteView)>& sink);

} // namespace mendsmith::format

#endif
