// The stub's copies of libbzip2's CRC and randomisation tables: the CRC table is the
// program's own CRC-32/BZIP2 table, and the random numbers travel as 16-bit values.
// Only the stub links this file; everything else uses the library's own tables.
#include <stdint.h>

#include "bzip2_random_numbers.h"
#include "stub/package/bzip2_tables.h"
#include "core/crc32.h"

static const uint16_t randomNumbers[512] = {BZIP2_RANDOM_NUMBERS};

extern "C" {
uint32_t BZ2_crc32Table[256]; // filled from the program's CRC table
int32_t BZ2_rNums[512];       // filled from randomNumbers
}

void PrepareBzip2Tables(void)
{
    BuildCrcTable();
    for (unsigned i = 0; i < 256; i++)
        BZ2_crc32Table[i] = CrcTableEntry(i);
    for (unsigned i = 0; i < 512; i++)
        BZ2_rNums[i] = randomNumbers[i];
}
