// Writes the fuzz targets' seed corpora from real packages made by the format library.
#include <bzlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/constants.h"
#include "format/bundle.h"
#include "format/delta.h"
#include "format/patch_file.h"
#include "format/updater_image.h"
#include "tests/host/support/sample_program.h"

using namespace mendsmith::format;
namespace fs = std::filesystem;

static void Save(const fs::path& dir, const std::string& name, const Bytes& bytes)
{
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
        return 1;
    }
    fs::path root = argv[1];
    Bytes oldFile = ToBytes("The quick brown fox jumps over the lazy dog. 0123456789 ABCDEF");
    Bytes newFile = ToBytes("The quick red fox jumps over the lazy cat. 0123456789 ABxyEF!");
    std::vector<PatchEntry> entries{MakePatchEntry("\\App.exe", oldFile, newFile),
                                    MakeAttachedEntry("\\Docs\\New.txt", ToBytes("hello")),
                                    MakePatchEntry("\\Docs\\Notes.txt", ToBytes("ABCDEF"), ToBytes("ABxyEF"))};
    // A difference body that moves the old position back, then forward again.
    PatchEntry difference = MakePatchEntry("\\Docs\\Moved.txt", ToBytes("ABCDEF"), ToBytes("DFFABxyzF"));
    difference.ops.clear();
    difference.difference = DiffBody{{{0, 0, 3}, {3, 0, -6}, {2, 3, 3}, {1, 0, 0}}, Bytes(6, 0), ToBytes("xyz")};
    difference.difference->difference[1] = 1;
    entries.push_back(difference);
    entries.push_back(MakeDifferenceEntry("\\App.dll", oldFile, newFile, MakeDiffBody(oldFile, newFile)));
    // A removal between two other entries: its one byte, then the next entry.
    entries.insert(entries.begin() + 2, MakeRemovalEntry("\\Old\\Gone.dll", oldFile));
    Bytes patch = WritePatchFile(entries);
    std::vector<BundleFile> setup{{"Language.ini", ToBytes("\r\n\r\n[$0404]\r\nID200=x\r\n")},
                                  {"Update.ini", ToBytes("[App]\r\nAppName=Demo\r\nMainFile=App.exe\r\n")}};
    Bytes bundle = WriteBundle(setup);

    UpdaterFiles files{setup[0].content, setup[1].content, patch};
    Bytes image = MakeUpdaterImage(Bytes(16, 0), files);
    Save(root / "package_record_fuzz", "updater", Bytes(image.begin() + PACKAGE_OFFSET, image.end()));
    Save(root / "bundle_fuzz", "setup_bundle", bundle);
    Save(root / "bundle_fuzz", "patch_bundle", WriteBundle(std::vector<BundleFile>{{"Patch.dat", patch}}));

    Bytes withOld{uint8_t(oldFile.size()), 0};
    withOld.insert(withOld.end(), oldFile.begin(), oldFile.end());
    withOld.insert(withOld.end(), patch.begin(), patch.end());
    Save(root / "patch_data_fuzz", "entries_of_each_kind", withOld);

    // Predicted bodies between two releases of a small program of each width, and the old files
    // for the reference rules.
    for (bool wide : {false, true}) {
        const Bytes old = mendsmith::test::SampleProgram(7, wide, 1),
                    target = mendsmith::test::SampleProgram(7, wide, 2);
        PatchEntry predicted = MakePatchEntry("\\App.dll", old, target, Bodies::Predicted);
        const Bytes program = WritePatchFile(std::span(&predicted, 1));
        Bytes seed{uint8_t(old.size()), uint8_t(old.size() >> 8)};
        seed.insert(seed.end(), old.begin(), old.end());
        seed.insert(seed.end(), program.begin(), program.end());
        const std::string name = wide ? "predicted_pe32plus" : "predicted_pe32";
        Save(root / "patch_data_fuzz", name, seed);
        Save(root / "format_reader_fuzz", name, program);
        Save(root / "reference_fuzz", wide ? "program_pe32plus" : "program_pe32", old);
    }

    Save(root / "format_reader_fuzz", "patch", patch);
    Save(root / "format_reader_fuzz", "bundle", bundle);
    Save(root / "format_reader_fuzz", "package", Bytes(image.begin() + PACKAGE_OFFSET, image.end()));

    // bzip2 streams: runs of every length the run decoder tells apart, two blocks, and a patch
    // file; the first two bytes choose the steps in which the decoders are fed and drained (all at
    // once, then a few bytes at a time).
    Bytes runs;
    for (int length = 1; length <= 300; length += length < 8 ? 1 : 37)
        runs.insert(runs.end(), size_t(length), uint8_t('a' + length % 26));
    Bytes blocks(120000);
    for (size_t at = 0; at < blocks.size(); at++)
        blocks[at] = uint8_t(at % 251 + at / 5000);
    const std::pair<const char*, const Bytes*> streams[] = {{"runs", &runs},
                                                            {"two_blocks", &blocks},
                                                            {"patch", &patch}};
    for (const auto& [name, plain] : streams) {
        Bytes packed(plain->size() + plain->size() / 100 + 600);
        unsigned size = unsigned(packed.size());
        if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(packed.data()), &size,
                                     const_cast<char*>(reinterpret_cast<const char*>(plain->data())),
                                     unsigned(plain->size()), 1, 0, 0) != BZ_OK)
            return 1;
        for (uint8_t step : {255, 5}) {
            Bytes seed{step, step};
            seed.insert(seed.end(), packed.begin(), packed.begin() + size);
            Save(root / "bzip2_copy_fuzz", std::string(name) + (step == 5 ? "_in_steps" : ""), seed);
        }
    }
    return 0;
}
