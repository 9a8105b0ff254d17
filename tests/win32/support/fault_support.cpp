// Faults for whole update runs (see fault_support.h). The other processes are this same
// program, started with arguments that make it do their job before any test runs.
#include "support/fault_support.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "stub/patch/update_run.h"
#include "support/run_harness.h"

namespace testing_support {

namespace {

constexpr DWORD kPatience = 60000;

std::string UniqueName(const char* what)
{
    static LONG counter;
    return "mendsmith-fault-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(InterlockedIncrement(&counter)) + "-" + what;
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string ThisProgram()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

PROCESS_INFORMATION Start(std::string commandLine)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        ADD_FAILURE() << "cannot start " << commandLine;
    return process;
}

void EndProcess(PROCESS_INFORMATION& process)
{
    if (process.hProcess == nullptr)
        return;
    WaitForSingleObject(process.hProcess, kPatience);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    process = {};
}

[[noreturn]] void HoldFile(const std::string& path, DWORD sharing, const std::string& held, const std::string& release)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        ExitProcess(2);
    SetEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, held.c_str()));
    WaitForSingleObject(OpenEventA(SYNCHRONIZE, FALSE, release.c_str()), kPatience);
    CloseHandle(file);
    ExitProcess(0);
}

HANDLE g_reached;

[[noreturn]] void WaitToBeKilled()
{
    SetEvent(g_reached);
    for (;;)
        Sleep(INFINITE);
}

// Originals go aside as before; the first result to be moved in is not.
BOOL WINAPI WaitInsteadOfMovingAResult(LPCSTR from, LPCSTR to)
{
    if (NamedLike(from, "PCH"))
        WaitToBeKilled();
    return Real<decltype(&MoveFileA)>("MoveFileA")(from, to);
}

[[noreturn]] void RunUntil(const std::string& destination, const std::string& work, const std::string& point,
                           const std::string& reached)
{
    g_reached = OpenEventA(EVENT_MODIFY_STATE, FALSE, reached.c_str());
    UseStartupValues(work);
    RunPlan plan;
    plan.destination = destination;
    std::unique_ptr<ImportHook> hook;
    if (point == "move")
        hook = std::make_unique<ImportHook>("MoveFileA", reinterpret_cast<const void*>(&WaitInsteadOfMovingAResult));
    else
        plan.onPosition = [](WPARAM position) {
            if (position == 2)
                WaitToBeKilled();
        };
    (void)RunUpdate(plan);
    ExitProcess(3);
}

std::vector<std::string> Arguments()
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; wide != nullptr && i < count; i++) {
        char text[1024] = "";
        WideCharToMultiByte(CP_ACP, 0, wide[i], -1, text, sizeof text, nullptr, nullptr);
        arguments.emplace_back(text);
    }
    LocalFree(wide);
    return arguments;
}

// Before any test: started as one of the other processes, do that job and end.
int ActAsHelperWhenAsked()
{
    std::vector<std::string> a = Arguments();
    if (a.size() == 6 && a[1] == "--hold-file")
        HoldFile(a[2], std::strtoul(a[3].c_str(), nullptr, 10), a[4], a[5]);
    if (a.size() == 6 && a[1] == "--run-until")
        RunUntil(a[2], a[3], a[4], a[5]);
    return 0;
}
const int g_helperChecked = ActAsHelperWhenAsked();

MoveFault g_moveFault;

bool MoveFails(LPCSTR from, LPCSTR to)
{
    std::string target = to;
    if (g_moveFault.file.empty() || target.substr(target.find_last_of('\\') + 1) != g_moveFault.file)
        return false;
    if (NamedLike(from, "PCH"))
        return g_moveFault.skip-- <= 0;
    return g_moveFault.putBack && InRollbackFolder(from);
}

BOOL WINAPI MoveUnlessItFails(LPCSTR from, LPCSTR to)
{
    if (!MoveFails(from, to))
        return Real<decltype(&MoveFileA)>("MoveFileA")(from, to);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI MoveExUnlessItFails(LPCSTR from, LPCSTR to, DWORD flags)
{
    if (!MoveFails(from, to))
        return Real<decltype(&MoveFileExA)>("MoveFileExA")(from, to, flags);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

bool IsFolder(const std::string& name)
{
    return !name.empty() && name.back() == '\\';
}

} // namespace

std::string ExpectFilesKept(const std::string& destination, const FilesPromise& promise)
{
    Tree now = ReadTree(destination);
    now.erase("Mendsmith.log");
    std::string rollback;
    for (const std::string& name : NamesWithPrefix(destination, "BAK")) {
        EXPECT_TRUE(promise.keepsRollback || promise.end == RunEnd::Killed) << "rollback folder " << name << " left";
        EXPECT_EQ(rollback, "") << "a second rollback folder " << name;
        rollback = name;
    }
    Tree saved; // the kept folder's files by their paths below the destination
    if (!rollback.empty()) {
        const std::string prefix = rollback + "\\";
        for (auto it = now.begin(); it != now.end();) {
            if (it->first.compare(0, prefix.size(), prefix) != 0) {
                ++it;
                continue;
            }
            std::string relative = it->first.substr(prefix.size());
            if (!relative.empty() && !IsFolder(relative)) {
                auto original = promise.before.find(relative);
                // A part of a copy, put back over its file, would damage the file it was to save.
                EXPECT_TRUE(original != promise.before.end() && original->second == it->second)
                    << "the rollback folder holds a " << relative << " that is not its original";
                saved[relative] = it->second;
            }
            it = now.erase(it);
        }
    } else {
        EXPECT_FALSE(promise.keepsRollback) << "no rollback folder was kept";
    }
    std::set<std::string> besideTheirFiles; // kept-aside files whose new bytes were found
    for (const std::string& name : NamesWithPrefix(destination, "PCH")) {
        const Bytes& content = now[name];
        auto file = std::find_if(promise.keptAside.begin(), promise.keptAside.end(), [&](const std::string& path) {
            auto next = promise.after.find(path);
            return next != promise.after.end() && next->second == content && besideTheirFiles.count(path) == 0;
        });
        if (file != promise.keptAside.end())
            besideTheirFiles.insert(*file);
        else
            EXPECT_EQ(promise.end, RunEnd::Killed) << "temporary file " << name << " left";
        now.erase(name);
    }

    for (const auto& [name, old] : promise.before) {
        auto found = now.find(name);
        bool originalKept = saved.count(name) != 0;
        if (IsFolder(name)) {
            EXPECT_TRUE(found != now.end()) << "folder " << name << " is gone";
            continue;
        }
        if (found == now.end()) {
            EXPECT_TRUE(originalKept) << name << " is gone and its original is nowhere";
            EXPECT_TRUE(promise.end == RunEnd::Killed || besideTheirFiles.count(name) != 0)
                << name << " is gone and its new bytes are nowhere";
            continue;
        }
        if (found->second == old)
            continue;
        // A restore that failed part way: the file may be anything, but its original is kept.
        if (promise.keepsRollback && originalKept)
            continue;
        auto next = promise.after.find(name);
        EXPECT_TRUE(next != promise.after.end() && found->second == next->second)
            << name << " is neither its old nor its new bytes (" << found->second.size() << " bytes)";
        if (promise.end == RunEnd::Stopped) {
            ADD_FAILURE() << name << " was not put back after the stop";
        }
        if (promise.end == RunEnd::Killed) {
            EXPECT_TRUE(originalKept) << name << " changed and its original is nowhere";
        }
    }
    for (const auto& [name, content] : now) {
        if (promise.before.count(name) != 0)
            continue;
        auto next = promise.after.find(name);
        EXPECT_TRUE(next != promise.after.end() && next->second == content)
            << name << " was written but is none of the run's files";
    }
    return rollback;
}

HeldByAnotherProcess::HeldByAnotherProcess(const std::string& path, DWORD sharing)
{
    std::string heldName = UniqueName("held");
    std::string releaseName = UniqueName("release");
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, heldName.c_str());
    release_ = CreateEventA(nullptr, TRUE, FALSE, releaseName.c_str());
    process_ = Start(Quoted(ThisProgram()) + " --hold-file " + Quoted(path) + " " + std::to_string(sharing) + " " +
                     heldName + " " + releaseName);
    if (process_.hProcess != nullptr) {
        HANDLE either[2] = {held, process_.hProcess};
        holding_ = WaitForMultipleObjects(2, either, FALSE, kPatience) == WAIT_OBJECT_0;
    }
    CloseHandle(held);
    EXPECT_TRUE(holding_) << "the other process could not open " << path;
}

HeldByAnotherProcess::~HeldByAnotherProcess()
{
    SetEvent(release_);
    EndProcess(process_);
    CloseHandle(release_);
}

bool RunAndKill(const std::string& destination, const std::string& workDirectory, KillPoint point)
{
    std::string reachedName = UniqueName("reached");
    HANDLE reached = CreateEventA(nullptr, TRUE, FALSE, reachedName.c_str());
    const char* where = point == KillPoint::BeforeFirstResultMove ? "move" : "second";
    PROCESS_INFORMATION process = Start(Quoted(ThisProgram()) + " --run-until " + Quoted(destination) + " " +
                                        Quoted(workDirectory) + " " + where + " " + reachedName);
    bool wasReached = false;
    if (process.hProcess != nullptr) {
        HANDLE either[2] = {reached, process.hProcess};
        wasReached = WaitForMultipleObjects(2, either, FALSE, kPatience) == WAIT_OBJECT_0;
        TerminateProcess(process.hProcess, 9);
    }
    EndProcess(process);
    CloseHandle(reached);
    return wasReached;
}

bool NamedLike(const std::string& path, const char* prefix)
{
    std::size_t slash = path.find_last_of('\\');
    return path.compare(slash + 1, std::strlen(prefix), prefix) == 0;
}

bool InRollbackFolder(const std::string& path)
{
    return path.find("\\BAK") != std::string::npos;
}

MovesFail::MovesFail(MoveFault fault)
    : move_("MoveFileA", reinterpret_cast<const void*>(&MoveUnlessItFails)),
      moveEx_("MoveFileExA", reinterpret_cast<const void*>(&MoveExUnlessItFails))
{
    g_moveFault = std::move(fault);
}

MovesFail::~MovesFail()
{
    g_moveFault = {};
}

std::string KeptBeside(const std::string& folder)
{
    std::vector<std::string> beside;
    for (const auto& [name, content] : ReadTree(folder)) {
        std::size_t start = name.rfind('\\') + 1;
        if (name.compare(start, 3, "PCH") == 0)
            beside.push_back(name);
    }
    EXPECT_EQ(beside.size(), 1u) << "new releases kept beside their files";
    return beside.empty() ? "" : beside[0];
}

BOOL WINAPI CopyPartThenDiskFull(LPCSTR from, LPCSTR to, BOOL)
{
    Bytes whole = ReadFileBytes(from);
    HANDLE file = CreateFileA(to, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE && !whole.empty())
        Real<decltype(&WriteFile)>("WriteFile")(file, whole.data(), static_cast<DWORD>(whole.size() / 3), &written,
                                                nullptr);
    CloseHandle(file);
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

std::string WinePathOf(const std::string& unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    while (path.size() > 3 && path.back() == '\\')
        path.pop_back();
    return path;
}

} // namespace testing_support
