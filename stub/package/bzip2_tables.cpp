// The stub's copy of libbzip2's CRC table: the program's own CRC-32/BZIP2 table. The stub's
// decoder has no use for the library's random numbers (see cmake/bzip2_stub_copy.cmake). Only the stub
// links this file; everything else uses the library's own tables.
#include <stdint.h>

#include "stub/package/bzip2_tables.h"
#include "core/crc32.h"

extern "C" {
uint32_t BZ2_crc32Table[256]; // filled from the program's CRC table
}

void PrepareBzip2Tables(void)
{
    BuildCrcTable();
    for (unsigned i = 0; i < 256; i++)
        BZ2_crc32Table[i] = CrcTableEntry(i);
}
