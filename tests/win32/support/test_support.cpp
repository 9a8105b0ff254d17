// Shared helpers of the Windows tests (see test_support.h).
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "core/crc32.h"
#include "stub/package/setup_file.h"
#include "stub/ui/localized_text.h"

namespace testing_support {

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

TempDir::TempDir()
{
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    char name[MAX_PATH];
    GetTempFileNameA(base, "TST", 0, name);
    DeleteFileA(name);
    CreateDirectoryA(name, nullptr);
    path_ = name;
}

TempDir::~TempDir()
{
    RemoveTreeForce(path_);
}

std::string TempDir::operator/(const std::string& relative) const
{
    return path_ + "\\" + relative;
}

void WriteFileBytes(const std::string& path, const Bytes& content)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create " << path;
    DWORD written = 0;
    if (!content.empty())
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, content.size()) << "short write to " << path;
}

void WriteFileText(const std::string& path, const std::string& text)
{
    WriteFileBytes(path, ToBytes(text));
}

Bytes ReadFileBytes(const std::string& path)
{
    Bytes content;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot open " << path;
        return content;
    }
    content.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!content.empty())
        ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr);
    CloseHandle(file);
    content.resize(read);
    return content;
}

bool FileExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void WriteTree(const std::string& root, const Tree& tree)
{
    for (const auto& [relative, content] : tree) {
        std::string full = root + "\\" + relative;
        for (size_t slash = full.find('\\', root.size() + 1); slash != std::string::npos;
             slash = full.find('\\', slash + 1))
            CreateDirectoryA(full.substr(0, slash).c_str(), nullptr);
        if (!relative.empty() && relative.back() != '\\')
            WriteFileBytes(full, content);
    }
}

static void ReadTreeInto(const std::string& root, const std::string& prefix, Tree& tree)
{
    WIN32_FIND_DATAA found;
    HANDLE listing = FindFirstFileA((root + "\\" + prefix + "*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[prefix + name + "\\"] = {};
            ReadTreeInto(root, prefix + name + "\\", tree);
        } else {
            tree[prefix + name] = ReadFileBytes(root + "\\" + prefix + name);
        }
    } while (FindNextFileA(listing, &found));
    FindClose(listing);
}

Tree ReadTree(const std::string& root)
{
    Tree tree;
    ReadTreeInto(root, "", tree);
    return tree;
}

std::vector<std::string> NamesWithPrefix(const std::string& folder, const std::string& prefix)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE listing = FindFirstFileA((folder + "\\" + prefix + "*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE)
        return names;
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileA(listing, &found));
    FindClose(listing);
    return names;
}

// Wine's name for a path in the host's file system; empty on Windows.
static std::string HostName(const std::string& path)
{
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    static auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (unixFileName == nullptr)
        return "";
    std::size_t slash = path.rfind('\\');
    std::wstring parent(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(slash));
    char* name = unixFileName(parent.c_str());
    std::string result = name ? std::string(name) + "/" + path.substr(slash + 1) : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Runs a program of the host (under Wine) and waits, up to five seconds, until the link at path
// exists or no longer does: Wine does not wait for a host program to end.
static void RunHostProgram(const char* program, std::string line, const std::string& path, bool linkWanted)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int tries = 0; tries < 500; tries++) {
        DWORD attributes = GetFileAttributesA(path.c_str());
        if ((attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) == linkWanted)
            return;
        Sleep(10);
    }
}

void RemoveTreeForce(const std::string& path)
{
    WIN32_FIND_DATAA found;
    HANDLE listing = FindFirstFileA((path + "\\*").c_str(), &found);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string full = path + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // A link is removed, never entered; Wine cannot remove a link of the host's.
                if (!RemoveDirectoryA(full.c_str()) && !DeleteFileA(full.c_str()) && !HostName(full).empty())
                    RunHostProgram("Z:\\bin\\rm", "rm " + HostName(full), full, false);
                continue;
            }
            SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTreeForce(full);
            else
                DeleteFileA(full.c_str());
        } while (FindNextFileA(listing, &found));
        FindClose(listing);
    }
    RemoveDirectoryA(path.c_str());
}

// The folder of the last UseStartupValues: where the tests put Patch.dat.
static std::string g_workDirectory;

const std::string& WorkDirectory()
{
    return g_workDirectory;
}

void UseStartupValues(const std::string& workDirectory)
{
    BuildCrcTable();
    g_instance = GetModuleHandleA(nullptr);
    std::snprintf(g_languageSection, sizeof g_languageSection, "$%04X", GetUserDefaultLangID());
    g_workDirectory = workDirectory;
    std::snprintf(g_setupFilePath, sizeof g_setupFilePath, "%s\\Update.ini", workDirectory.c_str());
    std::snprintf(g_languageFilePath, sizeof g_languageFilePath, "%s\\Language.ini", workDirectory.c_str());
}

DWORD RunProcess(const std::string& commandLine)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return static_cast<DWORD>(-1);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

bool PlantDirectoryLink(const std::string& link, const std::string& target)
{
    if (HostName(link).empty())
        (void)CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    else
        RunHostProgram("Z:\\bin\\ln", "ln -s " + HostName(target) + " " + HostName(link), link, true);
    DWORD attributes = GetFileAttributesA(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

} // namespace testing_support
