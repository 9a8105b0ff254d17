// Package reader: maps the updater, finds a record and decompresses it a piece at a time,
// writing each file of its bundle as its bytes come. A record whose stream is corrupt, is cut
// short or does not unpack to exactly the size its header gives is refused; the files written
// from it by then lie in the work directory alone, which the exit removes.
#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <bzlib.h>

#include "core/constants.h"
#include "core/package_layout.h"
#include "stub/package/package_reader.h"
#include "stub/patch/file_view.h"
#include "stub/res/resource.h"

// A file's bytes are written through a buffer of this size, after room for its name and size.
#define UNPACK_ROOM (1u << 20)
#define NAME_ROOM (PATH_ROOM + 4)

static int g_streamEnded; // the record's stream has come to its end mark

// Decompresses exactly size bytes into out; 0 when the stream is corrupt or ends before them.
// With the whole stream as input, one call either fills the room or comes to the input's end.
static int Unpack(bz_stream* stream, void* out, uint32_t size)
{
    stream->next_out = (char*)out;
    stream->avail_out = size;
    int result = BZ2_bzDecompress(stream);
    g_streamEnded |= result == BZ_STREAM_END;
    return (result == BZ_OK || result == BZ_STREAM_END) && stream->avail_out == 0;
}

// Writes one file of the bundle, its size bytes next in the stream, into a new file. 0, or the
// message for why it could not be written.
static UINT ExtractFile(bz_stream* stream, unsigned char* buffer, const char* name, uint32_t size)
{
    // Created new: the work directory is this process's own, so a file already there was put
    // there by another program, and its bytes must not be taken for the package's.
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    UINT problem = file == INVALID_HANDLE_VALUE ? IDS_DATA_ERROR : 0;
    while (problem == 0 && size > 0) {
        uint32_t piece = size < UNPACK_ROOM ? size : UNPACK_ROOM;
        DWORD written;
        if (!Unpack(stream, buffer, piece))
            problem = IDS_DATA_ERROR;
        else if (!WriteFile(file, buffer, piece, &written, NULL) || written != piece)
            problem = GetLastError() == ERROR_DISK_FULL ? IDS_UNPACK_DISK_FULL : IDS_DATA_ERROR;
        size -= piece;
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return problem;
}

// Decompresses a located record a piece at a time and writes every file of its bundle, each once
// its name and size have been read and the name is known to be a plain one. 0, or the message for
// why it could not be unpacked.
static UINT UnpackRecord(const struct PackageRecord* record)
{
    bz_stream stream;
    memset(&stream, 0, sizeof stream);
    if (!HasRecordSignature(record))
        return IDS_DATA_ERROR;
    unsigned char* buffer = (unsigned char*)malloc(NAME_ROOM + UNPACK_ROOM);
    // The small-memory mode stays off.
    if (buffer == NULL || BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
        free(buffer);
        return IDS_UNPACK_NO_MEMORY;
    }
    stream.next_in = (char*)record->stream;
    stream.avail_in = record->streamSize;
    UINT problem = 0;
    g_streamEnded = 0;
    for (;;) {
        // A name, its NUL and the size, read a byte at a time and walked by the bundle reader; a
        // NUL where a name begins ends the bundle.
        uint32_t length = 0, named = 0;
        while (length < NAME_ROOM && (named == 0 || length < named + 4) && Unpack(&stream, buffer + length, 1))
            if (buffer[length++] == 0 && named == 0 && (named = length) == 1)
                break;
        struct BundleEntry entry;
        const unsigned char* cursor = buffer;
        int step = NextBundleEntry(&cursor, buffer + length, &entry);
        if (step == BUNDLE_END)
            break;
        problem = IDS_DATA_ERROR;
        // The file's bytes go through the buffer after the name.
        if ((step == BUNDLE_CONTENT_CUT || step == BUNDLE_ENTRY) && IsPlainFileName(entry.name))
            problem = ExtractFile(&stream, buffer + NAME_ROOM, entry.name, entry.size);
        if (problem != 0)
            break;
    }
    // What follows the bundle's end is read to the stream's end, which must come exactly at the
    // size the record gives.
    while (problem == 0 && Unpack(&stream, buffer + NAME_ROOM, UNPACK_ROOM))
        ;
    if (problem == 0 && (!g_streamEnded || stream.total_out_lo32 != record->unpackedSize || stream.total_out_hi32 != 0))
        problem = IDS_DATA_ERROR;
    (void)BZ2_bzDecompressEnd(&stream);
    free(buffer);
    return problem;
}

static HANDLE g_packageFile;      // the updater file, open without write or delete sharing
static struct FileView g_package; // all of it, mapped; data is NULL until it is open

// 0, or the message for a package that could not be mapped: a file that opens but leaves no
// room for its view is too large for the memory at hand.
static UINT OpenPackage(const char* path)
{
    g_packageFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (OpenFileView(g_packageFile, &g_package))
        return 0;
    return g_packageFile != INVALID_HANDLE_VALUE && g_package.size != 0 ? IDS_UNPACK_NO_MEMORY : IDS_DATA_ERROR;
}

UINT ReadPackageRecord(unsigned int n)
{
    // The first call, at start-up, opens the updater's own file for the life of the process:
    // record 2 then comes from the file the user started, even if its name is given to another
    // file meanwhile, and nobody can write to it.
    char path[PATH_ROOM];
    if (!g_package.data) {
        DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
        if (length == 0 || length >= sizeof path)
            return IDS_DATA_ERROR;
        UINT problem = OpenPackage(path);
        if (problem != 0)
            return problem;
    }
    struct PackageRecord record;
    if (LocatePackageRecord(g_package.data, g_package.size, PACKAGE_OFFSET, n, &record) != RECORD_FOUND)
        return IDS_DATA_ERROR;
    return UnpackRecord(&record);
}

UINT ReadPackageRecordFromFile(const char* path, unsigned int n)
{
    UINT problem = OpenPackage(path);
    if (problem == 0)
        problem = ReadPackageRecord(n);
    CloseFileView(&g_package);
    CloseHandle(g_packageFile);
    g_package.data = NULL;
    return problem;
}

// Built without stdio, the decompressor reports an impossible internal state here;
// leaving through the runtime's exit still removes the work directory.
extern "C" void bz_internal_error(int errcode)
{
    (void)errcode;
    exit(0);
}
