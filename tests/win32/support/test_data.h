// The sample setup and language files of tests/data, and runs of the test program
// itself in another locale.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

// Full path of a file of tests/data as copied beside the test program.
std::string TestDataPath(const std::string& name);

// Runs the tests matching filter in a child of this test program with LC_ALL set to locale
// (Wine takes the user's language and ANSI code page from it) and with MENDSMITH_CHILD_LOCALE
// set, so that the child's tests know they are meant to run. Returns the child's exit code.
DWORD RunSelfInLocale(const std::string& filter, const std::string& locale);

// The locale a test runs in when started by RunSelfInLocale, or empty.
std::string ChildLocale();

}  // namespace testing_support
