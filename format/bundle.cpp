#include "format/bundle.h"

#include "core/package_layout.h"

namespace mendsmith::format {

Bytes BundleFileHeader(const std::string& name, std::uint64_t size)
{
    // An inner NUL would end the name early for every reader.
    if (name.find('\0') != std::string::npos || !IsPlainFileName(name.c_str()))
        throw FormatError("bundle: file name \"" + name + "\" is not a plain file name");
    Bytes out(AsBytes(name).begin(), AsBytes(name).end());
    out.push_back(0);
    AppendU32(out, CheckedU32(static_cast<std::size_t>(size), "bundle file " + name));
    return out;
}

Bytes WriteBundle(std::span<const BundleFile> files)
{
    Bytes out;
    for (const BundleFile& file : files) {
        AppendBytes(out, BundleFileHeader(file.name, file.content.size()));
        AppendBytes(out, file.content);
    }
    return out;
}

std::vector<BundleFile> ReadBundle(ByteView data)
{
    std::vector<BundleFile> files;
    const unsigned char* begin = data.data();
    const unsigned char* end = begin + CheckedU32(data.size(), "bundle");
    const unsigned char* cursor = begin;
    for (;;) {
        const std::string where = "bundle entry " + std::to_string(files.size() + 1) + " at offset " +
                                  HexOffset(static_cast<std::size_t>(cursor - begin));
        BundleEntry entry{};
        int step = NextBundleEntry(&cursor, end, &entry);
        // The stub stops at an empty name; here bytes after it are an error.
        if (step == BUNDLE_END && cursor == end)
            return files;
        if (step == BUNDLE_NAME_CUT)
            throw FormatError(where + ": file name runs past the end of the bundle");
        std::string name = step == BUNDLE_END ? "" : entry.name;
        if (step == BUNDLE_END || !IsPlainFileName(entry.name))
            throw FormatError(where + ": file name \"" + name + "\" is empty or not a plain file name");
        if (step == BUNDLE_SIZE_CUT)
            throw FormatError(where + ": size field of \"" + name + "\" runs past the end of the bundle");
        if (step == BUNDLE_CONTENT_CUT)
            throw FormatError(where + ": content of \"" + name + "\" (" + std::to_string(entry.size) +
                              " bytes) runs past the end of the bundle");
        files.push_back({std::move(name), Bytes(entry.data, entry.data + entry.size)});
    }
}

} // namespace mendsmith::format
