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

int ExtractFileBundle(const unsigned char* bundle, unsigned int size)
{
    const unsigned char* cursor = bundle;
    struct BundleEntry entry;
    int written = 1;
    while (written && NextBundleEntry(&cursor, bundle + size, &entry) > 0) {
        // Created new: the work directory is this process's own, so a file already there was put
        // there by another program, and its bytes must not be taken for the package's.
        HANDLE file = CreateFileA(entry.name, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD done = 0;
        written = file != INVALID_HANDLE_VALUE && WriteFile(file, entry.data, entry.size, &done, NULL) &&
                  done == entry.size;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return written;
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
    int ok = DecompressRecord(record, bundle) && IsSafeFileBundle(bundle, record->unpackedSize) &&
             ExtractFileBundle(bundle, record->unpackedSize);
    free(bundle);
    return ok;
}

static HANDLE g_packageFile;      // the updater file, open without write or delete sharing
static struct FileView g_package; // all of it, mapped; data is NULL until it is open

static int OpenPackage(const char* path)
{
    g_packageFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    return OpenFileView(g_packageFile, &g_package);
}

int ReadPackageRecord(unsigned int n)
{
    // The first call, at start-up, opens the updater's own file for the life of the process:
    // record 2 then comes from the file the user started, even if its name is given to another
    // file meanwhile, and nobody can write to it.
    char path[PATH_ROOM];
    if (!g_package.data) {
        DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
        if (length == 0 || length >= sizeof path || !OpenPackage(path))
            return 0;
    }
    struct PackageRecord record;
    return LocatePackageRecord(g_package.data, g_package.size, PACKAGE_OFFSET, n, &record) == RECORD_FOUND &&
           UnpackRecord(&record);
}

int ReadPackageRecordFromFile(const char* path, unsigned int n)
{
    int ok = OpenPackage(path) && ReadPackageRecord(n);
    CloseFileView(&g_package);
    CloseHandle(g_packageFile);
    g_package.data = NULL;
    return ok;
}

// Built without stdio, the decompressor reports an impossible internal state here;
// leaving through the runtime's exit still removes the work directory.
extern "C" void bz_internal_error(int errcode)
{
    (void)errcode;
    exit(0);
}
