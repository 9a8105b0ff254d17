// Scratch release trees and updaters for the tool's tests.
#ifndef MENDSMITH_TESTS_HOST_TOOL_TEST_SUPPORT_H
#define MENDSMITH_TESTS_HOST_TOOL_TEST_SUPPORT_H

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "core/constants.h"
#include "format/bytes.h"
#include "tool/commands/build.h"
#include "tool/commands/files.h"

namespace mendsmith::test {

namespace fs = std::filesystem;

// A fresh directory below the system's temp folder, removed with everything in it.
class ScratchDir {
public:
    ScratchDir()
    {
        static std::mt19937_64 rng(std::random_device{}());
        path_ = fs::temp_directory_path() / ("mendsmith-test-" + std::to_string(rng()));
        fs::create_directories(path_);
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& relative) const { return path_ / relative; }

private:
    fs::path path_;
};

inline void WriteText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadText(const fs::path& path)
{
    format::Bytes bytes = tool::ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// old/, new/, Update.ini naming app.exe, and a stand-in stub that applies difference bodies and removals;
// the options point at them.
struct Workspace {
    ScratchDir dir;
    tool::BuildOptions options;

    explicit Workspace(const std::string& setup = "[App]\r\nAppName=Test\r\nMainFile=app.exe\r\n"
                                                  "[Path]\r\nSoftWarePath=C:\\Program Files\\Test\r\n")
    {
        fs::create_directories(dir / "old");
        fs::create_directories(dir / "new");
        WriteText(dir / "Update.ini", setup);
        WriteText(dir / "stub.bin", std::string(500, 'S') + DIFFERENCE_BODY_MARKER + REMOVAL_BODY_MARKER +
                                        PREDICTED_BODY_MARKER + std::string(500, 'S'));
        options.oldDir = dir / "old";
        options.newDir = dir / "new";
        options.setupFile = dir / "Update.ini";
        options.stubFile = dir / "stub.bin";
        options.jobs = 2;
    }

    void Old(const std::string& relative, const std::string& text) { WriteText(dir / "old" / relative, text); }
    void New(const std::string& relative, const std::string& text) { WriteText(dir / "new" / relative, text); }
    void Both(const std::string& relative, const std::string& text)
    {
        Old(relative, text);
        New(relative, text);
    }
};

} // namespace mendsmith::test

#endif
