// Checks of Update.ini and Language.ini against what the updater reads and the room it has.
#ifndef MENDSMITH_TOOL_SETUP_CHECK_H
#define MENDSMITH_TOOL_SETUP_CHECK_H

#include <string>
#include <vector>

#include "format/bytes.h"
#include "tool/commands/errors.h"

namespace mendsmith::tool {

struct SetupKey {
    const char* section;
    const char* key;
    const char* defaultValue;
};

// Every key of Update.ini that the updater reads, in the order it reads them.
const std::vector<SetupKey>& SetupKeysRead();

// The values the tool itself needs, as 8-bit text in the code page of the updates' machines.
struct SetupValues {
    std::string mainFile;
    std::string softwarePath;
};

struct SetupCheck {
    SetupValues values;
    std::vector<Diagnostic> diagnostics;
};

// An empty MainFile is an error (the updater would refuse every folder); keys the updater never
// reads are noted; values the updater would cut short are warned about.
SetupCheck CheckSetupFile(format::ByteView text, const std::string& label);

// Sections not named "$" and four hexadecimal digits and keys never asked for are noted; texts
// longer than the buffer of the request that reads them are warned about.
std::vector<Diagnostic> CheckLanguageFile(format::ByteView text, const std::string& label);

// The language sections of a Language.ini that the updater can select, as they are written.
std::vector<std::string> LanguageSections(format::ByteView text);

} // namespace mendsmith::tool

#endif
