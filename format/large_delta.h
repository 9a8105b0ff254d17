// Difference bodies of files too large for the suffix array in the memory at hand: an index of
// hashed blocks of the old file, matched by a rolling hash over the new file, both files read in
// pieces and never held whole.
#ifndef MENDSMITH_FORMAT_LARGE_DELTA_H
#define MENDSMITH_FORMAT_LARGE_DELTA_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

#include "format/bytes.h"
#include "format/delta.h"
#include "format/patch_file.h"

namespace mendsmith::format {

// Reads a file at any offset; throws FormatError naming the file when it cannot.
class FileReader {
public:
    explicit FileReader(const std::filesystem::path& path);

    std::uint64_t size() const { return size_; }

    // Exactly out.size() bytes from offset on.
    void Read(std::uint64_t offset, std::span<std::uint8_t> out);

private:
    std::filesystem::path path_;
    std::ifstream in_;
    std::uint64_t size_ = 0;
};

// About what the suffix-array engine (MakePatchEntry) needs at its peak for such a pair, as
// measured: eight times the larger file.
constexpr std::uint64_t FullEngineMemory(std::uint64_t oldSize, std::uint64_t newSize)
{
    return 8 * (oldSize > newSize ? oldSize : newSize);
}

// The CRC-32 of a whole file, read in pieces.
std::uint32_t FileCrc32(const std::filesystem::path& path);

// Whether two files hold the same bytes, read in pieces.
bool SameFileBytes(const std::filesystem::path& a, const std::filesystem::path& b);

// The block index's own memory for an old file of oldSize bytes with blocks of blockSize bytes.
std::uint64_t BlockIndexBytes(std::uint64_t oldSize, std::size_t blockSize);

// The smallest block size (a power of two, 16 at least) whose index fits in indexBytes.
std::size_t BlockSizeFor(std::uint64_t oldSize, std::uint64_t indexBytes);

// Controls of a difference body from old to target (files below 4 GiB). Every run of blockSize
// bytes of target that equals a block of old at a multiple of blockSize is found, extended both
// ways, and carried on under its displacement across short stretches that differ, which become
// difference bytes; what no block explains becomes extra bytes. Memory: the block index and a
// few windows of the files.
std::vector<DiffControl> MatchLargeFiles(const std::filesystem::path& old, const std::filesystem::path& target,
                                         std::size_t blockSize, const DeltaProgress& progress = {});

// The difference body of those controls, made as it is written: its difference bytes, then its
// extra bytes, read from both files in pieces.
StreamedDiff StreamDiff(const std::filesystem::path& old, const std::filesystem::path& target,
                        std::vector<DiffControl> controls);

// An attached file's bytes, read as they are written: the extra bytes of one control.
StreamedDiff StreamAttached(const std::filesystem::path& file);

} // namespace mendsmith::format

#endif
