// Shared helpers of the Windows tests: throw-away folders, files byte for byte,
// whole trees as maps, and the start-up values the stub's procedures read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;
// Relative path (backslashes, no leading one) -> content; directories end with a backslash.
using Tree = std::map<std::string, Bytes>;

Bytes ToBytes(const std::string& text);

// A new, empty folder below the temp folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const;

private:
    std::string path_;
};

void WriteFileBytes(const std::string& path, const Bytes& content);
void WriteFileText(const std::string& path, const std::string& text);
Bytes ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Creates every file of a tree below root (and the folders they need).
void WriteTree(const std::string& root, const Tree& tree);
// Reads every file and folder below root; folders appear as "name\".
Tree ReadTree(const std::string& root);
// Names directly in a folder that begin with prefix, e.g. left-over "PCH" files.
std::vector<std::string> NamesWithPrefix(const std::string& folder, const std::string& prefix);

// Removes a tree whatever its attributes; used for cleaning up, not under test.
void RemoveTreeForce(const std::string& path);

// Sets the start-up values the stub's procedures read (instance, language section, file paths).
void UseStartupValues(const std::string& workDirectory);
// The work directory that UseStartupValues was given last.
const std::string& WorkDirectory();

// Runs a command line to its end and returns its exit code.
DWORD RunProcess(const std::string& commandLine);

// Makes link a directory link to target, as another program of the user could. Wine 8 makes no
// links itself but shows a link of the host's file system as a directory with
// FILE_ATTRIBUTE_REPARSE_POINT, as Windows shows a junction: there the host's ln makes it.
bool PlantDirectoryLink(const std::string& link, const std::string& target);

} // namespace testing_support
