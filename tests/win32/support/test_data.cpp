// Sample files and child runs of the test program (see test_data.h).
#include "support/test_data.h"

#include "support/test_support.h"

namespace testing_support {

static std::string ProgramPath()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length);
}

std::string TestDataPath(const std::string& name)
{
    std::string program = ProgramPath();
    return program.substr(0, program.find_last_of('\\')) + "\\test-data\\" + name;
}

DWORD RunSelfInLocale(const std::string& filter, const std::string& locale)
{
    SetEnvironmentVariableA("LC_ALL", locale.c_str());
    SetEnvironmentVariableA("MENDSMITH_CHILD_LOCALE", locale.c_str());
    DWORD code = RunProcess("\"" + ProgramPath() + "\" --gtest_filter=" + filter);
    SetEnvironmentVariableA("LC_ALL", nullptr);
    SetEnvironmentVariableA("MENDSMITH_CHILD_LOCALE", nullptr);
    return code;
}

std::string ChildLocale()
{
    char value[64];
    DWORD length = GetEnvironmentVariableA("MENDSMITH_CHILD_LOCALE", value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

}  // namespace testing_support
