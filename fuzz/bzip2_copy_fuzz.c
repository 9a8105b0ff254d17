/* Decodes a bzip2 stream with the stub's copy of the decoder and with the library, fed and drained
   in the same steps, and stops the run unless both give the same bytes and the same outcome. The
   copy alone refuses a randomised block; the input's first two bytes choose the steps. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "bzlib_private.h"

int stub_BZ2_bzDecompressInit(bz_stream* strm, int verbosity, int small);
int stub_BZ2_bzDecompress(bz_stream* strm);
int stub_BZ2_bzDecompressEnd(bz_stream* strm);

/* The copy's compressor is never called; its assertions would be a fault of the decoder. */
void stub_BZ2_compressBlock(EState* s, Bool is_last_block)
{
    (void)s;
    (void)is_last_block;
    abort();
}

void stub_bz_internal_error(int errcode)
{
    (void)errcode;
    abort();
}

enum { OUTPUT_CAP = 1 << 20, OUT_OF_ROOM = 100, INPUT_ENDED = 101 };

typedef struct {
    int outcome;
    Bool randomised;
    size_t size;
    unsigned char bytes[OUTPUT_CAP];
} Decoded;

static Decoded library, copy;

static void Decode(int (*init)(bz_stream*, int, int), int (*decompress)(bz_stream*), int (*end)(bz_stream*),
                   const uint8_t* in, size_t size, size_t inStep, size_t outStep, Decoded* result)
{
    bz_stream strm;
    size_t given = 0;
    memset(&strm, 0, sizeof strm);
    result->size = 0;
    result->randomised = False;
    result->outcome = init(&strm, 0, 0);
    if (result->outcome != BZ_OK)
        return;
    for (;;) {
        size_t room = OUTPUT_CAP - result->size;
        if (strm.avail_in == 0 && given < size) {
            size_t piece = size - given < inStep ? size - given : inStep;
            strm.next_in = (char*)in + given;
            strm.avail_in = (unsigned)piece;
            given += piece;
        }
        if (room == 0) {
            result->outcome = OUT_OF_ROOM;
            break;
        }
        if (room > outStep)
            room = outStep;
        strm.next_out = (char*)result->bytes + result->size;
        strm.avail_out = (unsigned)room;
        result->outcome = decompress(&strm);
        result->size += room - strm.avail_out;
        if (result->outcome != BZ_OK)
            break;
        if (strm.avail_in == 0 && given == size && strm.avail_out > 0) {
            result->outcome = INPUT_ENDED;
            break;
        }
    }
    result->randomised = ((DState*)strm.state)->blockRandomised;
    (void)end(&strm);
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    size_t inStep = data[0] < 128 ? 1u + data[0] : size;
    size_t outStep = data[1] < 128 ? 1u + data[1] * 37u : OUTPUT_CAP;
    Decode(BZ2_bzDecompressInit, BZ2_bzDecompress, BZ2_bzDecompressEnd, data + 2, size - 2, inStep, outStep, &library);
    Decode(stub_BZ2_bzDecompressInit, stub_BZ2_bzDecompress, stub_BZ2_bzDecompressEnd, data + 2, size - 2, inStep,
           outStep, &copy);
    if (copy.outcome == BZ_DATA_ERROR && copy.randomised)
        return 0;
    if (copy.outcome != library.outcome || copy.size != library.size ||
        memcmp(copy.bytes, library.bytes, copy.size) != 0)
        abort();
    return 0;
}
