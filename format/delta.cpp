#include "format/delta.h"

#include <cstring>
#include <unordered_map>

#include "format/crc.h"

namespace mendsmith::format {

namespace {

constexpr std::size_t kBlock = 8;

std::uint64_t BlockAt(ByteView data, std::size_t offset)
{
    std::uint64_t value = 0;
    std::memcpy(&value, data.data() + offset, kBlock);
    return value;
}

void FlushLiteral(std::vector<Op>& ops, ByteView target, std::size_t from, std::size_t to)
{
    if (to > from)
        ops.push_back(Op::MakeLiteral(Bytes(target.begin() + from, target.begin() + to)));
}

} // namespace

std::vector<Op> MakeOps(ByteView old, ByteView target)
{
    CheckedU32(old.size(), "old file");
    CheckedU32(target.size(), "new file");
    // First offset of every aligned 8-byte block of old.
    std::unordered_map<std::uint64_t, std::size_t> blocks;
    for (std::size_t at = 0; at + kBlock <= old.size(); at += kBlock)
        blocks.emplace(BlockAt(old, at), at);

    std::vector<Op> ops;
    std::size_t literalStart = 0;
    std::size_t i = 0;
    while (i + kBlock <= target.size()) {
        auto found = blocks.find(BlockAt(target, i));
        if (found == blocks.end()) {
            i++;
            continue;
        }
        std::size_t from = found->second;
        std::size_t start = i;
        // Extend backwards into the pending literal, then forwards.
        while (start > literalStart && from > 0 && old[from - 1] == target[start - 1]) {
            from--;
            start--;
        }
        std::size_t end = i + kBlock;
        std::size_t oldEnd = found->second + kBlock;
        while (end < target.size() && oldEnd < old.size() && old[oldEnd] == target[end]) {
            end++;
            oldEnd++;
        }
        FlushLiteral(ops, target, literalStart, start);
        ops.push_back(Op::MakeCopy(static_cast<std::uint32_t>(end - start), static_cast<std::uint32_t>(from)));
        i = end;
        literalStart = end;
    }
    FlushLiteral(ops, target, literalStart, target.size());
    return ops;
}

PatchEntry MakePatchEntry(std::string path, ByteView old, ByteView target)
{
    PatchEntry entry;
    entry.sourceCrc = Crc32(old);
    entry.targetCrc = Crc32(target);
    entry.path = std::move(path);
    entry.ops = MakeOps(old, target);
    return entry;
}

PatchEntry MakeAttachedEntry(std::string path, ByteView data)
{
    PatchEntry entry;
    entry.sourceCrc = entry.targetCrc = Crc32(data);
    entry.path = std::move(path);
    entry.attached = true;
    entry.data.assign(data.begin(), data.end());
    return entry;
}

} // namespace mendsmith::format
