// Update.ini and Language.ini checks; the buffer sizes are those the updater reads into.
#include "tool/commands/setup_check.h"

#include <cctype>
#include <map>

#include "core/constants.h"
#include "core/entry_outcome.h"
#include "core/patch_data.h"
#include "tool/commands/ini.h"

namespace mendsmith::tool {

namespace {

constexpr std::size_t kShortText = MAX_PATH_CHARS;    // string requests into 260-byte buffers
constexpr std::size_t kLongText = LONG_TEXT_ROOM - 1; // message boxes and controls
constexpr std::size_t kQuestionText = 309;            // the attached-file question's 310-byte buffer
constexpr std::size_t kQuestionCaption = 49;          // its 50-byte caption buffer

// Room for the translation of each id that the updater asks the language file for.
const std::map<unsigned, std::size_t>& LanguageRoom()
{
    static const std::map<unsigned, std::size_t> room = [] {
        std::map<unsigned, std::size_t> r;
        for (unsigned id : {202u, 205u, 206u, 207u, 208u, 214u, 218u, 219u})
            r[id] = kLongText;
        r[200] = kQuestionCaption; // the smallest buffer string 200 is read into
        r[204] = kQuestionText;
        for (unsigned id : {203u, 211u, 212u, 217u, 220u})
            r[id] = kShortText;
#define LOG_TEXT_ROOM(id, text) r[id] = kShortText;
        LOG_TEXTS(LOG_TEXT_ROOM)
#undef LOG_TEXT_ROOM
        for (unsigned id :
             {310u, 355u, 369u, 370u, 371u, 372u, 373u, 374u, 375u, 451u, 452u, 453u, 503u, 520u, 531u, 550u})
            r[id] = kLongText;
        return r;
    }();
    return room;
}

bool IsLanguageSectionName(const std::string& name)
{
    if (name.size() != 5 || name[0] != '$')
        return false;
    for (std::size_t i = 1; i < 5; i++)
        if (!std::isxdigit(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

// "ID" and a decimal number, as the updater builds its keys.
std::optional<unsigned> LanguageKeyId(const std::string& key)
{
    if (key.size() < 3 || key.size() > 7 || !EqualsIgnoringCase(key.substr(0, 2), "ID"))
        return std::nullopt;
    if (key[2] == '0' && key.size() > 3)
        return std::nullopt;
    unsigned id = 0;
    for (std::size_t i = 2; i < key.size(); i++) {
        if (!std::isdigit(static_cast<unsigned char>(key[i])))
            return std::nullopt;
        id = id * 10 + static_cast<unsigned>(key[i] - '0');
    }
    return id;
}

std::string Where(const std::string& label, int line)
{
    return label + ":" + std::to_string(line);
}

} // namespace

const std::vector<SetupKey>& SetupKeysRead()
{
    static const std::vector<SetupKey> keys = {
        {"App", "ApplierMutex", ""},  {"App", "TargetMutex", ""}, {"App", "AppName", ""},
        {"App", "AppDesc", ""},       {"Author", "Name", ""},     {"Author", "Email", ""},
        {"Path", "SoftWarePath", ""}, {"App", "MainFile", ""},    {"Path", "BackupDirectory", DEFAULT_BACKUP_DIRECTORY},
    };
    return keys;
}

SetupCheck CheckSetupFile(format::ByteView text, const std::string& label)
{
    SetupCheck check;
    IniFile ini = IniFile::Parse(text);
    for (const IniFile::Section& section : ini.sections()) {
        const IniFile::Section* first = ini.Find(section.name);
        if (first != &section) {
            check.diagnostics.push_back(
                {Severity::Warning, Where(label, section.line),
                 "section [" + section.name + "] repeats; the updater reads only the first one"});
            continue;
        }
        for (const IniFile::Key& key : section.keys) {
            bool read = false;
            for (const SetupKey& known : SetupKeysRead())
                read = read ||
                       (EqualsIgnoringCase(known.section, section.name) && EqualsIgnoringCase(known.key, key.name));
            if (!read) {
                check.diagnostics.push_back({Severity::Note, Where(label, key.line),
                                             "[" + section.name + "] " + key.name + " is not read by the updater"});
            } else if (key.value.size() > MAX_PATH_CHARS) {
                check.diagnostics.push_back({Severity::Warning, Where(label, key.line),
                                             "[" + section.name + "] " + key.name + " has " +
                                                 std::to_string(key.value.size()) +
                                                 " characters; the updater reads only the first 259"});
            }
        }
    }
    auto value = [&](const char* section, const char* key) {
        std::string v = ini.Get(section, key).value_or("");
        return v.substr(0, MAX_PATH_CHARS);
    };
    check.values.mainFile = value("App", "MainFile");
    check.values.softwarePath = value("Path", "SoftWarePath");
    if (std::optional<std::string> backup = ini.Get("Path", "BackupDirectory");
        backup && !IsSafeRelativePath(backup->c_str()))
        check.diagnostics.push_back(
            {Severity::Error, label,
             "[Path] BackupDirectory \"" + *backup +
                 "\" is not a folder below the destination: it must be a relative path without \"..\", a drive, "
                 "a leading backslash, device names or components ending in a dot or blank, and not empty or "
                 "\".\"; the updater would count every backup as failed"});
    if (check.values.mainFile.empty())
        check.diagnostics.push_back(
            {Severity::Error, label, "[App] MainFile is missing or empty; the updater would refuse every folder"});
    if (check.values.softwarePath.empty())
        check.diagnostics.push_back({Severity::Warning, label,
                                     "[Path] SoftWarePath is missing or empty; users must pick the folder themselves"});
    return check;
}

std::vector<Diagnostic> CheckLanguageFile(format::ByteView text, const std::string& label)
{
    std::vector<Diagnostic> diagnostics;
    IniFile ini = IniFile::Parse(text);
    for (const IniFile::Section& section : ini.sections()) {
        if (!IsLanguageSectionName(section.name)) {
            diagnostics.push_back({Severity::Warning, Where(label, section.line),
                                   "section [" + section.name +
                                       "] is never read: language sections are \"$\" and four hexadecimal digits"});
            continue;
        }
        if (ini.Find(section.name) != &section) {
            diagnostics.push_back({Severity::Warning, Where(label, section.line),
                                   "section [" + section.name + "] repeats; the updater reads only the first one"});
            continue;
        }
        std::vector<std::string> unread;
        for (const IniFile::Key& key : section.keys) {
            std::optional<unsigned> id = LanguageKeyId(key.name);
            auto room = id ? LanguageRoom().find(*id) : LanguageRoom().end();
            if (room == LanguageRoom().end()) {
                unread.push_back(key.name);
                continue;
            }
            if (key.value.size() > room->second)
                diagnostics.push_back(
                    {Severity::Warning, Where(label, key.line),
                     "[" + section.name + "] " + key.name + " has " + std::to_string(key.value.size()) +
                         " characters; the updater shows only the first " + std::to_string(room->second)});
        }
        if (!unread.empty()) {
            std::string list;
            for (const std::string& name : unread)
                list += (list.empty() ? "" : ", ") + name;
            diagnostics.push_back({Severity::Note, Where(label, section.line),
                                   "[" + section.name + "]: keys the updater never reads: " + list});
        }
    }
    return diagnostics;
}

std::vector<std::string> LanguageSections(format::ByteView text)
{
    std::vector<std::string> names;
    IniFile ini = IniFile::Parse(text);
    for (const IniFile::Section& section : ini.sections())
        if (IsLanguageSectionName(section.name) && ini.Find(section.name) == &section)
            names.push_back(section.name);
    return names;
}

} // namespace mendsmith::tool
