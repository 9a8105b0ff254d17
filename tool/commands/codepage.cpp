// What a code page means to the tool, whichever system converts: only lossless encodings, and
// names that do not decode shown byte by byte.
#include "tool/commands/codepage.h"

#include <cstdio>

namespace mendsmith::tool {

std::optional<std::string> CodePage::Encode(std::string_view utf8) const
{
    std::optional<std::string> encoded = FromUtf8(utf8);
    // A best-fit mapping would change the name; only a lossless one is accepted.
    if (!encoded || Decode(*encoded) != std::string(utf8))
        return std::nullopt;
    return encoded;
}

std::optional<std::string> CodePage::Decode(std::string_view ansi) const
{
    return ToUtf8(ansi);
}

std::string CodePage::DecodeForDisplay(std::string_view ansi) const
{
    if (std::optional<std::string> text = Decode(ansi))
        return *text;
    std::string out;
    for (unsigned char c : ansi) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace mendsmith::tool
