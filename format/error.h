// The one error type of the format library: a message that says what is wrong and where.
#ifndef MENDSMITH_FORMAT_ERROR_H
#define MENDSMITH_FORMAT_ERROR_H

#include <stdexcept>
#include <string>

namespace mendsmith::format {

class FormatError : public std::runtime_error {
public:
    explicit FormatError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace mendsmith::format

#endif
