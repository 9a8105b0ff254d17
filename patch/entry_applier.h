// Applying one patch entry to the destination directory.
#ifndef MENDSMITH_PATCH_ENTRY_APPLIER_H
#define MENDSMITH_PATCH_ENTRY_APPLIER_H

#include <windows.h>
#include "common/format.h"
#include "patch/patch_data.h"

typedef DWORD EntryStatus;

extern volatile DWORD g_summaryStatus;          // OR of every EntryStatus of the run
extern char g_runDestination[PATH_ROOM];        // root of every entry path during the run
extern HWND g_runStatusWindow;                  // shows each entry's path; none when NULL

// Applies the entry at the cursor and leaves the cursor on the next entry (not after
// ENTRY_DATA_ERROR). Originals it replaces are saved below rollbackDirectory.
EntryStatus ApplyPatchEntry(struct PatchCursor* cursor, const char* rollbackDirectory, HWND owner);

// Puts directory and tail one after the other into a PATH_ROOM buffer. 0, leaving the buffer
// as it was, when the result would be longer than MAX_PATH_CHARS.
int ConcatPath(char* joined, const char* directory, const char* tail);

// One WriteFile of size bytes; 0 when it failed or wrote fewer.
int WriteWhole(HANDLE file, const void* data, DWORD size);

#endif
