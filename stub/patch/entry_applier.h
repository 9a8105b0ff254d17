// Applying one patch entry to the destination directory.
#ifndef MENDSMITH_PATCH_ENTRY_APPLIER_H
#define MENDSMITH_PATCH_ENTRY_APPLIER_H

#include <windows.h>
#include "core/constants.h"
#include "core/patch_data.h"
#include "stub/patch/file_reader.h"
#include "stub/patch/update_job.h"

typedef DWORD EntryStatus;

extern volatile DWORD g_summaryStatus;  // OR of every EntryStatus of the run
extern char g_keptAsidePath[PATH_ROOM]; // the new release that the last ENTRY_KEPT_ASIDE left beside its file

// The window holds at least this much of Patch.dat at the start of an entry (all that is left near
// its end): an entry whose header is longer is a data error.
#define ENTRY_HEAD_ROOM 65536u

// Applies the entry at the cursor below the job's destination directory and leaves the cursor
// on the next entry (not after ENTRY_DATA_ERROR, nor after ENTRY_NO_MEMORY for a body whose
// controls the window cannot hold). Originals it replaces are saved below rollbackDirectory; the
// job's question decides about an attached file that is already there. name (PATH_ROOM bytes)
// receives the entry's path for the log, its first 259 characters; "" when it has none.
EntryStatus ApplyPatchEntry(struct PatchReader* patch, const char* rollbackDirectory, const struct UpdateJob* job,
                            char* name);

// Frees the room that the entries kept for old files read whole; the run's end calls it.
void ReleaseWholeFileRoom(void);

// Non-zero when an entry path names the job's main file: the last components are compared,
// ignoring case, wherever either lies.
int IsMainFile(const char* entryPath, const struct UpdateJob* job);

// Puts directory and tail one after the other into a PATH_ROOM buffer. 0, leaving the buffer
// as it was, when the result would be longer than MAX_PATH_CHARS.
int ConcatPath(char* joined, const char* directory, const char* tail);

// One WriteFile of size bytes; 0 when it failed or wrote fewer.
int WriteWhole(HANDLE file, const void* data, DWORD size);

#endif
