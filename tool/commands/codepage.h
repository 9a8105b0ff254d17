// Conversion between the host's UTF-8 names and texts and one Windows ANSI code page (iconv on
// Linux, the system's tables on Windows).
#ifndef MENDSMITH_TOOL_CODEPAGE_H
#define MENDSMITH_TOOL_CODEPAGE_H

#include <optional>
#include <string>
#include <string_view>

namespace mendsmith::tool {

class CodePage {
public:
    // Throws ToolError (usage) when the system does not know the code page.
    explicit CodePage(unsigned number);

    unsigned number() const { return number_; }

    // Nothing when the text is not valid UTF-8 or holds a character the code page lacks.
    std::optional<std::string> Encode(std::string_view utf8) const;
    // Nothing when the bytes are not valid in the code page.
    std::optional<std::string> Decode(std::string_view ansi) const;
    // Decoded text, or the bytes with every non-ASCII byte written as \xNN.
    std::string DecodeForDisplay(std::string_view ansi) const;

private:
    // The platform's conversions, strict in both directions: nothing for any byte or character
    // they cannot convert (codepage_iconv.cpp, codepage_windows.cpp).
    std::optional<std::string> FromUtf8(std::string_view utf8) const;
    std::optional<std::string> ToUtf8(std::string_view ansi) const;

    unsigned number_;
    std::string name_;
};

} // namespace mendsmith::tool

#endif
