// Faults for whole update runs: what the destination may hold afterwards, files held open by
// another process, and this test program started again as that process or as a run to kill.
#pragma once

#include <windows.h>

#include <string>

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
};

// The one check after every fault: the destination's files (its log left out) against what the
// updater promises about them. Returns the kept "BAK" folder's name, or "" when there is none.
std::string ExpectFilesKept(const std::string& destination, const FilesPromise& promise);

// Another process that opens a file without sharing and keeps it open while this object lives.
class HeldByAnotherProcess {
public:
    explicit HeldByAnotherProcess(const std::string& path);
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
    AfterSecondEntry, // while the progress bar is told that two entries are done
    BeforeFirstMove,  // the first replaced original deleted, its rebuilt file not yet moved
};

// Runs the update over workDirectory\Patch.dat into destination in another process and kills
// that process at the given point. False when the point was never reached.
bool RunAndKill(const std::string& destination, const std::string& workDirectory, KillPoint point);

// A Wine path for a Unix one: Wine gives the whole Unix file system drive Z:.
std::string WinePathOf(const std::string& unixPath);

} // namespace testing_support
