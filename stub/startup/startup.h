// Start-up and shutdown of the updater.
#ifndef MENDSMITH_STARTUP_STARTUP_H
#define MENDSMITH_STARTUP_STARTUP_H

#include <windows.h>

// Runs the updater from the first start-up step to the end of the message loop;
// returns the process exit code.
int RunUpdater(HINSTANCE instance, int showCommand);

#endif
