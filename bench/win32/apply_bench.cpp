// Wall time of whole update runs (checksums, rebuild, rollback copy, move, log) beside
// CopyFileA of the same result bytes on the same disk: one large file, a tree of small ones, and
// programs rebuilt from difference bodies and from predicted ones.
// Usage: apply_bench [megabytes of the large file, default 256] [number of small files, default 2000]
//                    [number of programs, default 20]
#include <windows.h>

#include <algorithm>
#include <new>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format/delta.h"
#include "format/patch_file.h"
#include "core/crc32.h"
#include "core/references.h"
#include "stub/patch/tree_ops.h"
#include "stub/patch/update_run.h"

namespace fmt = mendsmith::format;

static double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

static std::string NewFolder(const char* prefix)
{
    char base[MAX_PATH], name[MAX_PATH];
    GetTempPathA(sizeof base, base);
    GetTempFileNameA(base, prefix, 0, name);
    DeleteFileA(name);
    CreateDirectoryA(name, nullptr);
    return name;
}

static void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) ||
        written != size) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    CloseHandle(file);
}

static void Fill(fmt::Bytes& bytes, std::uint32_t seed)
{
    std::uint32_t x = seed;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        x = x * 1103515245u + 12345u;
        std::memcpy(&bytes[i], &x, 4);
    }
}

// Runs the worker on this thread: with no windows its messages go nowhere and nothing waits.
static double TimeRun(const std::string& destination, const std::string& work)
{
    const std::string backup = destination + "\\Mendsmith.bak";
    const std::string patchPath = work + "\\Patch.dat";
    const std::string logPath = destination + "\\Mendsmith.log";
    UpdateJob job{};
    job.destinationDirectory = destination.c_str();
    job.backupDirectory = backup.c_str();
    job.patchFilePath = patchPath.c_str();
    job.logFilePath = logPath.c_str();
    job.mainFileName = "";
    job.askToOverwrite = [](HWND, const char*) { return 0; };
    job.loadText = [](UINT id, char* buffer, int size) {
        return LoadStringA(GetModuleHandleA(nullptr), id, buffer, size);
    };
    job.runState = RUN_ACTIVE;
    g_summaryStatus = 0;
    double start = Now();
    UpdateWorker(&job);
    double seconds = Now() - start;
    if (job.runState != RUN_ACTIVE || g_summaryStatus != ENTRY_UPDATED) {
        std::fprintf(stderr, "the run failed: state %ld, summary 0x%lX\n", job.runState,
                     static_cast<unsigned long>(g_summaryStatus));
        std::exit(1);
    }
    return seconds;
}

// The copies' time; flushed, each copy is written to the disk before the next, as the run does
// with each new release before the originals are deleted.
static double TimeCopies(const std::vector<std::string>& from, const std::string& folder, bool flushed)
{
    double start = Now();
    for (std::size_t i = 0; i < from.size(); i++) {
        const std::string copy = folder + "\\" + (flushed ? "f" : "") + std::to_string(i);
        CopyFileA(from[i].c_str(), copy.c_str(), FALSE);
        if (!flushed)
            continue;
        HANDLE file =
            CreateFileA(copy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        FlushFileBuffers(file);
        CloseHandle(file);
    }
    return Now() - start;
}

static void Report(const char* what, double run, const std::vector<std::string>& results, const std::string& copies)
{
    double copy = TimeCopies(results, copies, false), flushed = TimeCopies(results, copies, true);
    std::printf("%-44s run %8.2f s   CopyFileA %8.2f s   ratio %5.2f   flushed copies %8.2f s   ratio %5.2f\n", what,
                run, copy, run / copy, flushed, run / flushed);
}

// The three folders of one measurement, removed with all in them however it ends.
struct Folders {
    std::string destination = NewFolder("BND"), work = NewFolder("BNW"), copies = NewFolder("BNC");
    ~Folders()
    {
        DeleteTree(destination.c_str());
        DeleteTree(work.c_str());
        DeleteTree(copies.c_str());
    }
};

// Times the run over the prepared folders against copies of the results and reports.
static void RunAndReport(const std::string& destination, const std::string& work, const std::string& copies,
                         const std::vector<std::string>& results, const char* what)
{
    Report(what, TimeRun(destination, work), results, copies);
}

// One file of megabytes MB, rebuilt from 1 MB pieces taken out of order, each followed by 64 new
// bytes: as copy and literal ops, or as a difference body whose additions change one byte in 4 KB.
static void LargeFile(std::uint32_t megabytes, bool difference)
{
    const Folders folders;
    const std::string &destination = folders.destination, &work = folders.work, &copies = folders.copies;
    const std::uint32_t chunk = 1u << 20, added = chunk - 64;
    fmt::Bytes old(std::size_t(megabytes) * chunk);
    Fill(old, 7);
    WriteWholeFile(destination + "\\big.bin", old.data(), old.size());
    fmt::PatchEntry entry;
    entry.path = "\\big.bin";
    entry.sourceCrc = CrcOfBuffer(old.data(), static_cast<std::uint32_t>(old.size()));
    fmt::DiffBody body;
    // Reserved whole: grown step by step, the copies would not fit a 32-bit address space.
    if (difference) {
        body.difference.reserve(std::size_t(megabytes) * added);
        body.extra.reserve(std::size_t(megabytes) * 64);
    }
    fmt::Bytes piece(added);
    std::uint32_t target = CRC_INITIAL;
    std::uint32_t position = 0;
    for (std::uint32_t i = 0; i < megabytes; i++) {
        std::uint32_t from = ((i * 7919u) % megabytes) * chunk;
        std::copy_n(&old[from], added, piece.begin());
        fmt::Bytes literal(64, static_cast<std::uint8_t>(i));
        if (difference) {
            fmt::Bytes changes(added);
            for (std::uint32_t at = 0; at < added; at += 4096) {
                changes[at] = static_cast<std::uint8_t>(at >> 12 | 1);
                piece[at] = static_cast<std::uint8_t>(piece[at] + changes[at]);
            }
            auto step = static_cast<std::int32_t>(static_cast<std::int64_t>(from) - position);
            // Every control steps to the next piece's start before it adds it.
            body.controls.push_back({0, 0, step});
            body.controls.push_back({added, 64, 0});
            body.difference.insert(body.difference.end(), changes.begin(), changes.end());
            body.extra.insert(body.extra.end(), literal.begin(), literal.end());
            position = from + added;
        } else {
            entry.ops.push_back(fmt::Op::MakeCopy(added, from));
            entry.ops.push_back(fmt::Op::MakeLiteral(literal));
        }
        target = CrcUpdate(target, piece.data(), added);
        target = CrcUpdate(target, literal.data(), 64);
    }
    entry.targetCrc = ~target;
    old = fmt::Bytes();
    if (difference)
        entry.difference = std::move(body);
    fmt::Bytes patch = fmt::WritePatchFile(std::vector<fmt::PatchEntry>{entry});
    entry = fmt::PatchEntry();
    WriteWholeFile(work + "\\Patch.dat", patch.data(), patch.size());
    patch = fmt::Bytes();

    char what[80];
    std::snprintf(what, sizeof what, "one file of %u MB, %s:", megabytes,
                  difference ? "difference body" : "copy and literal ops");
    RunAndReport(destination, work, copies, {destination + "\\big.bin"}, what);
}

// files small files of 4 to 12 KB in 20 folders, each rebuilt from a delta.
static void SmallFiles(std::uint32_t files)
{
    const Folders folders;
    const std::string &destination = folders.destination, &work = folders.work, &copies = folders.copies;
    std::vector<fmt::PatchEntry> entries;
    std::vector<std::string> results;
    std::size_t bytes = 0;
    for (std::uint32_t i = 0; i < files; i++) {
        std::string folder = "\\d" + std::to_string(i % 20);
        CreateDirectoryA((destination + folder).c_str(), nullptr);
        fmt::Bytes old(4096 + (i % 9) * 1024);
        Fill(old, i + 1);
        fmt::Bytes next = old;
        for (std::size_t at = 100; at < next.size(); at += 1500)
            next[at] ^= 0xFF;
        std::string path = folder + "\\f" + std::to_string(i) + ".dat";
        WriteWholeFile(destination + path, old.data(), old.size());
        entries.push_back(fmt::MakePatchEntry(path, old, next));
        results.push_back(destination + path);
        bytes += next.size();
    }
    fmt::Bytes patch = fmt::WritePatchFile(entries);
    WriteWholeFile(work + "\\Patch.dat", patch.data(), patch.size());

    char what[80];
    std::snprintf(what, sizeof what, "%u small files, %zu KB in all:", files, bytes / 1024);
    RunAndReport(destination, work, copies, results, what);
}

static fmt::Bytes ReadWholeFile(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    fmt::Bytes bytes(file == INVALID_HANDLE_VALUE ? 0 : GetFileSize(file, nullptr));
    DWORD read = 0;
    if (file == INVALID_HANDLE_VALUE ||
        !ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(1);
    }
    CloseHandle(file);
    return bytes;
}

// copies copies of this program, each rebuilt with 48 bytes of code inserted in its middle, which
// moves every reference across the middle: once from difference bodies, once from predicted ones.
static void Programs(std::uint32_t copies)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const fmt::Bytes old = ReadWholeFile(self);
    fmt::Bytes target = old;
    target.insert(target.begin() + static_cast<std::ptrdiff_t>(old.size() / 2), 48, 0x90);
    const fmt::DiffBodies bodies = fmt::MakeDiffBodies(old, target, REFERENCE_KINDS, fmt::Plain::Wanted);
    if (!bodies.plain || !bodies.predicted) {
        std::printf("programs: this program is no program by the reference rules\n");
        return;
    }
    double runs[2];
    for (int predicted = 0; predicted < 2; predicted++) {
        const Folders folders;
        std::vector<fmt::PatchEntry> entries;
        std::vector<std::string> results;
        for (std::uint32_t i = 0; i < copies; i++) {
            std::string path = "\\p" + std::to_string(i) + ".exe";
            WriteWholeFile(folders.destination + path, old.data(), old.size());
            entries.push_back(
                fmt::MakeDifferenceEntry(path, old, target, predicted ? bodies.predicted->body : *bodies.plain));
            if (predicted)
                entries.back().prediction = bodies.predicted->prediction;
            results.push_back(folders.destination + path);
        }
        fmt::Bytes patch = fmt::WritePatchFile(entries);
        WriteWholeFile(folders.work + "\\Patch.dat", patch.data(), patch.size());
        runs[predicted] = TimeRun(folders.destination, folders.work);
        char what[80];
        std::snprintf(what, sizeof what, "%u programs of %zu KB, %s:", copies, old.size() / 1024,
                      predicted ? "predicted bodies" : "difference bodies");
        Report(what, runs[predicted], results, folders.copies);
    }
    std::printf("%-44s %.2f times the difference bodies' run\n", "predicted bodies:", runs[1] / runs[0]);
}

int main(int argc, char** argv)
{
    std::uint32_t megabytes = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 256;
    std::uint32_t files = argc > 2 ? static_cast<std::uint32_t>(std::atoi(argv[2])) : 2000;
    BuildCrcTable();
    if (megabytes > 0) {
        LargeFile(megabytes, false);
        try {
            LargeFile(megabytes, true);
        } catch (const std::bad_alloc&) {
            // The body holds a difference byte for every byte of the file, written in one piece.
            std::printf("one file of %u MB, difference body: no room in this process's address space for "
                        "its patch data; try fewer MB\n",
                        megabytes);
        }
    }
    std::uint32_t programs = argc > 3 ? static_cast<std::uint32_t>(std::atoi(argv[3])) : 20;
    if (files > 0)
        SmallFiles(files);
    if (programs > 0)
        Programs(programs);
    return 0;
}
