// Cases of whole update runs (see run_cases.h).
#include "support/run_cases.h"

namespace testing_support {

Release ReleaseOf(std::uint32_t seed, std::size_t size)
{
    Bytes before = SampleRelease(seed, size != 0 ? size : 2000 + seed * 300);
    return {before, NextRelease(before)};
}

std::string Line(const std::string& path, UINT messageId)
{
    return path + " -> " + StringTableText(messageId) + "\r\n";
}

std::string TakeLog(const std::string& destination)
{
    std::string path = destination + "\\Mendsmith.log";
    Bytes log = ReadFileBytes(path);
    DeleteFileA(path.c_str());
    return std::string(log.begin(), log.end());
}

void RunTest::SetUp()
{
    UseStartupValues(work_.path());
}

void RunTest::WritePatch(const std::vector<mendsmith::format::PatchEntry>& entries)
{
    WritePatchData(work_ / "Patch.dat", entries);
}

RunRecord RunTest::Run(RunPlan plan)
{
    plan.destination = dest_.path();
    return RunUpdate(plan);
}

} // namespace testing_support
