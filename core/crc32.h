// CRC-32/BZIP2 (polynomial 0x04C11DB7, MSB first, init and final XOR 0xFFFFFFFF).
// Win32-free, so the host tools and fuzz targets share it with the stub.
#ifndef MENDSMITH_CORE_CRC32_H
#define MENDSMITH_CORE_CRC32_H

#include <stdint.h>

#define CRC_INITIAL 0xFFFFFFFFu

// Fills the lookup tables; must run once before any checksum is taken.
void BuildCrcTable(void);

// Feeds size bytes into a running register (start with CRC_INITIAL, finish with ~register).
uint32_t CrcUpdate(uint32_t crc, const unsigned char* data, uint32_t size);

// The byte-at-a-time loop over the first table only; kept as the benchmark's baseline.
uint32_t CrcUpdateBytewise(uint32_t crc, const unsigned char* data, uint32_t size);

// Checksum of a whole buffer.
uint32_t CrcOfBuffer(const unsigned char* data, uint32_t size);

// Entry i of the classic 256-entry table (for checks against published rows).
uint32_t CrcTableEntry(unsigned int i);

#endif
