// CRC-32/BZIP2 with slicing-by-8 tables built at start-up (they live in .bss,
// so the stub file stays small while the checksum runs several times faster).
#include "core/crc32.h"

// crcTables[0] is the classic table; crcTables[k][i] advances entry i by k more zero bytes.
static uint32_t crcTables[8][256];

void BuildCrcTable(void)
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t reg = i << 24;
        for (int step = 0; step < 8; step++)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
        crcTables[0][i] = reg;
    }
    for (uint32_t i = 0; i < 256; i++)
        for (int k = 1; k < 8; k++)
            crcTables[k][i] = (crcTables[k - 1][i] << 8) ^ crcTables[0][crcTables[k - 1][i] >> 24];
}

uint32_t CrcTableEntry(unsigned int i)
{
    return crcTables[0][i & 0xFF];
}

uint32_t CrcUpdateBytewise(uint32_t crc, const unsigned char* data, uint32_t size)
{
    for (uint32_t i = 0; i < size; i++)
        crc = (crc << 8) ^ crcTables[0][(crc >> 24) ^ data[i]];
    return crc;
}

uint32_t CrcUpdate(uint32_t crc, const unsigned char* data, uint32_t size)
{
    while (size >= 8) {
        uint32_t hi = crc ^ ((uint32_t)data[0] << 24 | (uint32_t)data[1] << 16 | (uint32_t)data[2] << 8 | data[3]);
        crc = crcTables[7][hi >> 24] ^ crcTables[6][(hi >> 16) & 0xFF] ^ crcTables[5][(hi >> 8) & 0xFF] ^
              crcTables[4][hi & 0xFF] ^ crcTables[3][data[4]] ^ crcTables[2][data[5]] ^ crcTables[1][data[6]] ^
              crcTables[0][data[7]];
        data += 8;
        size -= 8;
    }
    return CrcUpdateBytewise(crc, data, size);
}

uint32_t CrcOfBuffer(const unsigned char* data, uint32_t size)
{
    return ~CrcUpdate(CRC_INITIAL, data, size);
}
