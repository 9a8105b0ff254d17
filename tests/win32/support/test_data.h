// The sample setup and language files of tests/data, and the locale a test run was
// started in on purpose.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

// Full path of a file of tests/data as copied beside the test program.
std::string TestDataPath(const std::string& name);

// The value of MENDSMITH_TEST_LOCALE, or empty. CTest sets it, together with the LC_ALL from
// which Wine takes the user's language and ANSI code page, for the runs that need a locale.
std::string TestLocale();

} // namespace testing_support
