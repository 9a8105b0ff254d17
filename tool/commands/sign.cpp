#include "tool/commands/sign.h"

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "format/signature.h"
#include "format/updater_image.h"
#include "tool/commands/errors.h"
#include "tool/commands/files.h"

namespace mendsmith::tool {

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr char kPathSeparator = ';';
constexpr const char* kSignerName = "osslsigncode.exe";

std::string Quote(const std::string& argument)
{
    return "\"" + argument + "\"";
}

// cmd.exe drops the first and last quote of a line that starts with one.
int RunShell(const std::string& command)
{
    return std::system(("\"" + command + "\"").c_str());
}
#else
constexpr char kPathSeparator = ':';
constexpr const char* kSignerName = "osslsigncode";

std::string Quote(const std::string& argument)
{
    std::string out = "'";
    for (char c : argument)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int RunShell(const std::string& command)
{
    int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

// Files in the system's temp folder that go away with this object.
class ScratchFiles {
public:
    ScratchFiles()
    {
        std::random_device seed;
        std::mt19937_64 rng(seed());
        stem_ = fs::temp_directory_path() / ("mendsmith-sign-" + std::to_string(rng()));
    }
    ~ScratchFiles()
    {
        for (const char* suffix : {".in.exe", ".out.exe", ".log"}) {
            std::error_code ignored;
            fs::remove(Path(suffix), ignored);
        }
    }
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;

    fs::path Path(const char* suffix) const
    {
        fs::path path = stem_;
        path += suffix;
        return path;
    }

private:
    fs::path stem_;
};

// osslsigncode's own complaint: its lines without OpenSSL's error stack and its final "Failed".
std::string SignerMessage(const fs::path& log)
{
    std::error_code ec;
    if (!fs::exists(log, ec))
        return "";
    format::Bytes bytes = ReadWholeFile(log);
    std::istringstream lines(std::string(bytes.begin(), bytes.end()));
    std::string message;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line == "Failed" || line.find(":error:") != std::string::npos)
            continue;
        message += (message.empty() ? "" : "; ") + line;
    }
    return message;
}

} // namespace

fs::path FindSigner()
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, kPathSeparator);) {
        if (folder.empty())
            continue;
        fs::path candidate = fs::path(folder) / kSignerName;
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec))
            return candidate;
    }
    throw ToolError(ErrorKind::Io, "cannot sign: osslsigncode is not installed or not on PATH "
                                   "(on Debian: apt-get install osslsigncode)");
}

format::Bytes SignImage(format::ByteView image, const SignOptions& options)
{
    const fs::path signer = FindSigner();
    ScratchFiles scratch;
    WriteWholeFile(scratch.Path(".in.exe"), image);
    std::string command = Quote(signer.string()) + " sign -pkcs12 " + Quote(options.certificate.string());
    if (options.passwordFile)
        command += " -readpass " + Quote(options.passwordFile->string());
    command += " -in " + Quote(scratch.Path(".in.exe").string()) + " -out " + Quote(scratch.Path(".out.exe").string()) +
               " > " + Quote(scratch.Path(".log").string()) + " 2>&1";
    int code = RunShell(command);
    std::error_code ec;
    if (code != 0 || !fs::exists(scratch.Path(".out.exe"), ec)) {
        std::string message = SignerMessage(scratch.Path(".log"));
        throw ToolError(ErrorKind::Io, "cannot sign with " + options.certificate.string() + ": osslsigncode " +
                                           (code < 0 ? std::string("did not run") : "failed") +
                                           (message.empty() ? "" : ": " + message));
    }
    format::Bytes signedImage = ReadWholeFile(scratch.Path(".out.exe"));
    try {
        if (!format::ReadSignature(signedImage))
            throw format::FormatError("it carries no certificate table");
        if (format::ReadUpdaterImage(signedImage) != format::ReadUpdaterImage(image))
            throw format::FormatError("its package differs from the one built");
    } catch (const format::FormatError& e) {
        throw ToolError(ErrorKind::Verification, std::string("the signed updater does not read back: ") + e.what());
    }
    return signedImage;
}

} // namespace mendsmith::tool
