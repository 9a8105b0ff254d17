#include "format/crc.h"

#include <algorithm>

#include "core/crc32.h"

namespace mendsmith::format {

namespace {

void EnsureCrcTable()
{
    // Thread-safe one-time initialisation (the stub builds it once at start-up).
    static const bool built = [] {
        BuildCrcTable();
        return true;
    }();
    (void)built;
}

} // namespace

std::uint32_t Crc32(ByteView data)
{
    EnsureCrcTable();
    return CrcOfBuffer(data.data(), CheckedU32(data.size(), "checksummed data"));
}

RunningCrc::RunningCrc() : crc_(CRC_INITIAL)
{
    EnsureCrcTable();
}

void RunningCrc::Update(ByteView data)
{
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    for (std::size_t at = 0; at < data.size(); at += kPiece) {
        const std::size_t size = std::min(kPiece, data.size() - at);
        crc_ = CrcUpdate(crc_, data.data() + at, static_cast<std::uint32_t>(size));
    }
}

std::uint32_t CrcTableRow(unsigned int i)
{
    EnsureCrcTable();
    return CrcTableEntry(i);
}

} // namespace mendsmith::format
