// A reader of INI text that agrees with the Windows profile-string reader on what a key yields:
// names without regard to case, the first section and the first key of a name win, blanks
// around names and values dropped, one pair of matching quotes around a value removed.
#ifndef MENDSMITH_TOOL_INI_H
#define MENDSMITH_TOOL_INI_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/bytes.h"

namespace mendsmith::tool {

class IniFile {
public:
    struct Key {
        std::string name;
        std::string value; // as the reader hands it over, 8-bit text, before any cutting
        int line;
    };
    struct Section {
        std::string name;
        int line;
        std::vector<Key> keys;
    };

    static IniFile Parse(format::ByteView text);

    const std::vector<Section>& sections() const { return sections_; }
    // The section a lookup finds: the first of that name.
    const Section* Find(std::string_view section) const;
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;

private:
    std::vector<Section> sections_;
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

} // namespace mendsmith::tool

#endif
