// CRC-32/BZIP2 through the stub's own code (patch/crc32.cpp), its table built on first use.
#ifndef MENDSMITH_FORMAT_CRC_H
#define MENDSMITH_FORMAT_CRC_H

#include <cstdint>

#include "format/bytes.h"

namespace mendsmith::format {

std::uint32_t Crc32(ByteView data);

// A CRC-32 taken over bytes that arrive in pieces.
class RunningCrc {
public:
    RunningCrc();
    void Update(ByteView data);
    std::uint32_t Value() const { return ~crc_; }

private:
    std::uint32_t crc_;
};

// Row i of the classic 256-entry table.
std::uint32_t CrcTableRow(unsigned int i);

} // namespace mendsmith::format

#endif
