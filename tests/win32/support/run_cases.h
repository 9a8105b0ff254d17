// Cases of whole update runs, shared by the run tests and the fault tests: a fixture with a
// destination and a work directory, each file's two releases, and the lines of the run's log.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "format/patch_file.h"
#include "support/run_harness.h"
#include "support/test_support.h"

namespace testing_support {

// A file's two releases.
struct Release {
    Bytes before;
    Bytes after;
};
// Releases made from a seed; without a size, the first is 2000 + 300 * seed bytes long.
Release ReleaseOf(std::uint32_t seed, std::size_t size = 0);

// A line of the run's log: the entry's path and the English text of its outcome.
std::string Line(const std::string& path, UINT messageId);

// The destination's log file, read and removed.
std::string TakeLog(const std::string& destination);

// A run over the work directory's Patch.dat into an empty destination folder.
class RunTest : public ::testing::Test {
protected:
    void SetUp() override;

    void WritePatch(const std::vector<mendsmith::format::PatchEntry>& entries);

    // Runs the plan with the destination filled in.
    RunRecord Run(RunPlan plan = {});

    TempDir dest_;
    TempDir work_;
};

} // namespace testing_support
