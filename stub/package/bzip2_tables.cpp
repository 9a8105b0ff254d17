// The stub's copies of libbzip2's CRC and randomisation tables: the CRC table is the
// program's own CRC-32/BZIP2 table, and the random numbers travel as 10-bit values.
// Only the stub links this file; everything else uses the library's own tables.
#include <stdint.h>

#include "bzip2_random_numbers.h"
#include "stub/package/bzip2_tables.h"
#include "core/crc32.h"

static const uint8_t packedRandomNumbers[640] = {BZIP2_RANDOM_NUMBERS_PACKED};

extern "C" {
uint32_t BZ2_crc32Table[256]; // filled from the program's CRC table
int32_t BZ2_rNums[512];       // unpacked from packedRandomNumbers
}

void PrepareBzip2Tables(void)
{
    BuildCrcTable();
    for (unsigned i = 0; i < 256; i++)
        BZ2_crc32Table[i] = CrcTableEntry(i);
    for (unsigned i = 0; i < 512; i++) {
        unsigned bit = i * 10;
        unsigned pair = packedRandomNumbers[bit / 8] | packedRandomNumbers[bit / 8 + 1] << 8;
        BZ2_rNums[i] = (int32_t)((pair >> bit % 8) & 0x3FF);
    }
}
