// Tree listing and whole-file I/O with errors that name the file.
#include "tool/commands/files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#include "tool/commands/errors.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace mendsmith::tool {

namespace fs = std::filesystem;

namespace {

// The C++ library of the Windows build does not report junctions or symbolic links as links,
// so there the reparse-point attribute tells.
bool IsLink(const fs::directory_entry& entry)
{
#ifdef _WIN32
    DWORD attributes = GetFileAttributesW(entry.path().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
    std::error_code ec;
    return entry.is_symlink(ec);
#endif
}

} // namespace

std::vector<TreeFile> ListTree(const fs::path& root)
{
    std::error_code ec;
    if (!fs::is_directory(root, ec))
        throw ToolError(ErrorKind::Io, root.string() + ": not a directory");
    std::vector<TreeFile> files;
    fs::recursive_directory_iterator it(root, ec);
    if (ec)
        throw ToolError(ErrorKind::Io, root.string() + ": " + ec.message());
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            throw ToolError(ErrorKind::Io, root.string() + ": " + ec.message());
        const fs::directory_entry& entry = *it;
        // A link would put another folder's files into the update, or leave out what it
        // points at, depending on the machine the tree is read on.
        if (IsLink(entry))
            throw ToolError(ErrorKind::Io, entry.path().string() +
                                               ": a symbolic link; release trees must hold only files and folders");
        if (entry.is_directory(ec))
            continue;
        if (!entry.is_regular_file(ec))
            throw ToolError(ErrorKind::Io, entry.path().string() + ": neither a regular file nor a directory");
        std::uint64_t size = entry.file_size(ec);
        if (ec)
            throw ToolError(ErrorKind::Io, entry.path().string() + ": " + ec.message());
        files.push_back({fs::relative(entry.path(), root).generic_string(), size});
    }
    if (ec)
        throw ToolError(ErrorKind::Io, root.string() + ": " + ec.message());
    std::sort(files.begin(), files.end(), [](const TreeFile& a, const TreeFile& b) { return a.relative < b.relative; });
    return files;
}

format::Bytes ReadWholeFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ToolError(ErrorKind::Io, path.string() + ": cannot open: " + std::strerror(errno));
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0);
    if (size < 0)
        throw ToolError(ErrorKind::Io, path.string() + ": cannot tell its size");
    format::Bytes data(static_cast<std::size_t>(size));
    if (!in.read(reinterpret_cast<char*>(data.data()), size))
        throw ToolError(ErrorKind::Io, path.string() + ": read failed");
    return data;
}

void WriteWholeFile(const fs::path& path, format::ByteView data)
{
    fs::path temporary = path;
    temporary += ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out)
            throw ToolError(ErrorKind::Io, temporary.string() + ": cannot create: " + std::strerror(errno));
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw ToolError(ErrorKind::Io, temporary.string() + ": write failed");
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw ToolError(ErrorKind::Io, path.string() + ": " + ec.message());
    }
}

fs::path ResolveIgnoringCase(const fs::path& root, const std::string& relative)
{
    fs::path at = root;
    for (const fs::path& component : Utf8Path(relative)) {
        fs::path exact = at / component;
        std::error_code ec;
        if (fs::exists(exact, ec)) {
            at = exact;
            continue;
        }
        std::string wanted = FoldCase(component.string());
        fs::path found = exact;
        for (const fs::directory_entry& entry : fs::directory_iterator(at, ec)) {
            if (FoldCase(entry.path().filename().string()) == wanted) {
                found = entry.path();
                break;
            }
        }
        at = found;
    }
    return at;
}

fs::path Utf8Path(std::string_view utf8)
{
    // From char8_t, because a char string is read in the C runtime's code page on Windows.
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string FoldCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::uint64_t PhysicalMemory()
{
#ifdef _WIN32
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) : 0;
#endif
}

} // namespace mendsmith::tool
