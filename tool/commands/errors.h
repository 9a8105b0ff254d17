// The tool's error type and the findings it reports without stopping.
#ifndef MENDSMITH_TOOL_ERRORS_H
#define MENDSMITH_TOOL_ERRORS_H

#include <stdexcept>
#include <string>
#include <vector>

namespace mendsmith::tool {

// What went wrong decides the exit code the front end picks.
enum class ErrorKind { Usage, Io, Verification };

class ToolError : public std::runtime_error {
public:
    ToolError(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const { return kind_; }

private:
    ErrorKind kind_;
};

enum class Severity { Note, Warning, Error };

// One finding about an input: the file it concerns (may be empty) and what is wrong.
struct Diagnostic {
    Severity severity;
    std::string file;
    std::string message;
};

inline bool HasErrors(const std::vector<Diagnostic>& diagnostics)
{
    for (const Diagnostic& d : diagnostics)
        if (d.severity == Severity::Error)
            return true;
    return false;
}

} // namespace mendsmith::tool

#endif
