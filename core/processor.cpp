// Processor features (see processor.h).
#include "core/processor.h"

#ifdef PROCESSOR_MAY_HAVE_SSE2
#include <cpuid.h>

static int hasSse2, foldsCrc;

void NoteProcessorFeatures(void)
{
    unsigned int eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        hasSse2 = (edx & bit_SSE2) != 0;
        foldsCrc = (ecx & bit_PCLMUL) && (ecx & bit_SSSE3);
    }
}

int HasSse2(void)
{
#ifdef __SSE2__
    return 1;
#else
    return hasSse2;
#endif
}

int CanFoldCrc(void)
{
    return foldsCrc;
}
#else
void NoteProcessorFeatures(void) {}

int HasSse2(void)
{
    return 0;
}

int CanFoldCrc(void)
{
    return 0;
}
#endif
