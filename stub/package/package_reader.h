// Unpacking a package record of the updater's own file into the current directory.
#ifndef MENDSMITH_PACKAGE_PACKAGE_READER_H
#define MENDSMITH_PACKAGE_PACKAGE_READER_H

// Reads record n (1: setup bundle, 2: patch bundle) of the running executable and writes
// every file of its bundle into the current directory. Non-zero on success.
int ReadPackageRecord(unsigned int n);

// The same for any updater file; the tests use it on packages they have written.
int ReadPackageRecordFromFile(const char* path, unsigned int n);

// Writes every file of a checked bundle of size bytes into the current directory.
void ExtractFileBundle(const unsigned char* bundle, unsigned int size);

#endif
