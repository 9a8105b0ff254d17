// Unpacking a package record of the updater's own file into the current directory.
#ifndef MENDSMITH_PACKAGE_PACKAGE_READER_H
#define MENDSMITH_PACKAGE_PACKAGE_READER_H

#include <windows.h>

// Reads record n (1: setup bundle, 2: patch bundle) of the running executable, which the first
// call opens and keeps open without write or delete sharing until the process ends, and writes
// every file of its bundle into the current directory. 0 on success, otherwise the id of the
// message that says why: IDS_UNPACK_NO_MEMORY, IDS_UNPACK_DISK_FULL, or IDS_DATA_ERROR (also
// when a file of the bundle was already there).
UINT ReadPackageRecord(unsigned int n);

// The same for any updater file, opened and closed again; the tests use it on packages they
// have written.
UINT ReadPackageRecordFromFile(const char* path, unsigned int n);

#endif
