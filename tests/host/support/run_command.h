// Runs a shell command from a host test and keeps what it wrote to its standard output.
#ifndef MENDSMITH_TESTS_HOST_SUPPORT_RUN_COMMAND_H
#define MENDSMITH_TESTS_HOST_SUPPORT_RUN_COMMAND_H

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace mendsmith::test {

struct CommandResult {
    int exitCode; // -1 when the command could not start or did not exit
    std::string output;
};

// The exit code in a status from system() or pclose().
inline int ExitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The command's redirections are its own: add " 2>&1" to keep its errors too.
inline CommandResult CaptureCommand(const std::string& command)
{
    CommandResult result{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    std::array<char, 4096> buffer;
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        result.output.append(buffer.data(), n);
    result.exitCode = ExitCodeOf(pclose(pipe));
    return result;
}

} // namespace mendsmith::test

#endif
