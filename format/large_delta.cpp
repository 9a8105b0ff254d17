// Block matching in bounded memory. The old file is cut into blocks of B bytes, each hashed into
// an index of 8 bytes a slot; a hash rolled over the new file finds, at any byte, a block that
// begins there, which is checked byte for byte, extended backwards over what is not yet
// explained and forwards as far as the bytes agree, and carried on under the same displacement
// across short stretches that differ. Any match of 2B - 1 bytes or more holds a whole block.
#include "format/large_delta.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "format/crc.h"
#include "format/match_finder.h"

namespace mendsmith::format {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPiece = std::size_t{8} << 20;   // bytes read at once when a file is walked
constexpr std::size_t kWindow = std::size_t{16} << 20; // bytes of each file held while matching
constexpr std::uint64_t kReportEvery = std::uint64_t{1} << 26;
constexpr std::size_t kLook = 256; // bytes that may differ before a match is given up
constexpr std::size_t kAgree = 16; // bytes that must agree again for the match to go on
constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

std::uint64_t Mix(std::uint64_t h)
{
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

// A fixed random value per byte, so that bytes of few values still spread over the hash.
const std::array<std::uint64_t, 256>& ByteValues()
{
    static const std::array<std::uint64_t, 256> values = [] {
        std::array<std::uint64_t, 256> v{};
        std::uint64_t state = 0x6D656E64736D6974ull;
        for (std::uint64_t& value : v) {
            state += 0x9E3779B97F4A7C15ull;
            value = Mix(state);
        }
        return v;
    }();
    return values;
}

std::uint64_t HashOf(const std::uint8_t* data, std::size_t size)
{
    const auto& values = ByteValues();
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < size; i++)
        h = h * kMultiplier + values[data[i]];
    return h;
}

unsigned SlotBits(std::uint64_t blocks)
{
    return std::max(4u, static_cast<unsigned>(std::bit_width(blocks + blocks / 3)));
}

// Open addressing over 64-bit slots: 32 bits of the hash that placed it, and the block number
// plus one (0: empty). Of blocks with one hash the first is kept, so runs of equal blocks (a
// zero-filled stretch) take one slot and never lengthen a probe.
class BlockIndex {
public:
    explicit BlockIndex(std::uint64_t blocks) : bits_(SlotBits(blocks)), slots_(std::size_t{1} << bits_, 0) {}

    void Insert(std::uint64_t key, std::uint32_t block)
    {
        const std::uint64_t check = key & 0xFFFFFFFFu;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t s = static_cast<std::size_t>(key >> (64 - bits_));; s = (s + 1) & mask) {
            if (slots_[s] == 0) {
                slots_[s] = check << 32 | (std::uint64_t{block} + 1);
                return;
            }
            if (slots_[s] >> 32 == check)
                return;
        }
    }

    // The block whose hash matches key's, or -1.
    std::int64_t Find(std::uint64_t key) const
    {
        const std::uint64_t check = key & 0xFFFFFFFFu;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t s = static_cast<std::size_t>(key >> (64 - bits_)); slots_[s] != 0; s = (s + 1) & mask)
            if (slots_[s] >> 32 == check)
                return static_cast<std::int64_t>(slots_[s] & 0xFFFFFFFFu) - 1;
        return -1;
    }

private:
    unsigned bits_;
    std::vector<std::uint64_t> slots_;
};

// Bytes of a file at offsets that mostly move forwards, read a large piece at a time; a little
// before each new piece is kept for extensions backwards.
class Window {
public:
    Window(FileReader& file, std::size_t capacity)
        : file_(file), buffer_(static_cast<std::size_t>(std::min<std::uint64_t>(capacity, file.size())))
    {
    }

    // min(want, what the file has from offset on) bytes; valid until the next call. want is at
    // most half the capacity.
    ByteView At(std::uint64_t offset, std::size_t want)
    {
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want, file_.size() - offset));
        if (offset < start_ || offset + want > start_ + filled_) {
            start_ = buffer_.size() == file_.size() ? 0 : offset - std::min<std::uint64_t>(offset, buffer_.size() / 4);
            filled_ = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), file_.size() - start_));
            file_.Read(start_, std::span(buffer_.data(), filled_));
        }
        return ByteView(buffer_.data() + (offset - start_), want);
    }

private:
    FileReader& file_;
    Bytes buffer_;
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
};

struct Region {
    std::uint64_t target; // where in the new file the added bytes begin
    std::uint64_t old;    // and in the old file
    std::uint64_t length;
};

class Matcher {
public:
    Matcher(FileReader& old, FileReader& target)
        : old_(old), target_(target), oldView_(old, kWindow), newView_(target, kWindow)
    {
    }

    // Bytes from q on in the new file that equal the old file from p on, at most limit.
    std::uint64_t Run(std::uint64_t q, std::uint64_t p, std::uint64_t limit)
    {
        std::uint64_t done = 0;
        while (done < limit) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(limit - done, 1 << 16));
            ByteView a = newView_.At(q + done, want);
            ByteView b = oldView_.At(p + done, want);
            const std::size_t same = CommonPrefix(a.data(), b.data(), std::min(a.size(), b.size()));
            done += same;
            if (same < want)
                break;
        }
        return done;
    }

    // Bytes before q in the new file that equal those before p in the old one, at most limit.
    std::uint64_t BackRun(std::uint64_t q, std::uint64_t p, std::uint64_t limit)
    {
        limit = std::min(limit, p);
        std::uint64_t done = 0;
        while (done < limit) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(limit - done, 1 << 12));
            ByteView a = newView_.At(q - done - want, want);
            ByteView b = oldView_.At(p - done - want, want);
            std::size_t same = 0;
            while (same < want && a[want - 1 - same] == b[want - 1 - same])
                same++;
            done += same;
            if (same < want)
                break;
        }
        return done;
    }

    // How far past q the bytes agree again for kAgree in a row, within kLook; none: limit + 1.
    std::uint64_t Resume(std::uint64_t q, std::uint64_t p, std::uint64_t limit)
    {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(limit, kLook + kAgree));
        ByteView a = newView_.At(q, want);
        ByteView b = oldView_.At(p, want);
        std::size_t row = 0;
        for (std::size_t i = 0; i < want; i++) {
            row = a[i] == b[i] ? row + 1 : 0;
            if (row == kAgree)
                return i + 1 - kAgree;
        }
        return limit + 1;
    }

    // A block of the old file that the new file's bytes at q or after begin with, searched up
    // to the end; the new position and the block's, or none.
    bool Find(const BlockIndex& index, std::size_t blockSize, std::uint64_t& q, std::uint64_t& p,
              const std::function<void(std::uint64_t)>& report)
    {
        const std::uint64_t n = target_.size();
        if (n - q < blockSize)
            return false;
        const auto& values = ByteValues();
        std::uint64_t outFactor = 1;
        for (std::size_t i = 0; i < blockSize; i++)
            outFactor *= kMultiplier;
        const std::size_t span = kWindow / 2;
        ByteView view = newView_.At(q, span);
        std::uint64_t viewStart = q;
        std::uint64_t h = HashOf(view.data(), blockSize);
        Bytes block(blockSize);
        for (;;) {
            const std::int64_t found = index.Find(Mix(h));
            if (found >= 0) {
                const std::uint64_t at = static_cast<std::uint64_t>(found) * blockSize;
                old_.Read(at, block);
                if (std::memcmp(block.data(), view.data() + (q - viewStart), blockSize) == 0) {
                    p = at;
                    return true;
                }
            }
            if (q + blockSize >= n)
                return false;
            if (q + blockSize - viewStart >= view.size()) {
                report(q);
                view = newView_.At(q, span);
                viewStart = q;
            }
            h = h * kMultiplier + values[view[q + blockSize - viewStart]] - values[view[q - viewStart]] * outFactor;
            q++;
        }
    }

private:
    FileReader& old_;
    FileReader& target_;
    Window oldView_;
    Window newView_;
};

// Controls for regions in new-file order; what lies between them is extra bytes. A step
// beyond an i32 takes more controls that add nothing.
std::vector<DiffControl> ControlsFor(const std::vector<Region>& regions, std::uint64_t targetSize)
{
    std::vector<DiffControl> controls;
    auto emit = [&](std::uint64_t add, std::uint64_t extra, std::uint64_t from, std::uint64_t to) {
        std::int64_t step = static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from);
        auto part = [&] {
            const std::int64_t s = std::clamp<std::int64_t>(step, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max());
            step -= s;
            return static_cast<std::int32_t>(s);
        };
        controls.push_back({static_cast<std::uint32_t>(add), static_cast<std::uint32_t>(extra), part()});
        while (step != 0)
            controls.push_back({0, 0, part()});
    };
    if (regions.empty()) {
        if (targetSize > 0)
            emit(0, targetSize, 0, 0);
        return controls;
    }
    if (regions[0].target > 0 || regions[0].old > 0)
        emit(0, regions[0].target, 0, regions[0].old);
    for (std::size_t k = 0; k < regions.size(); k++) {
        const Region& r = regions[k];
        const bool last = k + 1 == regions.size();
        const std::uint64_t nextTarget = last ? targetSize : regions[k + 1].target;
        const std::uint64_t end = r.old + r.length;
        emit(r.length, nextTarget - (r.target + r.length), end, last ? end : regions[k + 1].old);
    }
    return controls;
}

} // namespace

FileReader::FileReader(const fs::path& path) : path_(path), in_(path, std::ios::binary)
{
    std::error_code ec;
    size_ = fs::file_size(path, ec);
    if (!in_ || ec)
        throw FormatError(path.string() + ": cannot be opened for reading");
}

void FileReader::Read(std::uint64_t offset, std::span<std::uint8_t> out)
{
    if (offset > size_ || size_ - offset < out.size())
        throw FormatError(path_.string() + ": " + std::to_string(out.size()) + " bytes at offset " +
                          std::to_string(offset) + " lie past its end");
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!in_ || static_cast<std::size_t>(in_.gcount()) != out.size())
        throw FormatError(path_.string() + ": read failed at offset " + std::to_string(offset));
}

std::uint32_t FileCrc32(const fs::path& path)
{
    FileReader file(path);
    Bytes buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, file.size())));
    RunningCrc crc;
    for (std::uint64_t at = 0; at < file.size();) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file.size() - at));
        file.Read(at, std::span(buffer.data(), size));
        crc.Update(ByteView(buffer.data(), size));
        at += size;
    }
    return crc.Value();
}

bool SameFileBytes(const fs::path& a, const fs::path& b)
{
    FileReader x(a), y(b);
    if (x.size() != y.size())
        return false;
    Bytes one(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, x.size()))), two(one.size());
    for (std::uint64_t at = 0; at < x.size();) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(one.size(), x.size() - at));
        x.Read(at, std::span(one.data(), size));
        y.Read(at, std::span(two.data(), size));
        if (std::memcmp(one.data(), two.data(), size) != 0)
            return false;
        at += size;
    }
    return true;
}

std::uint64_t BlockIndexBytes(std::uint64_t oldSize, std::size_t blockSize)
{
    return (std::uint64_t{1} << SlotBits(oldSize / blockSize)) * sizeof(std::uint64_t);
}

std::size_t BlockSizeFor(std::uint64_t oldSize, std::uint64_t indexBytes)
{
    std::size_t blockSize = 16;
    while (blockSize < (std::size_t{1} << 20) && BlockIndexBytes(oldSize, blockSize) > indexBytes)
        blockSize *= 2;
    return blockSize;
}

std::vector<DiffControl> MatchLargeFiles(const fs::path& old, const fs::path& target, std::size_t blockSize,
                                         const DeltaProgress& progress)
{
    FileReader oldFile(old), newFile(target);
    const std::uint64_t m = oldFile.size(), n = newFile.size();
    CheckedU32(m, "old file " + old.string());
    CheckedU32(n, "new file " + target.string());

    BlockIndex index(m / blockSize);
    {
        Bytes buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece / blockSize, m / blockSize)) * blockSize);
        for (std::uint64_t at = 0; at + blockSize <= m;) {
            const std::size_t size =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), (m - at) / blockSize * blockSize));
            oldFile.Read(at, std::span(buffer.data(), size));
            for (std::size_t i = 0; i < size; i += blockSize)
                index.Insert(Mix(HashOf(buffer.data() + i, blockSize)),
                             static_cast<std::uint32_t>((at + i) / blockSize));
            at += size;
        }
    }

    std::uint64_t nextReport = kReportEvery;
    auto report = [&](std::uint64_t at) {
        if (progress && at >= nextReport) {
            progress(static_cast<std::size_t>(at));
            nextReport = at + kReportEvery;
        }
    };
    Matcher matcher(oldFile, newFile);
    std::vector<Region> regions;
    std::uint64_t at = 0;
    while (at < n) {
        std::uint64_t q = at, p = 0;
        if (!matcher.Find(index, blockSize, q, p, report))
            break;
        const std::uint64_t back = matcher.BackRun(q, p, q - at);
        q -= back;
        p -= back;
        std::uint64_t end = q;
        for (;;) {
            const std::uint64_t from = p + (end - q);
            end += matcher.Run(end, from, std::min(n - end, m - (p + (end - q))));
            const std::uint64_t limit = std::min(n - end, m - (p + (end - q)));
            if (limit == 0)
                break;
            const std::uint64_t resume = matcher.Resume(end, p + (end - q), limit);
            if (resume > limit)
                break;
            end += resume;
            report(end);
        }
        regions.push_back({q, p, end - q});
        at = end;
    }
    if (progress)
        progress(static_cast<std::size_t>(n));
    return ControlsFor(regions, n);
}

StreamedDiff StreamDiff(const fs::path& old, const fs::path& target, std::vector<DiffControl> controls)
{
    StreamedDiff body;
    for (const DiffControl& control : controls) {
        body.differenceSize += control.addLength;
        body.extraSize += control.extraLength;
    }
    body.controls = controls;
    body.writeBytes = [old, target, controls = std::move(controls)](const ByteSink& sink) {
        FileReader oldFile(old), newFile(target);
        Bytes a(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, oldFile.size()))),
            b(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, newFile.size())));
        std::uint64_t p = 0, q = 0;
        for (const DiffControl& control : controls) {
            for (std::uint64_t done = 0; done < control.addLength;) {
                const std::size_t size =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, control.addLength - done));
                newFile.Read(q + done, std::span(b.data(), size));
                oldFile.Read(p + done, std::span(a.data(), size));
                for (std::size_t i = 0; i < size; i++)
                    b[i] = static_cast<std::uint8_t>(b[i] - a[i]);
                sink(ByteView(b.data(), size));
                done += size;
            }
            p += control.addLength + static_cast<std::uint64_t>(static_cast<std::int64_t>(control.step));
            q += control.addLength + control.extraLength;
        }
        q = 0;
        for (const DiffControl& control : controls) {
            q += control.addLength;
            for (std::uint64_t done = 0; done < control.extraLength;) {
                const std::size_t size =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, control.extraLength - done));
                newFile.Read(q + done, std::span(b.data(), size));
                sink(ByteView(b.data(), size));
                done += size;
            }
            q += control.extraLength;
        }
    };
    return body;
}

StreamedDiff StreamAttached(const fs::path& file)
{
    StreamedDiff body;
    body.extraSize = FileReader(file).size();
    body.controls = {{0, CheckedU32(body.extraSize, "attached file " + file.string()), 0}};
    body.writeBytes = [file](const ByteSink& sink) {
        FileReader reader(file);
        Bytes buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, reader.size())));
        for (std::uint64_t at = 0; at < reader.size();) {
            const std::size_t size =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), reader.size() - at));
            reader.Read(at, std::span(buffer.data(), size));
            sink(ByteView(buffer.data(), size));
            at += size;
        }
    };
    return body;
}

} // namespace mendsmith::format
