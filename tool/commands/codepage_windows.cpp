// Conversions between UTF-8 and a Windows code page through the system's own tables, strict in
// both directions: the Windows tool has no iconv, and these are the tables the updater's
// Windows uses.
#include <windows.h>

#include "tool/commands/codepage.h"
#include "tool/commands/errors.h"

namespace mendsmith::tool {

namespace {

std::optional<std::wstring> ToWide(unsigned codePage, std::string_view text)
{
    if (text.empty())
        return std::wstring();
    const int length = static_cast<int>(text.size());
    int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (size <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), size) != size)
        return std::nullopt;
    return wide;
}

std::optional<std::string> FromWide(unsigned codePage, const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    const int length = static_cast<int>(wide.size());
    // UTF-8 takes neither flag nor default-character report.
    const bool utf8 = codePage == CP_UTF8;
    DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* report = utf8 ? nullptr : &usedDefault;
    int size = WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr, report);
    if (size <= 0 || usedDefault)
        return std::nullopt;
    std::string out(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, flags, wide.data(), length, out.data(), size, nullptr, report) != size ||
        usedDefault)
        return std::nullopt;
    return out;
}

} // namespace

CodePage::CodePage(unsigned number) : number_(number), name_("CP" + std::to_string(number))
{
    if (!IsValidCodePage(number))
        throw ToolError(ErrorKind::Usage, "code page " + std::to_string(number) + " is not known to this system");
}

std::optional<std::string> CodePage::FromUtf8(std::string_view utf8) const
{
    std::optional<std::wstring> wide = ToWide(CP_UTF8, utf8);
    if (!wide)
        return std::nullopt;
    return FromWide(number_, *wide);
}

std::optional<std::string> CodePage::ToUtf8(std::string_view ansi) const
{
    std::optional<std::wstring> wide = ToWide(number_, ansi);
    if (!wide)
        return std::nullopt;
    return FromWide(CP_UTF8, *wide);
}

} // namespace mendsmith::tool
