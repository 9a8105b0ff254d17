#include "format/bundle.h"

#include <algorithm>

namespace mendsmith::format {

bool IsPlainFileName(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        auto b = static_cast<unsigned char>(c);
        return b < 0x20 || c == '\\' || c == '/' || c == ':';
    });
}

Bytes WriteBundle(std::span<const BundleFile> files)
{
    Bytes out;
    for (const BundleFile& file : files) {
        if (!IsPlainFileName(file.name))
            throw FormatError("bundle: file name \"" + file.name + "\" is not a plain file name");
        AppendBytes(out, AsBytes(file.name));
        out.push_back(0);
        AppendU32(out, CheckedU32(file.content.size(), "bundle file " + file.name));
        AppendBytes(out, file.content);
    }
    return out;
}

std::vector<BundleFile> ReadBundle(ByteView data)
{
    std::vector<BundleFile> files;
    std::size_t at = 0;
    while (at < data.size()) {
        const std::string where = "bundle entry " + std::to_string(files.size() + 1) + " at offset " + HexOffset(at);
        auto nul = std::find(data.begin() + at, data.end(), std::uint8_t{0});
        if (nul == data.end())
            throw FormatError(where + ": file name runs past the end of the bundle");
        std::string name(data.begin() + at, nul);
        if (!IsPlainFileName(name))
            throw FormatError(where + ": file name \"" + name + "\" is empty or not a plain file name");
        at = static_cast<std::size_t>(nul - data.begin()) + 1;
        if (data.size() - at < 4)
            throw FormatError(where + ": size field of \"" + name + "\" runs past the end of the bundle");
        std::uint32_t size = LoadU32(data, at);
        at += 4;
        if (data.size() - at < size)
            throw FormatError(where + ": content of \"" + name + "\" (" + std::to_string(size) +
                              " bytes) runs past the end of the bundle");
        files.push_back({std::move(name), Bytes(data.begin() + at, data.begin() + at + size)});
        at += size;
    }
    return files;
}

} // namespace mendsmith::format
