// Unpacking a package record of the updater's own file into the current directory.
#ifndef MENDSMITH_PACKAGE_PACKAGE_READER_H
#define MENDSMITH_PACKAGE_PACKAGE_READER_H

// Reads record n (1: setup bundle, 2: patch bundle) of the running executable, which the first
// call opens and keeps open without write or delete sharing until the process ends, and writes
// every file of its bundle into the current directory. Non-zero on success; 0 also when a file
// of the bundle was already there.
int ReadPackageRecord(unsigned int n);

// The same for any updater file, opened and closed again; the tests use it on packages they
// have written.
int ReadPackageRecordFromFile(const char* path, unsigned int n);

// Writes every file of a checked bundle of size bytes into the current directory, each created
// new. 0 when a file was already there or a write failed; the files written so far stay.
int ExtractFileBundle(const unsigned char* bundle, unsigned int size);

#endif
