// Writes the fuzz targets' seed corpora from real packages made by the format library.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/constants.h"
#include "format/bundle.h"
#include "format/delta.h"
#include "format/patch_file.h"
#include "format/updater_image.h"

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

    Save(root / "format_reader_fuzz", "patch", patch);
    Save(root / "format_reader_fuzz", "bundle", bundle);
    Save(root / "format_reader_fuzz", "package", Bytes(image.begin() + PACKAGE_OFFSET, image.end()));
    return 0;
}
