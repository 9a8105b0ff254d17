// Package reader: maps the updater, finds a record, decompresses it whole and
// writes its files. A bundle is checked completely before the first file is
// written, so a bad package never leaves a partial set of files.
#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <bzlib.h>

#include "core/constants.h"
#include "core/package_layout.h"
#include "stub/package/package_reader.h"
#include "stub/patch/file_view.h"

void ExtractFileBundle(const unsigned char* bundle, unsigned int size)
{
    const unsigned char* cursor = bundle;
    struct BundleEntry entry;
    while (NextBundleEntry(&cursor, bundle + size, &entry) > 0) {
        HANDLE file = CreateFileA(entry.name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        DWORD written;
        (void)WriteFile(file, entry.data, entry.size, &written, NULL);
        CloseHandle(file);
    }
}

// Decompresses the record's stream into bundle (its unpacked size) in one decoder call, with the
// small-memory mode off. Only a stream that ends within the record and within that size counts.
static int DecompressRecord(const struct PackageRecord* record, unsigned char* bundle)
{
    bz_stream stream;
    memset(&stream, 0, sizeof stream);
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK)
        return 0;
    stream.next_in = (char*)record->stream;
    stream.avail_in = record->streamSize;
    stream.next_out = (char*)bundle;
    stream.avail_out = record->unpackedSize;
    int result = BZ2_bzDecompress(&stream);
    (void)BZ2_bzDecompressEnd(&stream);
    return result == BZ_STREAM_END;
}

// Decompresses a located record and, when its bundle is sound, extracts it.
static int UnpackRecord(const struct PackageRecord* record)
{
    if (!HasRecordSignature(record) || record->unpackedSize == 0xFFFFFFFFu)
        return 0;
    unsigned char* bundle = (unsigned char*)calloc(record->unpackedSize + 1, 1);
    if (bundle == NULL)
        return 0;
    int ok = DecompressRecord(record, bundle) && IsSafeFileBundle(bundle, record->unpackedSize);
    if (ok)
        ExtractFileBundle(bundle, record->unpackedSize);
    free(bundle);
    return ok;
}

int ReadPackageRecordFromFile(const char* path, unsigned int n)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    struct FileView view;
    struct PackageRecord record;
    int ok = OpenFileView(file, &view) &&
             LocatePackageRecord(view.data, view.size, PACKAGE_OFFSET, n, &record) == RECORD_FOUND &&
             UnpackRecord(&record);
    CloseFileView(&view);
    CloseHandle(file);
    return ok;
}

int ReadPackageRecord(unsigned int n)
{
    char path[PATH_ROOM];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return 0;
    return ReadPackageRecordFromFile(path, n);
}

// Built without stdio, the decompressor reports an impossible internal state here;
// leaving through the runtime's exit still removes the work directory.
extern "C" void bz_internal_error(int errcode)
{
    (void)errcode;
    exit(0);
}
