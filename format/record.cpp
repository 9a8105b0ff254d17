#include "format/record.h"

#include <bzlib.h>

#include <algorithm>
#include <cstring>

#include "core/package_layout.h"
#include "format/signature.h"

namespace mendsmith::format {

Bytes CompressBzip2(ByteView data, int blockSize)
{
    if (blockSize < 1 || blockSize > 9)
        throw FormatError("bzip2: block size " + std::to_string(blockSize) + " is not 1 to 9");
    std::uint32_t size = CheckedU32(data.size(), "data to compress");
    // The documented bound: 1% more plus 600 bytes.
    std::size_t capacity = data.size() + data.size() / 100 + 601;
    unsigned int produced = CheckedU32(capacity, "compressed buffer");
    Bytes out(capacity);
    // libbz2 refuses a null source even for no bytes.
    char none = 0;
    char* source = data.empty() ? &none : const_cast<char*>(reinterpret_cast<const char*>(data.data()));
    int result =
        BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &produced, source, size, blockSize, 0, 0);
    if (result != BZ_OK)
        throw FormatError("bzip2: compression failed with code " + std::to_string(result));
    out.resize(produced);
    return out;
}

Bytes MakeRawRecord(std::uint32_t unpackedSize, ByteView stream)
{
    Bytes out;
    out.reserve(RECORD_HEADER_SIZE + stream.size());
    AppendU32(out, CheckedU32(std::size_t{4} + stream.size(), "record length"));
    AppendU32(out, unpackedSize);
    AppendBytes(out, stream);
    return out;
}

Bytes MakeRecord(ByteView bundle)
{
    return MakeRawRecord(CheckedU32(bundle.size(), "bundle"), CompressBzip2(bundle, 9));
}

namespace {

// What LocatePackageRecord's verdict means, in the words of the tool's messages.
std::string RecordFault(int verdict, const PackageRecord& record, std::size_t number, std::size_t imageSize,
                        std::size_t packageOffset)
{
    if (verdict == RECORD_IMAGE_SHORT)
        return "image: " + std::to_string(imageSize) + " bytes, shorter than the package offset " +
               HexOffset(packageOffset);
    const std::string where = "record " + std::to_string(number) + " at offset " + HexOffset(record.offset);
    const std::string length = "length " + std::to_string(record.length);
    switch (verdict) {
    case RECORD_HEADER_CUT:
        return where + ": header cut short by the end of the image";
    case RECORD_LENGTH_TOO_SMALL:
        return where + ": " + length + " is less than 4";
    default:
        return where + ": " + length + " reaches past the end of the image";
    }
}

// A signing tool pads the file with zeros to an 8-byte boundary before the certificate table.
bool IsAlignmentPadding(ByteView image, std::size_t from)
{
    ByteView rest = image.subspan(from);
    return rest.size() < 8 && std::all_of(rest.begin(), rest.end(), [](std::uint8_t b) { return b == 0; });
}

} // namespace

std::vector<RecordInfo> ListRecords(ByteView whole, std::size_t packageOffset)
{
    ByteView image = PackageArea(whole);
    const bool signedImage = image.size() != whole.size();
    std::uint32_t imageSize = CheckedU32(image.size(), "image");
    std::uint32_t at = CheckedU32(packageOffset, "package offset");
    std::vector<RecordInfo> records;
    for (;;) {
        PackageRecord record{};
        int verdict = LocatePackageRecord(image.data(), imageSize, at, 1, &record);
        if (verdict == RECORD_CHAIN_END ||
            (signedImage && verdict == RECORD_HEADER_CUT && IsAlignmentPadding(image, at)))
            return records;
        if (verdict != RECORD_FOUND)
            throw FormatError(RecordFault(verdict, record, records.size() + 1, image.size(), packageOffset));
        records.push_back({record.offset, record.length, record.unpackedSize,
                           image.subspan(record.offset + RECORD_HEADER_SIZE, record.streamSize)});
        at = record.offset + 4 + record.length;
    }
}

Bytes DecompressRecord(const RecordInfo& record)
{
    const std::string where = "record at offset " + HexOffset(record.offset);
    if (record.stream.size() < RECORD_SIGNATURE_SIZE ||
        std::memcmp(record.stream.data(), RECORD_SIGNATURE, RECORD_SIGNATURE_SIZE) != 0)
        throw FormatError(where + ": stream does not start with \"" RECORD_SIGNATURE "\"");

    // Streamed in chunks so that a hostile U allocates nothing up front; like the stub's one
    // decoder call, bytes after the end of the stream are not looked at.
    bz_stream strm{};
    if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK)
        throw FormatError(where + ": cannot start bzip2 decompression");
    Bytes out;
    strm.next_in = const_cast<char*>(reinterpret_cast<const char*>(record.stream.data()));
    strm.avail_in = static_cast<unsigned int>(record.stream.size());
    int result = BZ_OK;
    std::uint8_t spill = 0; // one byte of room past U, to notice output beyond it
    while (result == BZ_OK) {
        std::size_t have = out.size();
        std::size_t room = std::min<std::size_t>(std::size_t{1} << 20, std::size_t{record.unpackedSize} - have);
        unsigned char* dest = &spill;
        if (room != 0) {
            out.resize(have + room);
            dest = out.data() + have;
        } else {
            room = 1;
        }
        strm.next_out = reinterpret_cast<char*>(dest);
        strm.avail_out = static_cast<unsigned int>(room);
        unsigned int before = strm.avail_out;
        unsigned int inBefore = strm.avail_in;
        result = BZ2_bzDecompress(&strm);
        unsigned int made = before - strm.avail_out;
        if (dest == &spill) {
            if (made != 0) {
                result = BZ_OUTBUFF_FULL;
                break;
            }
        } else {
            out.resize(have + made);
        }
        if (result == BZ_OK && made == 0 && inBefore == strm.avail_in) {
            result = BZ_UNEXPECTED_EOF; // no progress: the stream ends early
            break;
        }
    }
    BZ2_bzDecompressEnd(&strm);
    if (result == BZ_OUTBUFF_FULL)
        throw FormatError(where + ": stream unpacks to more than U = " + std::to_string(record.unpackedSize) +
                          " bytes");
    if (result == BZ_UNEXPECTED_EOF)
        throw FormatError(where + ": stream ends early");
    if (result != BZ_STREAM_END)
        throw FormatError(where + ": stream is damaged (bzip2 code " + std::to_string(result) + ")");
    if (out.size() != record.unpackedSize)
        throw FormatError(where + ": stream unpacks to " + std::to_string(out.size()) +
                          " bytes, not U = " + std::to_string(record.unpackedSize));
    return out;
}

} // namespace mendsmith::format
