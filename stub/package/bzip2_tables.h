// The decompressor's CRC table, kept in .bss and filled before the first record is read.
#ifndef MENDSMITH_PACKAGE_BZIP2_TABLES_H
#define MENDSMITH_PACKAGE_BZIP2_TABLES_H

void PrepareBzip2Tables(void);

#endif
