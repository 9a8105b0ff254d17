// iconv conversions between UTF-8 and a Windows code page.
#include "tool/commands/codepage.h"

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

} // namespace

CodePage::CodePage(unsigned number) : number_(number), name_("CP" + std::to_string(number))
{
    Converter probe(name_, "UTF-8");
    if (!probe.valid())
        throw ToolError(ErrorKind::Usage,
                        "code page " + std::to_string(number) + " is not known to this system's iconv");
}

std::optional<std::string> CodePage::FromUtf8(std::string_view utf8) const
{
    Converter converter(name_, "UTF-8");
    return converter.Convert(utf8);
}

std::optional<std::string> CodePage::ToUtf8(std::string_view ansi) const
{
    Converter converter("UTF-8", name_);
    return converter.Convert(ansi);
}

} // namespace mendsmith::tool
