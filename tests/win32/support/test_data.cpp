// Sample files and the test locale (see test_data.h).
#include "support/test_data.h"

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

std::string TestLocale()
{
    char value[64];
    DWORD length = GetEnvironmentVariableA("MENDSMITH_TEST_LOCALE", value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

} // namespace testing_support
