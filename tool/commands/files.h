// File system access for the tool: listing a release tree, reading and writing whole files.
#ifndef MENDSMITH_TOOL_FILES_H
#define MENDSMITH_TOOL_FILES_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "format/bytes.h"

namespace mendsmith::tool {

struct TreeFile {
    std::string relative; // UTF-8, '/'-separated, as the host names it
    std::uint64_t size;
};

// Every regular file below root, sorted by path. Throws ToolError (I/O) when root is not a
// readable directory or holds a symbolic link (or junction) or anything else that is neither a
// directory nor a regular file.
std::vector<TreeFile> ListTree(const std::filesystem::path& root);

// Throws ToolError (I/O) naming the file.
format::Bytes ReadWholeFile(const std::filesystem::path& path);

// Writes through a temporary file beside the target and renames it into place, so that a
// failed write leaves no half-written file under the target's name.
void WriteWholeFile(const std::filesystem::path& path, format::ByteView data);

// root/relative as a case-insensitive file system would find it: each component that does not
// exist as written is matched against its folder's names without regard to ASCII case.
std::filesystem::path ResolveIgnoringCase(const std::filesystem::path& root, const std::string& relative);

// A path from UTF-8 text, such as a TreeFile's relative name, on every system.
std::filesystem::path Utf8Path(std::string_view utf8);

// The machine's physical memory in bytes; 0 when the system does not say.
std::uint64_t PhysicalMemory();

// ASCII letters folded to lower case: how a case-insensitive file system sees a name.
std::string FoldCase(std::string_view text);

} // namespace mendsmith::tool

#endif
