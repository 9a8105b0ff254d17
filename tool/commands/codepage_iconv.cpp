// iconv conversions between UTF-8 and a Windows code page.
#include "tool/commands/codepage.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>

#include "tool/commands/errors.h"

namespace mendsmith::tool {

namespace {

class Converter {
public:
    Converter(const std::string& to, const std::string& from) : handle_(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter()
    {
        if (valid())
            iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

    std::optional<std::string> Convert(std::string_view input)
    {
        std::string out(input.size() * 4 + 16, '\0');
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char* at = out.data();
        std::size_t outLeft = out.size();
        if (iconv(handle_, &in, &inLeft, &at, &outLeft) == static_cast<std::size_t>(-1))
            return std::nullopt;
        if (iconv(handle_, nullptr, nullptr, &at, &outLeft) == static_cast<std::size_t>(-1))
            return std::nullopt;
        out.resize(out.size() - outLeft);
        return out;
    }

private:
    iconv_t handle_;
};

// Windows' ANSI code pages, which glibc's iconv has, all write ASCII as itself: their ASCII
// texts need no converter, and a build whose names and texts are ASCII never loads iconv's
// module and tables (a few hundred kilobytes resident beside a small build's own memory).
bool WritesAsciiAsItself(unsigned number)
{
    return number == 874 || number == 932 || number == 936 || number == 949 || number == 950 ||
           (number >= 1250 && number <= 1258);
}

bool IsAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

CodePage::CodePage(unsigned number) : number_(number), name_("CP" + std::to_string(number))
{
    if (WritesAsciiAsItself(number))
        return;
    Converter probe(name_, "UTF-8");
    if (!probe.valid())
        throw ToolError(ErrorKind::Usage,
                        "code page " + std::to_string(number) + " is not known to this system's iconv");
}

std::optional<std::string> CodePage::FromUtf8(std::string_view utf8) const
{
    if (WritesAsciiAsItself(number_) && IsAscii(utf8))
        return std::string(utf8);
    Converter converter(name_, "UTF-8");
    return converter.Convert(utf8);
}

std::optional<std::string> CodePage::ToUtf8(std::string_view ansi) const
{
    if (WritesAsciiAsItself(number_) && IsAscii(ansi))
        return std::string(ansi);
    Converter converter("UTF-8", name_);
    return converter.Convert(ansi);
}

} // namespace mendsmith::tool
