// Process entry of the updater. No C runtime start-up code is linked: this is
// the image's entry point, and every way out goes through the runtime's exit.
#include <windows.h>
#include <stdlib.h>

#include "stub/package/bzip2_tables.h"
#include "stub/startup/startup.h"

// The linker's name for the image's own base address, which is its module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" void __stdcall EntryPoint(void)
{
    PrepareBzip2Tables();
    // The window shows as the program's starter asked: SW_SHOWDEFAULT reads the start-up info.
    exit(RunUpdater((HINSTANCE)&__ImageBase, SW_SHOWDEFAULT));
}
