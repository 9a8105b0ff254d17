// The Windows test programs' main, used instead of GoogleTest's own.
#include <gtest/gtest.h>

#include "support/run_harness.h"

namespace {

void WINAPI DropDebuggerText(LPCSTR) {}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // GoogleTest also hands every failure and skip to OutputDebugStringA, which raises an
    // exception for a debugger to take. Wine's 32-bit half, run under qemu where the kernel
    // runs no 32-bit code, crashes while unwinding it: the first failure would end the program
    // without the rest of the tests or the XML report. The console shows every message anyway.
    testing_support::ImportHook noDebuggerText("OutputDebugStringA", reinterpret_cast<const void*>(&DropDebuggerText));
    return RUN_ALL_TESTS();
}
