// Faults for whole update runs: what the destination may hold afterwards, files held open by
// another process, and this test program started again as that process or as a run to kill.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/run_harness.h"
#include "support/test_support.h"

namespace testing_support {

// How a run ended, which decides what the destination may hold afterwards.
enum class RunEnd {
    Completed, // each file is its old or its new bytes
    Stopped,   // each file that existed before is exactly its old bytes again
    Killed,    // a file may be missing or built under a "PCH" name, its original in the "BAK" folder
};

struct FilesPromise {
    Tree before; // the destination before the run
    Tree after;  // the bytes the run was to give each file it changes or adds, and new folders
    RunEnd end = RunEnd::Completed;
    bool keepsRollback = false; // a "BAK" folder is left on purpose, holding originals
    // Files that could not be put in place: each may be missing, its original in the kept "BAK"
    // folder and its new bytes beside it under a "PCH" name.
    std::vector<std::string> keptAside{};
};

// The one check after every fault: the destination's files (its log left out) against what the
// updater promises about them. Returns the kept "BAK" folder's name, or "" when there is none.
std::string ExpectFilesKept(const std::string& destination, const FilesPromise& promise);

// Another process that opens a file for reading and keeps it open while this object lives,
// sharing it as told: without sharing, as a running program holds its files, by default.
class HeldByAnotherProcess {
public:
    explicit HeldByAnotherProcess(const std::string& path, DWORD sharing = 0);
    ~HeldByAnotherProcess();
    HeldByAnotherProcess(const HeldByAnotherProcess&) = delete;
    HeldByAnotherProcess& operator=(const HeldByAnotherProcess&) = delete;
    bool holding() const { return holding_; }

private:
    PROCESS_INFORMATION process_{};
    HANDLE release_ = nullptr;
    bool holding_ = false;
};

// Where a run in another process is ended by TerminateProcess.
enum class KillPoint {
    AfterSecondEntry,      // while the progress bar is told that two entries are done
    BeforeFirstResultMove, // the first replaced original moved aside, its rebuilt file not yet moved in
};

// Runs the update over workDirectory\Patch.dat into destination in another process and kills
// that process at the given point. False when the point was never reached.
bool RunAndKill(const std::string& destination, const std::string& workDirectory, KillPoint point);

// Whether a path's last part begins with prefix ("PCH": a result built beside its file).
bool NamedLike(const std::string& path, const char* prefix);
// Whether a path lies in a rollback ("BAK") folder.
bool InRollbackFolder(const std::string& path);

// The moves into one file's place that fail: once `skip` results have gone in, every further
// result's (MoveFileA, or MoveFileExA over an earlier entry's result) and, with putBack, every move
// of its original out of the rollback folder, the restore after a stop included.
struct MoveFault {
    std::string file; // the last part of the file's path
    int skip = 0;
    bool putBack = false;
};

// Makes the moves that the fault names fail while it lives.
class MovesFail {
public:
    explicit MovesFail(MoveFault fault);
    ~MovesFail();
    MovesFail(const MovesFail&) = delete;
    MovesFail& operator=(const MovesFail&) = delete;

private:
    ImportHook move_;
    ImportHook moveEx_;
};

// The one "PCH" file below a folder, by its path relative to it: a new release kept beside its file.
std::string KeptBeside(const std::string& folder);

// A stand-in for CopyFileA that writes the first part of the copy, then finds the disk full.
BOOL WINAPI CopyPartThenDiskFull(LPCSTR from, LPCSTR to, BOOL failIfExists);

// A Wine path for a Unix one: Wine gives the whole Unix file system drive Z:.
std::string WinePathOf(const std::string& unixPath);

} // namespace testing_support
