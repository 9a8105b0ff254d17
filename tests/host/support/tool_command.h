// Runs a build of the mendsmith program: the Linux one, or the Windows one through Wine, which is
// handed every path in Windows form (drive Z:, backslashes).
#ifndef MENDSMITH_TESTS_HOST_SUPPORT_TOOL_COMMAND_H
#define MENDSMITH_TESTS_HOST_SUPPORT_TOOL_COMMAND_H

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "support/run_command.h"

namespace mendsmith::test {

class ToolCommand {
public:
    // The Linux build this test program was built with.
    static ToolCommand Linux() { return ToolCommand(MENDSMITH_TOOL_PATH, false); }
    // The Windows build the CMake cache names; check present() before use.
    static ToolCommand Windows() { return ToolCommand(MENDSMITH_WINDOWS_TOOL_PATH, true); }
    // The Windows build when the test runs with MENDSMITH_TOOL_UNDER_TEST=windows, else the Linux one.
    static ToolCommand UnderTest()
    {
        const char* which = std::getenv("MENDSMITH_TOOL_UNDER_TEST");
        return which && std::string(which) == "windows" ? Windows() : Linux();
    }

    bool windows() const { return windows_; }
    bool present() const { return std::filesystem::exists(program_); }
    const std::string& program() const { return program_; }

    // A path as this build takes it on its command line, quoted for the shell.
    std::string Arg(const std::filesystem::path& path) const
    {
        std::string text = std::filesystem::absolute(path).string();
        if (windows_) {
            for (char& c : text)
                c = c == '/' ? '\\' : c;
            text = "Z:" + text;
        }
        return "'" + text + "'";
    }

    // The exit code; the output is thrown away.
    int Run(const std::string& arguments) const
    {
        return ExitCodeOf(std::system((Command(arguments) + " >/dev/null 2>&1").c_str()));
    }

    // The exit code, with what the program wrote to its standard output.
    int Run(const std::string& arguments, std::string& output) const
    {
        CommandResult result = CaptureCommand(Command(arguments) + " 2>/dev/null");
        output = std::move(result.output);
        return result.exitCode;
    }

private:
    ToolCommand(std::string program, bool windows) : program_(std::move(program)), windows_(windows) {}

    std::string Command(const std::string& arguments) const
    {
        std::string prefix = windows_ ? std::string(MENDSMITH_SOURCE_DIR "/scripts/wine-run ") : std::string();
        return prefix + "'" + program_ + "' " + arguments + " </dev/null";
    }

    std::string program_;
    bool windows_;
};

} // namespace mendsmith::test

#endif
