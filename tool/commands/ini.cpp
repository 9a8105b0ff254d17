// INI parsing in the manner of the Windows profile-string reader.
#include "tool/commands/ini.h"

#include <cctype>

namespace mendsmith::tool {

namespace {

std::string_view Trim(std::string_view text)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string Unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

} // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

IniFile IniFile::Parse(format::ByteView bytes)
{
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    IniFile ini;
    Section* current = nullptr;
    int lineNumber = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        lineNumber++;
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
            ini.sections_.push_back({std::string(name), lineNumber, {}});
            current = &ini.sections_.back();
            continue;
        }
        if (current == nullptr)
            continue;
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        current->keys.push_back(
            {std::string(Trim(line.substr(0, equals))), Unquote(Trim(line.substr(equals + 1))), lineNumber});
    }
    return ini;
}

const IniFile::Section* IniFile::Find(std::string_view section) const
{
    for (const Section& s : sections_)
        if (EqualsIgnoringCase(s.name, section))
            return &s;
    return nullptr;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const
{
    const Section* s = Find(section);
    if (s == nullptr)
        return std::nullopt;
    for (const Key& k : s->keys)
        if (EqualsIgnoringCase(k.name, key))
            return k.value;
    return std::nullopt;
}

} // namespace mendsmith::tool
