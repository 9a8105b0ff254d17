// The mendsmith command line: parses arguments, prints results and progress, picks the exit code.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#include <CLI/CLI.hpp>

#include "core/constants.h"
#include "format/error.h"
#include "format/signature.h"
#include "tool/commands/build.h"
#include "tool/commands/codepage.h"
#include "tool/commands/errors.h"
#include "tool/commands/files.h"
#include "tool/commands/inspect.h"
#include "tool/commands/sign.h"

namespace fs = std::filesystem;
using namespace mendsmith::tool;

namespace {

enum ExitCode { kOk = 0, kUsageOrIo = 1, kVerification = 2 };

enum class Output { Normal, Quiet };

void Print(const Diagnostic& d)
{
    const char* label = d.severity == Severity::Error ? "error" : d.severity == Severity::Warning ? "warning" : "note";
    std::cerr << "mendsmith: " << label << ": " << (d.file.empty() ? "" : d.file + ": ") << d.message << "\n";
}

std::string Mebibytes(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// One status line on a terminal, redrawn at most ten times a second.
class ProgressLine {
public:
    explicit ProgressLine(Output output) : enabled_(output == Output::Normal && isatty(STDERR_FILENO)) {}
    ~ProgressLine() { Clear(); }

    ProgressCallback Callback()
    {
        if (!enabled_)
            return {};
        return [this](const BuildProgress& p) { Show(p); };
    }

    void Clear()
    {
        if (shown_)
            std::cerr << "\r\033[K" << std::flush;
        shown_ = false;
    }

private:
    void Show(const BuildProgress& p)
    {
        auto now = std::chrono::steady_clock::now();
        if (shown_ && p.filesDone != p.filesTotal && now - last_ < std::chrono::milliseconds(100))
            return;
        last_ = now;
        if (!started_)
            started_ = now;
        std::string line = "[" + std::to_string(p.filesDone) + "/" + std::to_string(p.filesTotal) + " files, " +
                           Mebibytes(p.bytesDone) + " of " + Mebibytes(p.bytesTotal) + TimeLeft(p, now) + "] " +
                           p.currentFile;
        if (line.size() > 100)
            line = line.substr(0, 97) + "...";
        std::cerr << "\r\033[K" << line << std::flush;
        shown_ = true;
    }

    // From the rate so far, once a second's work gives a rate worth going by.
    std::string TimeLeft(const BuildProgress& p, std::chrono::steady_clock::time_point now) const
    {
        std::chrono::duration<double> spent = now - *started_;
        if (spent.count() < 1.0 || p.bytesDone == 0 || p.bytesDone >= p.bytesTotal)
            return "";
        double left =
            spent.count() * static_cast<double>(p.bytesTotal - p.bytesDone) / static_cast<double>(p.bytesDone);
        return ", about " + std::to_string(static_cast<long long>(left + 0.5)) + " s left";
    }

    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_;
    std::optional<std::chrono::steady_clock::time_point> started_;
};

fs::path ThisProgram(const char* argv0)
{
    std::error_code ec;
#ifdef _WIN32
    std::wstring name(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length > 0 && length < name.size())
        return fs::path(name.substr(0, length));
#else
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        return self;
#endif
    return fs::absolute(argv0, ec);
}

// --stub, else stub-padded.bin beside this program, else in ../share/mendsmith as a package
// installs it (bin/mendsmith), else the one the build tree configured.
fs::path DefaultStub(const char* argv0)
{
    std::error_code ec;
    fs::path self = ThisProgram(argv0);
    const fs::path beside = self.parent_path() / "stub-padded.bin";
    for (const fs::path& candidate :
         {beside, self.parent_path().parent_path() / "share" / "mendsmith" / "stub-padded.bin"})
        if (fs::exists(candidate, ec))
            return candidate;
    if (std::string_view(MENDSMITH_CONFIGURED_STUB).empty())
        return beside;
    return MENDSMITH_CONFIGURED_STUB;
}

int RunBuild(const BuildOptions& options, const std::optional<SignOptions>& signing, const fs::path& target,
             Output output)
{
    if (signing)
        FindSigner();
    ProgressLine progress(output);
    BuildResult result = BuildUpdater(options, progress.Callback());
    progress.Clear();
    for (const Diagnostic& d : result.diagnostics)
        if (output == Output::Normal || d.severity != Severity::Note)
            Print(d);
    if (result.outcome == BuildOutcome::Refused) {
        std::cerr << "mendsmith: nothing written\n";
        return kUsageOrIo;
    }
    if (result.outcome == BuildOutcome::VerificationFailed) {
        std::cerr << "mendsmith: the updater failed its own check; nothing written\n";
        return kVerification;
    }
    if (signing)
        result.image = SignImage(result.image, *signing);
    WriteWholeFile(target, result.image);
    if (output == Output::Normal) {
        std::size_t patched = 0, attached = 0, removed = 0;
        for (const BuiltEntry& e : result.entries)
            (e.kind == EntryKind::Patched ? patched : e.kind == EntryKind::Attached ? attached : removed)++;
        std::cout << "wrote " << target.string() << ": " << result.image.size() << " bytes; " << patched << " patched, "
                  << attached << " attached, " << removed << " removed, " << result.unchangedFiles
                  << " unchanged; Patch.dat " << result.patchDataSize << " bytes, packed " << result.patchRecordSize
                  << "\n";
        if (auto signature = signing ? mendsmith::format::ReadSignature(result.image) : std::nullopt)
            std::cout << "signature: " << DescribeSignature(*signature, CheckSignature(result.image, signature->table))
                      << "; with " << signing->certificate.string() << "\n";
    }
    return kOk;
}

} // namespace

int Run(int argc, char** argv)
{
    CLI::App app{"mendsmith: builds and examines self-applying updaters"};
    app.set_version_flag("--version", "mendsmith " MENDSMITH_VERSION);
    app.require_subcommand(1);

    BuildOptions build;
    fs::path output;
    std::optional<fs::path> stub;
    std::optional<fs::path> language;
    std::optional<std::size_t> maxDest;
    bool strict = false;
    bool keepRemoved = false;
    bool quiet = false;
    std::optional<SignOptions> signing;
    fs::path certificate;
    std::optional<fs::path> passwordFile;
    CLI::App* buildCommand = app.add_subcommand("build", "Make an updater that turns OLD_DIR into NEW_DIR");
    buildCommand->add_option("OLD_DIR", build.oldDir, "The installed release")
        ->required()
        ->check(CLI::ExistingDirectory);
    buildCommand->add_option("NEW_DIR", build.newDir, "The new release")->required()->check(CLI::ExistingDirectory);
    buildCommand->add_option("--setup", build.setupFile, "Update.ini for the updater")
        ->required()
        ->check(CLI::ExistingFile);
    buildCommand->add_option("--lang", language, "Language.ini with translations (default: none)")
        ->check(CLI::ExistingFile);
    buildCommand->add_option("--stub", stub, "The updater program, at most 0x7A00 bytes")->check(CLI::ExistingFile);
    buildCommand->add_option("-o,--output", output, "The updater to write")->required();
    buildCommand->add_option("--codepage", build.codePage, "ANSI code page of the entry paths")->capture_default_str();
    buildCommand->add_option("--max-dest-len", maxDest,
                             "Longest destination folder to allow for (default: the length of SoftWarePath)");
    buildCommand->add_option("-j,--jobs", build.jobs, "Files diffed at once (default: one per processor)");
    buildCommand->add_flag("--strict", strict, "Refuse files that only the old tree has");
    buildCommand->add_flag("--keep-removed", keepRemoved,
                           "Leave files that only the old tree has installed, for a stub that cannot remove them");
    buildCommand->add_flag("--classic", build.classic,
                           "Copy and literal ops only, for a stub that does not apply difference bodies");
    std::vector<std::string> references;
    buildCommand
        ->add_option("--references", references,
                     "References that predicted bodies predict: rel32, absolute, rip, all or none (default: all)")
        ->delimiter(',')
        ->check(CLI::IsMember({"rel32", "absolute", "rip", "all", "none"}));
    buildCommand
        ->add_option("--memory", build.memoryLimit,
                     "Memory one file's diff may take, such as 4G or 512M: a pair the suffix-array engine would need "
                     "more for is matched in bounded memory (default: half the physical memory)")
        ->transform(CLI::AsSizeValue(false))
        ->option_text("SIZE");
    buildCommand->add_flag("-q,--quiet", quiet, "No progress, notes or summary");
    const std::map<std::string, ExecutionLevel> levels = {{"requireAdministrator",
                                                           ExecutionLevel::RequireAdministrator},
                                                          {"highestAvailable", ExecutionLevel::HighestAvailable},
                                                          {"asInvoker", ExecutionLevel::AsInvoker}};
    buildCommand
        ->add_option("--execution-level", build.executionLevel,
                     "What the updater asks Windows for: requireAdministrator (default), highestAvailable or asInvoker")
        ->transform(CLI::CheckedTransformer(levels))
        ->option_text("LEVEL");
    CLI::Option* signOption =
        buildCommand->add_option("--sign", certificate, "Sign the updater with this .pfx (needs osslsigncode)")
            ->check(CLI::ExistingFile);
    buildCommand->add_option("--sign-password-file", passwordFile, "File whose first line is the .pfx password")
        ->check(CLI::ExistingFile)
        ->needs(signOption);

    fs::path image;
    bool json = false;
    unsigned codePage = 1252;
    CLI::App* inspectCommand = app.add_subcommand("inspect", "Show what an updater holds");
    inspectCommand->add_option("UPDATER", image, "The updater")->required()->check(CLI::ExistingFile);
    inspectCommand->add_flag("--json", json, "Machine-readable output");
    inspectCommand->add_option("--codepage", codePage, "Code page of the texts and paths")->capture_default_str();

    fs::path installed;
    CLI::App* verifyCommand =
        app.add_subcommand("verify", "Say what the updater would do to an installed folder, changing nothing");
    verifyCommand->add_option("UPDATER", image, "The updater")->required()->check(CLI::ExistingFile);
    verifyCommand->add_option("INSTALLED_DIR", installed, "The installed application")
        ->required()
        ->check(CLI::ExistingDirectory);
    verifyCommand->add_option("--codepage", codePage, "Code page of the entry paths")->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kOk : kUsageOrIo;
    }

    try {
        if (*buildCommand) {
            build.stubFile = stub.value_or(DefaultStub(argv[0]));
            build.languageFile = language;
            build.maxDestLength = maxDest;
            build.removedFiles = strict        ? RemovedFiles::Refuse
                                 : keepRemoved ? RemovedFiles::Keep
                                               : RemovedFiles::Remove;
            if (!references.empty()) {
                build.referenceKinds = 0;
                for (const std::string& kind : references)
                    build.referenceKinds |= kind == "rel32"      ? REFERENCE_REL32
                                            : kind == "absolute" ? REFERENCE_ABSOLUTE
                                            : kind == "rip"      ? REFERENCE_RIP
                                            : kind == "all"      ? REFERENCE_KINDS
                                                                 : 0;
            }
            if (*signOption)
                signing = SignOptions{certificate, passwordFile};
            return RunBuild(build, signing, output, quiet ? Output::Quiet : Output::Normal);
        }
        if (*inspectCommand) {
            Inspection inspection = Inspect(ReadWholeFile(image), CodePage(codePage));
            std::cout << (json ? RenderJson(inspection) : RenderText(inspection));
            return kOk;
        }
        Plan plan = PlanRun(ReadWholeFile(image), installed, CodePage(codePage));
        std::cout << RenderPlan(plan);
        return plan.end == RunEnd::Completes ? kOk : kVerification;
    } catch (const ToolError& e) {
        std::cerr << "mendsmith: " << e.what() << "\n";
        return e.kind() == ErrorKind::Verification ? kVerification : kUsageOrIo;
    } catch (const mendsmith::format::FormatError& e) {
        std::cerr << "mendsmith: " << e.what() << "\n";
        return kVerification;
    } catch (const std::exception& e) {
        std::cerr << "mendsmith: " << e.what() << "\n";
        return kUsageOrIo;
    }
}

#ifdef _WIN32
// Arguments arrive as UTF-16 and go on as UTF-8, which is what std::filesystem's narrow paths
// mean here, so that any file name reaches the tool and the output matches the Linux tool's.
int wmain(int argc, wchar_t** wargv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; i++)
        arguments.push_back(fs::path(wargv[i]).string());
    std::vector<char*> argv;
    for (std::string& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // Output is UTF-8 with bare line feeds, as on Linux, so that what reads it reads one format.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode))
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    return Run(argc, argv.data());
}
#else
int main(int argc, char** argv)
{
#ifdef __GLIBC__
    // glibc maps each block over its threshold and returns it when freed, but raises the
    // threshold to the largest block freed so far; after that a file's suffix array and copies
    // come from the heap and stay resident beside the next file's once freed.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    return Run(argc, argv);
}
#endif
