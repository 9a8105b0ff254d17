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

void DecompressRecord(const RecordInfo& record, const std::function<void(ByteView)>& sink)
{
    const std::string where = "record at offset " + HexOffset(record.offset);
    if (record.stream.size() < RECORD_SIGNATURE_SIZE ||
        std::memcmp(record.stream.data(), RECORD_SIGNATURE, RECORD_SIGNATURE_SIZE) != 0)
        throw FormatError(where + ": stream does not start with \"" RECORD_SIGNATURE "\"");

    // Streamed in pieces so that a hostile U allocates nothing up front; like the stub's one
    // decoder call, bytes after the end of the stream are not looked at.
    bz_stream strm{};
    if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK)
        throw FormatError(where + ": cannot start bzip2 decompression");
    struct End {
        bz_stream* strm;
        ~End() { BZ2_bzDecompressEnd(strm); }
    } end{&strm};
    Bytes piece(std::min<std::size_t>(std::size_t{1} << 20, std::size_t{record.unpackedSize} + 1));
    std::uint64_t total = 0;
    strm.next_in = const_cast<char*>(reinterpret_cast<const char*>(record.stream.data()));
    strm.avail_in = static_cast<unsigned int>(record.stream.size());
    int result = BZ_OK;
    while (result == BZ_OK) {
        // One byte of room past U, to notice output beyond it.
        const std::size_t room = static_cast<std::size_t>(
            std::min<std::uint64_t>(piece.size(), std::uint64_t{record.unpackedSize} - total + 1));
        strm.next_out = reinterpret_cast<char*>(piece.data());
        strm.avail_out = static_cast<unsigned int>(room);
        unsigned int inBefore = strm.avail_in;
        result = BZ2_bzDecompress(&strm);
        const std::size_t made = room - strm.avail_out;
        if (total + made > record.unpackedSize) {
            result = BZ_OUTBUFF_FULL;
            break;
        }
        total += made;
        if (made > 0)
            sink(ByteView(piece.data(), made));
        if (result == BZ_OK && made == 0 && inBefore == strm.avail_in) {
            result = BZ_UNEXPECTED_EOF; // no progress: the stream ends early
            break;
        }
    }
    if (result == BZ_OUTBUFF_FULL)
        throw FormatError(where + ": stream unpacks to more than U = " + std::to_string(record.unpackedSize) +
                          " bytes");
    if (result == BZ_UNEXPECTED_EOF)
        throw FormatError(where + ": stream ends early");
    if (result != BZ_STREAM_END)
        throw FormatError(where + ": stream is damaged (bzip2 code " + std::to_string(result) + ")");
    if (total != record.unpackedSize)
        throw FormatError(where + ": stream unpacks to " + std::to_string(total) +
                          " bytes, not U = " + std::to_string(record.unpackedSize));
}

Bytes DecompressRecord(const RecordInfo& record)
{
    Bytes out;
    DecompressRecord(record, [&](ByteView piece) { AppendBytes(out, piece); });
    return out;
}

namespace {

// bzip2's stream compressor at block size 9, the work factor CompressBzip2 uses.
struct Compressor {
    bz_stream strm{};

    Compressor()
    {
        if (BZ2_bzCompressInit(&strm, 9, 0, 0) != BZ_OK)
            throw FormatError("bzip2: cannot start compression");
    }
    ~Compressor() { BZ2_bzCompressEnd(&strm); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Runs the compressor over what it was given, with action, handing its output to out.
    template <typename Out> int Drive(int action, Out out)
    {
        for (;;) {
            // Small: the stack's pages stay resident for the rest of the run.
            char piece[1 << 12];
            strm.next_out = piece;
            strm.avail_out = sizeof piece;
            const int result = BZ2_bzCompress(&strm, action);
            out(ByteView(reinterpret_cast<std::uint8_t*>(piece), sizeof piece - strm.avail_out));
            if (result < 0 || result == BZ_STREAM_END || (action == BZ_RUN && strm.avail_in == 0))
                return result;
        }
    }

    template <typename Out> void Write(ByteView data, Out out)
    {
        // bzip2 takes an unsigned int of input at a time.
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t size = std::min<std::size_t>(data.size() - at, std::size_t{1} << 30);
            strm.next_in = const_cast<char*>(reinterpret_cast<const char*>(data.data() + at));
            strm.avail_in = static_cast<unsigned int>(size);
            const int result = Drive(BZ_RUN, out);
            if (result != BZ_RUN_OK)
                throw FormatError("bzip2: compression failed with code " + std::to_string(result));
            at += size;
        }
    }

    template <typename Out> void Finish(Out out)
    {
        strm.next_in = nullptr;
        strm.avail_in = 0;
        const int result = Drive(BZ_FINISH, out);
        if (result != BZ_STREAM_END)
            throw FormatError("bzip2: compression failed with code " + std::to_string(result));
    }
};

} // namespace

struct PackedSizeCounter::State {
    Compressor compressor;
    std::uint64_t size = 0;
};

PackedSizeCounter::PackedSizeCounter() : state_(std::make_unique<State>()) {}

PackedSizeCounter::~PackedSizeCounter() = default;

void PackedSizeCounter::Write(ByteView data)
{
    state_->compressor.Write(data, [&](ByteView piece) { state_->size += piece.size(); });
}

std::uint64_t PackedSizeCounter::Finish()
{
    state_->compressor.Finish([&](ByteView piece) { state_->size += piece.size(); });
    return state_->size;
}

struct RecordWriter::State {
    Compressor compressor;
    std::uint32_t unpackedSize = 0;
    std::uint64_t written = 0;
    Bytes stream;

    void Keep(ByteView piece) { stream.insert(stream.end(), piece.begin(), piece.end()); }
};

RecordWriter::RecordWriter(std::uint32_t unpackedSize) : state_(std::make_unique<State>())
{
    state_->unpackedSize = unpackedSize;
}

RecordWriter::~RecordWriter() = default;

void RecordWriter::Write(ByteView data)
{
    state_->written += data.size();
    if (state_->written > state_->unpackedSize)
        throw FormatError("record: more than its " + std::to_string(state_->unpackedSize) + " unpacked bytes written");
    state_->compressor.Write(data, [&](ByteView piece) { state_->Keep(piece); });
}

Bytes RecordWriter::Finish()
{
    if (state_->written != state_->unpackedSize)
        throw FormatError("record: " + std::to_string(state_->written) + " bytes written, not its " +
                          std::to_string(state_->unpackedSize));
    state_->compressor.Finish([&](ByteView piece) { state_->Keep(piece); });
    return MakeRawRecord(state_->unpackedSize, state_->stream);
}

} // namespace mendsmith::format
