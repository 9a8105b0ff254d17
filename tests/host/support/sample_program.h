// Program-like test files: a PE32 or PE32+ image whose code section holds functions that call
// one another (rel32) and load a pointer table (RIP-relative in PE32+), whose data section holds
// that table of absolute addresses, and whose relocation table lists them. A later release of the
// same seed inserts functions and changes one, so nearly everything moves.
#ifndef MENDSMITH_TESTS_SAMPLE_PROGRAM_H
#define MENDSMITH_TESTS_SAMPLE_PROGRAM_H

#include <cstdint>
#include <random>
#include <vector>

namespace mendsmith::test {

inline void Put(std::vector<std::uint8_t>& out, std::size_t at, std::uint64_t value, int width)
{
    for (int i = 0; i < width; i++)
        out[at + i] = static_cast<std::uint8_t>(value >> 8 * i);
}

inline std::vector<std::uint8_t> SampleProgram(std::uint32_t seed, bool wide, int release)
{
    constexpr std::uint32_t kText = 0x400, kTextRva = 0x1000;
    std::mt19937 rng(seed);
    auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    // Filler bytes that no rule takes for an opcode it looks at.
    auto filler = [&] { return static_cast<std::uint8_t>(0xA0 + below(32)); };
    struct Function {
        std::vector<std::uint8_t> body;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> calls; // offset of E8, callee
        std::vector<std::uint32_t> loads;                           // offset of a RIP-relative load
    };
    const std::uint32_t count = 80;
    std::vector<Function> functions(count);
    for (Function& f : functions) {
        f.body.resize(24 + below(200));
        for (std::uint8_t& b : f.body)
            b = filler();
        for (std::uint32_t at = 2; at + 8 < f.body.size(); at += 6 + below(20)) {
            if (wide && below(3) == 0)
                f.loads.push_back(at);
            else
                f.calls.push_back({at, below(count)});
        }
    }
    // The later release: new functions among the old, and one function grown.
    std::mt19937 later(seed ^ 0x5EEDu);
    std::vector<std::uint32_t> order;
    for (std::uint32_t i = 0; i < count; i++) {
        if (release > 1 && later() % 9 == 0) {
            functions.push_back({std::vector<std::uint8_t>(16 + later() % 64, 0xB5), {}, {}});
            order.push_back(static_cast<std::uint32_t>(functions.size() - 1));
        }
        order.push_back(i);
    }
    if (release > 1)
        functions[seed % count].body.insert(functions[seed % count].body.begin() + 1, 5, 0xA7);

    std::vector<std::uint32_t> start(functions.size());
    std::uint32_t textSize = 0;
    for (std::uint32_t i : order) {
        start[i] = textSize;
        textSize += static_cast<std::uint32_t>(functions[i].body.size());
    }
    const std::uint32_t textRaw = (textSize + 0x1FF) & ~0x1FFu;
    const std::uint32_t dataRva = kTextRva + ((textSize + 0xFFF) & ~0xFFFu), data = kText + textRaw;
    const int pointer = wide ? 8 : 4;
    const std::uint32_t dataSize = count * pointer;
    const std::uint32_t dataRaw = (dataSize + 0x1FF) & ~0x1FFu;
    const std::uint32_t relocRva = dataRva + ((dataSize + 0xFFF) & ~0xFFFu), reloc = data + dataRaw;
    const std::uint32_t relocSize = 8 + 2 * count;
    const std::uint64_t base = wide ? 0x180000000ull : 0x10000000u;

    std::vector<std::uint8_t> out(reloc + ((relocSize + 0x1FF) & ~0x1FFu), 0);
    out[0] = 'M';
    out[1] = 'Z';
    Put(out, 0x3C, 0x40, 4);
    Put(out, 0x40, 0x4550, 4);
    Put(out, 0x44, wide ? 0x8664 : 0x14C, 2);
    Put(out, 0x46, 3, 2);
    const std::uint32_t optionalSize = wide ? 240 : 224, optional = 0x58;
    Put(out, 0x54, optionalSize, 2);
    Put(out, optional, wide ? 0x20B : 0x10B, 2);
    if (wide)
        Put(out, optional + 24, base, 8);
    else
        Put(out, optional + 28, base, 4);
    const std::uint32_t directories = optional + (wide ? 112 : 96);
    Put(out, directories - 4, 16, 4);
    Put(out, directories + 40, relocRva, 4);
    Put(out, directories + 44, relocSize, 4);
    const std::uint32_t table = optional + optionalSize;
    const std::uint32_t sections[3][4] = {{kTextRva, textRaw, kText, 0x60000020u},
                                          {dataRva, dataRaw, data, 0xC0000040u},
                                          {relocRva, 0x200, reloc, 0x42000040u}};
    for (int s = 0; s < 3; s++) {
        Put(out, table + 40 * s + 12, sections[s][0], 4);
        Put(out, table + 40 * s + 16, sections[s][1], 4);
        Put(out, table + 40 * s + 20, sections[s][2], 4);
        Put(out, table + 40 * s + 36, sections[s][3], 4);
    }

    for (std::uint32_t i : order) {
        const Function& f = functions[i];
        const std::uint32_t at = kText + start[i];
        std::copy(f.body.begin(), f.body.end(), out.begin() + at);
        for (auto [offset, callee] : f.calls) {
            out[at + offset] = 0xE8;
            std::uint32_t next = kTextRva + start[i] + offset + 5;
            Put(out, at + offset + 1, kTextRva + start[callee] - next, 4);
        }
        for (std::uint32_t offset : f.loads) {
            out[at + offset] = 0x48;
            out[at + offset + 1] = 0x8B;
            out[at + offset + 2] = 0x05;
            std::uint32_t next = kTextRva + start[i] + offset + 7;
            Put(out, at + offset + 3, dataRva + 8 * ((offset + i) % count) - next, 4);
        }
    }
    for (std::uint32_t k = 0; k < count; k++)
        Put(out, data + k * pointer, base + kTextRva + start[k], pointer);
    Put(out, reloc, dataRva, 4);
    Put(out, reloc + 4, relocSize, 4);
    for (std::uint32_t k = 0; k < count; k++)
        Put(out, reloc + 8 + 2 * k, (wide ? 0xA000u : 0x3000u) | (k * pointer), 2);
    return out;
}

} // namespace mendsmith::test

#endif
