// The update run: applies every entry of Patch.dat on a worker thread, logs each
// outcome, and restores or backs up the saved originals at the end.
#ifndef MENDSMITH_PATCH_UPDATE_RUN_H
#define MENDSMITH_PATCH_UPDATE_RUN_H

#include <windows.h>
#include "stub/patch/entry_applier.h"
#include "stub/patch/update_job.h"

// Start routine of the worker thread; its parameter is the struct UpdateJob.
DWORD WINAPI UpdateWorker(LPVOID job);

#endif
