// CRC-32/BZIP2 with slicing-by-8 tables built at start-up (they live in .bss, so the stub file
// stays small while the checksum runs several times faster), and, where the processor multiplies
// without carries, folding of 16-byte blocks, several times faster again.
#include "core/crc32.h"
#include "core/processor.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define CRC_CAN_FOLD 1
#endif

// The i686 build is the shipped stub, whose every byte counts: it would slice only where it
// cannot fold, on processors older than 2010, so it goes a byte at a time there instead.
#ifndef __i386__
#define CRC_SLICES 1
#define CRC_TABLES 8
#else
#define CRC_TABLES 1
#endif

// crcTables[0] is the classic table; crcTables[k][i] advances entry i by k more zero bytes.
static uint32_t crcTables[CRC_TABLES][256];
// Non-zero when the processor has PCLMULQDQ and SSSE3.
static int crcFolds;

void BuildCrcTable(void)
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t reg = i << 24;
        for (int step = 0; step < 8; step++)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
        crcTables[0][i] = reg;
    }
#ifdef CRC_SLICES
    for (uint32_t i = 0; i < 256; i++)
        for (int k = 1; k < 8; k++)
            crcTables[k][i] = (crcTables[k - 1][i] << 8) ^ crcTables[0][crcTables[k - 1][i] >> 24];
#endif
#ifdef CRC_CAN_FOLD
    NoteProcessorFeatures();
    crcFolds = CanFoldCrc();
#endif
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

#ifdef CRC_CAN_FOLD
// The byte order that puts a block's first byte on top; then x^n mod P for n = 128 + 64 and 128
// (one block), low halves first. Kept beside the code, where the optimiser does not copy them.
__attribute__((section(".text"), aligned(16))) static const uint32_t crcFoldConstants[8] = {0x0C0D0E0F, 0x08090A0B,
                                                                                            0x04050607, 0x00010203,
                                                                                            0xE8A45605, 0,
                                                                                            0xC5B9CD4C, 0};

// Loads 16 bytes so that the first byte's top bit is the register's bit 127, the polynomial's
// highest term, as the checksum reads bits.
__attribute__((target("pclmul,ssse3"))) static __m128i LoadBlock(const unsigned char* data, __m128i reverse)
{
    return _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)data), reverse);
}

// A block followed by D more bits, replaced by a block of at most 96 bits that leaves the
// checksum as it was: high half times x^(D+64) mod P plus low half times x^D mod P.
__attribute__((target("pclmul,ssse3"))) static __m128i Fold(__m128i block, __m128i powers)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(block, powers, 0x11), _mm_clmulepi64_si128(block, powers, 0x00));
}

// Folds the data into one 16-byte register a block at a time; the last block goes through the
// table, from a zero register. One lane keeps up with any disk: the checksum is not what a run
// waits for.
__attribute__((target("pclmul,ssse3"))) static uint32_t CrcUpdateFolded(uint32_t crc, const unsigned char* data,
                                                                        uint32_t size)
{
    const uint32_t* constants = crcFoldConstants;
    // Hidden from the optimiser, which would otherwise copy the known values (the constants, and
    // the stub's one starting register) into constant data.
    __asm__("" : "+r"(constants), "+r"(crc));
    const __m128i reverse = _mm_load_si128((const __m128i*)constants);
    const __m128i step = _mm_load_si128((const __m128i*)(constants + 4));
    // The register so far is added to the first 32 bits of the data.
    __m128i folded = _mm_xor_si128(LoadBlock(data, reverse), _mm_slli_si128(_mm_cvtsi32_si128((int)crc), 12));
    for (data += 16, size -= 16; size >= 16; data += 16, size -= 16)
        folded = _mm_xor_si128(Fold(folded, step), LoadBlock(data, reverse));
    unsigned char last[16];
    _mm_storeu_si128((__m128i*)last, _mm_shuffle_epi8(folded, reverse));
    return CrcUpdateBytewise(CrcUpdateBytewise(0, last, 16), data, size);
}
#endif

uint32_t CrcUpdate(uint32_t crc, const unsigned char* data, uint32_t size)
{
#ifdef CRC_CAN_FOLD
    if (crcFolds && size >= 16)
        return CrcUpdateFolded(crc, data, size);
#endif
#ifdef CRC_SLICES
    while (size >= 8) {
        uint32_t hi = crc ^ ((uint32_t)data[0] << 24 | (uint32_t)data[1] << 16 | (uint32_t)data[2] << 8 | data[3]);
        crc = crcTables[7][hi >> 24] ^ crcTables[6][(hi >> 16) & 0xFF] ^ crcTables[5][(hi >> 8) & 0xFF] ^
              crcTables[4][hi & 0xFF] ^ crcTables[3][data[4]] ^ crcTables[2][data[5]] ^ crcTables[1][data[6]] ^
              crcTables[0][data[7]];
        data += 8;
        size -= 8;
    }
#endif
    return CrcUpdateBytewise(crc, data, size);
}

uint32_t CrcOfBuffer(const unsigned char* data, uint32_t size)
{
    return ~CrcUpdate(CRC_INITIAL, data, size);
}
