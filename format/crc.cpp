#include "format/crc.h"

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

std::uint32_t CrcTableRow(unsigned int i)
{
    EnsureCrcTable();
    return CrcTableEntry(i);
}

} // namespace mendsmith::format
