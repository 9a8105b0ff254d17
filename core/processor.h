// What the processor offers beyond what every build may assume.
#ifndef MENDSMITH_CORE_PROCESSOR_H
#define MENDSMITH_CORE_PROCESSOR_H

#if defined(__i386__) || defined(__x86_64__)
#define PROCESSOR_MAY_HAVE_SSE2 1
#endif

// Asks the processor once what it offers; BuildCrcTable calls it at start-up.
void NoteProcessorFeatures(void);

// Non-zero where the processor has SSE2: every x86-64 one; a 32-bit one (since 2001) once
// NoteProcessorFeatures has seen it.
int HasSse2(void);

// Non-zero where the processor has PCLMULQDQ and SSSE3 (every x86 one since 2010), once
// NoteProcessorFeatures has seen them.
int CanFoldCrc(void);

#endif
