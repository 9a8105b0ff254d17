// Where the packed bytes of one file's delta go: the packed op list as written, the same ops
// with every copy offset set to zero (what the ops would cost if offsets were free), how many
// literal bytes equal the old file's byte at the place the last copy points to, and the packed
// difference body beside them.
//
//     build/host/bench/op_cost OLD_FILE NEW_FILE
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "format/delta.h"
#include "format/patch_file.h"
#include "format/record.h"
#include "tool/commands/files.h"

using namespace mendsmith::format;

namespace {

std::size_t PackedSize(const PatchEntry& entry)
{
    return CompressBzip2(WritePatchFile(std::span(&entry, 1))).size();
}

// Literal bytes that a byte-difference op would store as zero: equal to the old byte at the
// displacement of the copy before them.
std::size_t LiteralBytesEqualToOld(const std::vector<Op>& ops, ByteView old)
{
    std::size_t equal = 0, at = 0;
    std::ptrdiff_t displacement = 0;
    for (const Op& op : ops) {
        if (op.kind == OpKind::Copy) {
            displacement = static_cast<std::ptrdiff_t>(op.sourceOffset) - static_cast<std::ptrdiff_t>(at);
        } else {
            for (std::size_t i = 0; i < op.literal.size(); i++) {
                std::ptrdiff_t from = static_cast<std::ptrdiff_t>(at + i) + displacement;
                if (from >= 0 && static_cast<std::size_t>(from) < old.size() && old[from] == op.literal[i])
                    equal++;
            }
        }
        at += op.length;
    }
    return equal;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OLD_FILE NEW_FILE\n", argv[0]);
        return 1;
    }
    try {
        Bytes old = mendsmith::tool::ReadWholeFile(argv[1]), target = mendsmith::tool::ReadWholeFile(argv[2]);
        PatchEntry entry = MakePatchEntry("\\file", old, target);
        std::size_t copies = 0, literalBytes = 0;
        for (const Op& op : entry.ops) {
            copies += op.kind == OpKind::Copy;
            literalBytes += op.literal.size();
        }
        PatchEntry free = entry;
        for (Op& op : free.ops)
            op.sourceOffset = 0;
        std::printf("copy ops %zu, literal bytes %zu (%zu equal to the old byte in place)\n", copies, literalBytes,
                    LiteralBytesEqualToOld(entry.ops, old));
        std::printf("packed %zu B; with every copy offset zero %zu B\n", PackedSize(entry), PackedSize(free));

        auto start = std::chrono::steady_clock::now();
        PatchEntry diff = entry;
        diff.ops.clear();
        diff.difference = MakeDiffBody(old, target);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::size_t nonzero = std::count_if(diff.difference->difference.begin(), diff.difference->difference.end(),
                                            [](std::uint8_t b) { return b != 0; });
        std::printf("difference body: %zu controls, %zu difference bytes (%zu not zero), %zu extra bytes\n",
                    diff.difference->controls.size(), diff.difference->difference.size(), nonzero,
                    diff.difference->extra.size());
        std::printf("packed %zu B, made in %.2f s\n", PackedSize(diff), took.count());
        const DiffBody& body = *diff.difference;
        DiffBody controls{body.controls, {}, {}};
        controls.difference.resize(body.difference.size());
        controls.extra.resize(body.extra.size());
        std::size_t controlsPacked = CompressBzip2(EncodeDiffBody(controls)).size();
        std::printf("packed alone: controls %zu B, difference bytes %zu B, extra bytes %zu B\n", controlsPacked,
                    CompressBzip2(body.difference).size(), CompressBzip2(body.extra).size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
