// `build`: compares the trees, refuses what the updater would refuse or mishandle, diffs the
// changed files in parallel, and checks the finished image against the trees before handing it out.
#include "tool/commands/build.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <map>
#include <mutex>
#include <string_view>

#include "core/constants.h"
#include "core/patch_data.h"
#include "format/bundle.h"
#include "format/crc.h"
#include "format/delta.h"
#include "format/large_delta.h"
#include "format/patch_file.h"
#include "format/record.h"
#include "format/updater_image.h"
#include "tool/commands/codepage.h"
#include "tool/commands/files.h"
#include "tool/commands/ini.h"
#include "tool/commands/parallel.h"
#include "tool/commands/setup_check.h"

namespace mendsmith::tool {

namespace fs = std::filesystem;
using format::Bytes;
using format::ByteView;
using format::DiffControl;
using format::PatchEntry;

namespace {

constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull; // sizes are u32 fields
// GetTempFileNameA's "\BAKxxxx.tmp" that the rollback directory adds before an entry path.
constexpr std::size_t kRollbackNameLength = 13;
// Past this a 32-bit updater is unlikely to get one block of memory for the patch bundle.
constexpr std::size_t kLargeBundle = std::size_t{1} << 30;
// Record 2's unpacked size, its bundle header and Patch.dat, is a u32 field.
constexpr std::uint64_t kMaxUnpackedRecord = 0xFFFFFFFFull;

// The refusal of a Patch.dat that record 2 cannot hold; atLeast when only its least size is known.
std::string PatchDataTooLarge(std::uint64_t patchSize, bool atLeast)
{
    return std::string(atLeast ? "would be at least " : "would be ") + std::to_string(patchSize) +
           " bytes; the patch record unpacks to at most " + std::to_string(kMaxUnpackedRecord) +
           " bytes (a u32), Patch.dat included, so these files do not fit in one updater";
}

std::string_view LastComponent(std::string_view path, char separator)
{
    std::size_t slash = path.rfind(separator);
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The entry path for a host path, or the reason the updater could not use it.
struct EncodedPath {
    std::string path;
    std::string problem;
};

EncodedPath EncodeEntryPath(const CodePage& codePage, const std::string& relative)
{
    EncodedPath result;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t slash = relative.find('/', start);
        std::string component = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        std::optional<std::string> encoded = codePage.Encode(component);
        if (!encoded) {
            result.problem =
                "name \"" + component + "\" cannot be written in code page " + std::to_string(codePage.number());
            return result;
        }
        if (encoded->find_first_of("\\/") != std::string::npos) {
            result.problem = "name \"" + component + "\" holds a backslash byte in code page " +
                             std::to_string(codePage.number()) + ", which Windows would read as a folder separator";
            return result;
        }
        if (!component.empty() && (component.back() == '.' || component.back() == ' ')) {
            result.problem = "name \"" + component + "\" ends in a dot or blank, which Windows drops";
            return result;
        }
        if (IsDeviceName(component.data(), component.data() + component.size())) {
            result.problem = "name \"" + component + "\" is a Windows device name";
            return result;
        }
        result.path += "\\" + *encoded;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    if (!format::IsSafeEntryPathString(result.path))
        result.problem = "not a path the updater accepts (control or reserved characters, or over 259 characters)";
    return result;
}

// One file of the new tree that is to get an entry, or may.
struct Candidate {
    const TreeFile* newFile;
    const TreeFile* oldFile; // none: attached
    EncodedPath entryPath;
    bool unchanged = false;
    bool bounded = false; // matched in bounded memory, its body streamed from the files
    std::optional<PatchEntry> entry;
};

// A file of the old tree that the new one lacks, to get a removal entry.
struct Removal {
    const TreeFile* oldFile;
    EncodedPath entryPath;
    std::optional<PatchEntry> entry;
};

bool StubSays(const Bytes& stub, std::string_view marker)
{
    return std::search(stub.begin(), stub.end(), marker.begin(), marker.end()) != stub.end();
}

// How the shipped stub's manifest asks for its level, which a build rewrites.
constexpr std::string_view kLevelPlaceholder = "<requestedExecutionLevel level=\"requireAdministrator\"";

void Add(std::vector<Diagnostic>& diagnostics, Severity severity, std::string file, std::string message)
{
    diagnostics.push_back({severity, std::move(file), std::move(message)});
}

// Two names a case-insensitive file system would take for one.
void CheckCaseCollisions(const std::vector<TreeFile>& files, const std::string& label, std::vector<Diagnostic>& out)
{
    std::map<std::string, const TreeFile*> seen;
    for (const TreeFile& file : files) {
        auto [it, inserted] = seen.emplace(FoldCase(file.relative), &file);
        if (!inserted)
            Add(out, Severity::Error, label + "/" + file.relative,
                "differs from " + it->second->relative + " only in letter case; Windows cannot hold both");
    }
}

// What is wrong with entry number index (from 0), read back, against the file it stands for;
// empty when nothing is. A streamed body is checked as it is unpacked (StreamedReplay), here
// only its path and kind.
std::string EntryProblem(const PatchEntry& entry, std::size_t index, bool removal, const TreeFile& file,
                         const Candidate* want, const BuildOptions& options, const CodePage& codePage)
{
    std::optional<std::string> decoded = codePage.Decode(entry.path);
    std::string wantPath = "/" + file.relative;
    std::string gotPath = decoded.value_or("");
    std::replace(gotPath.begin(), gotPath.end(), '\\', '/');
    if (gotPath != wantPath)
        return "entry " + std::to_string(index + 1) + " names " + gotPath + " instead of " + wantPath;
    if (entry.removal != removal)
        return "entry kind differs from the trees";
    if (removal)
        return entry.sourceCrc != format::FileCrc32(options.oldDir / Utf8Path(file.relative))
                   ? "source CRC differs from the old file's"
                   : "";
    if (entry.attached != (want->oldFile == nullptr))
        return "entry kind differs from the trees";
    if (entry.streamed)
        return "";
    try {
        Bytes target = ReadWholeFile(options.newDir / Utf8Path(want->newFile->relative));
        Bytes old = want->oldFile ? ReadWholeFile(options.oldDir / Utf8Path(want->oldFile->relative)) : Bytes{};
        Bytes result = format::ApplyEntry(entry, old);
        if (result != target)
            return "the rebuilt file differs from the new tree";
        if (!entry.attached && format::Crc32(target) != entry.targetCrc)
            return "target CRC differs from the new file's";
        if (!entry.attached && format::Crc32(old) != entry.sourceCrc)
            return "source CRC differs from the old file's";
    } catch (const format::FormatError& e) {
        return e.what();
    }
    return "";
}

// Checks every entry, as read back, against the trees, in parallel.
void CheckEntries(const std::vector<PatchEntry>& entries, const BuildOptions& options, const CodePage& codePage,
                  const std::vector<const Candidate*>& expected, const std::vector<Removal>& removals,
                  std::vector<Diagnostic>& out)
{
    std::mutex mutex;
    ParallelFor(entries.size(), options.jobs, [&](std::size_t i) {
        const bool removal = i >= expected.size();
        const TreeFile& file = removal ? *removals[i - expected.size()].oldFile : *expected[i]->newFile;
        std::string problem =
            EntryProblem(entries[i], i, removal, file, removal ? nullptr : expected[i], options, codePage);
        if (!problem.empty()) {
            std::lock_guard lock(mutex);
            Add(out, Severity::Error, file.relative, "self-check failed: " + problem);
        }
    });
}

// Decodes the image as the updater will, applies every entry to the old tree in memory, and
// compares the results with the new tree.
void SelfCheck(const Bytes& image, const BuildOptions& options, const CodePage& codePage, const Bytes& setupIni,
               const Bytes& languageIni, const std::vector<const Candidate*>& expected,
               const std::vector<Removal>& removals, std::vector<Diagnostic>& out)
{
    format::UpdaterFiles files;
    std::vector<PatchEntry> entries;
    try {
        files = format::ReadUpdaterImage(image);
        entries = format::ReadPatchFile(files.patchDat);
        files.patchDat = {};
    } catch (const format::FormatError& e) {
        Add(out, Severity::Error, "", std::string("the image does not read back: ") + e.what());
        return;
    }
    if (files.updateIni != setupIni)
        Add(out, Severity::Error, SETUP_FILE_NAME, "reads back different from the input");
    if (files.languageIni != languageIni)
        Add(out, Severity::Error, LANGUAGE_FILE_NAME, "reads back different from the input");
    if (entries.size() != expected.size() + removals.size()) {
        Add(out, Severity::Error, PATCH_FILE_NAME,
            std::to_string(entries.size()) + " entries read back, " +
                std::to_string(expected.size() + removals.size()) + " written");
        return;
    }
    CheckEntries(entries, options, codePage, expected, removals, out);
}

// Rebuilds a streamed body's file from the old file and the body's bytes as they are unpacked,
// with the stub's own byte arithmetic, and compares it with the new file as it goes: the
// difference bytes come first, control by control, then the extra bytes.
class StreamedReplay {
public:
    StreamedReplay(const format::StreamedDiff& body, const fs::path& old, const fs::path& target)
        : controls_(body.controls), differenceSize_(body.differenceSize), extraSize_(body.extraSize), oldFile_(old),
          targetFile_(target)
    {
        if (!controls_.empty()) {
            addLeft_ = controls_[0].addLength;
            extraAt_ = controls_[0].addLength;
            extraLeft_ = controls_[0].extraLength;
        }
    }

    void Difference(ByteView piece)
    {
        while (!piece.empty() && same_) {
            while (addLeft_ == 0 && next_ + 1 < controls_.size()) {
                const DiffControl& done = controls_[next_++];
                oldAt_ += static_cast<std::uint64_t>(static_cast<std::int64_t>(done.step));
                newAt_ += done.extraLength;
                addLeft_ = controls_[next_].addLength;
            }
            const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), addLeft_));
            if (size == 0) {
                same_ = false;
                return;
            }
            oldBytes_.resize(size);
            rebuilt_.resize(size);
            want_.resize(size);
            oldFile_.Read(oldAt_, oldBytes_);
            targetFile_.Read(newAt_, want_);
            AddDiffBytes(rebuilt_.data(), oldBytes_.data(), piece.data(), static_cast<std::uint32_t>(size));
            same_ = rebuilt_ == want_;
            oldAt_ += size;
            newAt_ += size;
            addLeft_ -= size;
            differenceSeen_ += size;
            piece = piece.subspan(size);
        }
    }

    void Extra(ByteView piece)
    {
        while (!piece.empty() && same_) {
            while (extraLeft_ == 0 && extraNext_ + 1 < controls_.size()) {
                extraNext_++;
                extraAt_ += controls_[extraNext_].addLength;
                extraLeft_ = controls_[extraNext_].extraLength;
            }
            const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), extraLeft_));
            if (size == 0) {
                same_ = false;
                return;
            }
            want_.resize(size);
            targetFile_.Read(extraAt_, want_);
            same_ = std::equal(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(size), want_.begin());
            extraAt_ += size;
            extraLeft_ -= size;
            extraSeen_ += size;
            piece = piece.subspan(size);
        }
    }

    // Whether every byte so far rebuilt the new file, and the bytes came to the body's sizes.
    bool Same() const { return same_ && differenceSeen_ == differenceSize_ && extraSeen_ == extraSize_; }

private:
    const std::vector<DiffControl>& controls_;
    std::uint64_t differenceSize_, extraSize_;
    std::uint64_t differenceSeen_ = 0, extraSeen_ = 0;
    format::FileReader oldFile_;
    format::FileReader targetFile_;
    Bytes oldBytes_, rebuilt_, want_;
    std::size_t next_ = 0; // the control whose add bytes come next
    std::uint64_t addLeft_ = 0;
    std::uint64_t oldAt_ = 0;
    std::uint64_t newAt_ = 0;
    std::size_t extraNext_ = 0; // the control whose extra bytes come next
    std::uint64_t extraLeft_ = 0;
    std::uint64_t extraAt_ = 0;
    bool same_ = true;
};

// Checks an image whose Patch.dat holds streamed bodies, never holding Patch.dat: the setup
// record read back; record 2 unpacked in pieces, its bundle header, size and CRC-32 compared
// with what was written, and each streamed body's controls checked by the stub's rules and its
// file rebuilt from the unpacked bytes; every other entry read back on its own.
void SelfCheckStreamed(const Bytes& image, const std::vector<PatchEntry>& entries, std::uint32_t patchCrc,
                       std::uint64_t patchSize, const BuildOptions& options, const CodePage& codePage,
                       const Bytes& setupIni, const Bytes& languageIni, const std::vector<const Candidate*>& expected,
                       const std::vector<Removal>& removals, std::vector<Diagnostic>& out)
{
    std::vector<format::RecordInfo> records;
    std::vector<PatchEntry> readBack;
    try {
        records = format::ListRecords(image);
        if (records.size() != 2)
            throw format::FormatError("image: " + std::to_string(records.size()) + " package records, expected 2");
        std::vector<format::BundleFile> setup = format::ReadBundle(format::DecompressRecord(records[0]));
        if (setup.size() != 2 || setup[0].name != LANGUAGE_FILE_NAME || setup[1].name != SETUP_FILE_NAME ||
            setup[0].content != languageIni || setup[1].content != setupIni)
            throw format::FormatError("record 1 does not read back as the " LANGUAGE_FILE_NAME " and " SETUP_FILE_NAME
                                      " given");
        for (const PatchEntry& entry : entries)
            readBack.push_back(entry.streamed ? entry
                                              : format::ReadPatchFile(format::WritePatchFile(std::span(&entry, 1)))[0]);
    } catch (const format::FormatError& e) {
        Add(out, Severity::Error, "", std::string("the image does not read back: ") + e.what());
        return;
    }
    CheckEntries(readBack, options, codePage, expected, removals, out);
    readBack.clear();

    // Where each streamed body's difference and extra bytes lie in the unpacked record.
    struct Stretch {
        std::uint64_t differenceAt, extraAt, end;
        std::unique_ptr<StreamedReplay> replay;
        const TreeFile* file;
    };
    std::vector<Stretch> stretches;
    const Bytes header = format::BundleFileHeader(PATCH_FILE_NAME, patchSize);
    std::uint64_t at = header.size() + 4;
    for (std::size_t i = 0; i < entries.size(); i++) {
        const PatchEntry& entry = entries[i];
        const std::uint64_t head = 9 + entry.path.size();
        if (entry.streamed && entry.attached) {
            const Candidate& c = *expected[i];
            const fs::path newPath = options.newDir / Utf8Path(c.newFile->relative);
            const std::uint64_t start = at + head + 5;
            stretches.push_back({start, start, start + entry.streamed->extraSize,
                                 std::make_unique<StreamedReplay>(*entry.streamed, newPath, newPath), c.newFile});
        } else if (entry.streamed) {
            const format::StreamedDiff& body = *entry.streamed;
            const Candidate& c = *expected[i];
            Bytes controls;
            for (const DiffControl& control : body.controls) {
                format::AppendU32(controls, control.addLength);
                format::AppendU32(controls, control.extraLength);
                format::AppendU32(controls, static_cast<std::uint32_t>(control.step));
            }
            PatchDiffBody view{static_cast<std::uint32_t>(body.controls.size()),
                               static_cast<std::uint32_t>(body.differenceSize),
                               static_cast<std::uint32_t>(body.extraSize),
                               controls.data(),
                               nullptr,
                               nullptr};
            std::uint32_t regions = 0;
            if (!CheckDiffControls(&view, static_cast<std::uint32_t>(c.oldFile->size), &regions)) {
                Add(out, Severity::Error, c.newFile->relative,
                    "self-check failed: a control adds from beyond the old file or steps outside it");
                return;
            }
            const std::uint64_t start = at + head + DIFF_HEADER_SIZE + DIFF_CONTROL_SIZE * body.controls.size();
            stretches.push_back({start, start + body.differenceSize, start + body.differenceSize + body.extraSize,
                                 std::make_unique<StreamedReplay>(body, options.oldDir / Utf8Path(c.oldFile->relative),
                                                                  options.newDir / Utf8Path(c.newFile->relative)),
                                 c.newFile});
        }
        at += head + format::EncodedBodySize(entry);
    }

    std::uint64_t offset = 0;
    Bytes headerRead;
    format::RunningCrc crc;
    std::size_t next = 0;
    try {
        format::DecompressRecord(records[1], [&](ByteView piece) {
            while (!piece.empty() && offset < header.size()) {
                headerRead.push_back(piece[0]);
                piece = piece.subspan(1);
                offset++;
            }
            crc.Update(piece);
            while (!piece.empty()) {
                while (next < stretches.size() && stretches[next].end <= offset)
                    next++;
                std::uint64_t size = piece.size();
                if (next < stretches.size()) {
                    Stretch& s = stretches[next];
                    if (offset < s.differenceAt) {
                        size = std::min<std::uint64_t>(size, s.differenceAt - offset);
                    } else if (offset < s.extraAt) {
                        size = std::min<std::uint64_t>(size, s.extraAt - offset);
                        s.replay->Difference(piece.first(static_cast<std::size_t>(size)));
                    } else {
                        size = std::min<std::uint64_t>(size, s.end - offset);
                        s.replay->Extra(piece.first(static_cast<std::size_t>(size)));
                    }
                }
                piece = piece.subspan(static_cast<std::size_t>(size));
                offset += size;
            }
        });
    } catch (const format::FormatError& e) {
        Add(out, Severity::Error, PATCH_FILE_NAME, std::string("self-check failed: ") + e.what());
        return;
    }
    if (headerRead != header || offset != header.size() + patchSize || crc.Value() != patchCrc)
        Add(out, Severity::Error, PATCH_FILE_NAME, "self-check failed: record 2 does not unpack to what was written");
    for (const Stretch& s : stretches)
        if (!s.replay->Same())
            Add(out, Severity::Error, s.file->relative,
                "self-check failed: the rebuilt file differs from the new tree");
}

} // namespace

const char* ExecutionLevelName(ExecutionLevel level)
{
    switch (level) {
    case ExecutionLevel::HighestAvailable:
        return "highestAvailable";
    case ExecutionLevel::AsInvoker:
        return "asInvoker";
    case ExecutionLevel::RequireAdministrator:
        break;
    }
    return "requireAdministrator";
}

bool SetExecutionLevel(Bytes& stub, ExecutionLevel level)
{
    auto at = std::search(stub.begin(), stub.end(), kLevelPlaceholder.begin(), kLevelPlaceholder.end());
    if (at == stub.end())
        return false;
    // The shorter names are followed by blanks inside the tag, where XML allows them, so the
    // manifest keeps its size and the resource directory stays as it is.
    std::string element = std::string("<requestedExecutionLevel level=\"") + ExecutionLevelName(level) + "\"";
    element.resize(kLevelPlaceholder.size(), ' ');
    std::copy(element.begin(), element.end(), at);
    return true;
}

std::uint64_t DefaultMemoryLimit()
{
    const std::uint64_t physical = PhysicalMemory();
    return physical != 0 ? physical / 2 : std::uint64_t{4} << 30;
}

BuildResult BuildUpdater(const BuildOptions& options, const ProgressCallback& progress)
{
    BuildResult result;
    std::vector<Diagnostic>& diagnostics = result.diagnostics;
    const CodePage codePage(options.codePage);

    Bytes stub = ReadWholeFile(options.stubFile);
    if (!SetExecutionLevel(stub, options.executionLevel.value_or(ExecutionLevel::RequireAdministrator)) &&
        options.executionLevel)
        Add(diagnostics, Severity::Error, options.stubFile.string(),
            "this stub's manifest asks for no execution level (it lacks the text \"" + std::string(kLevelPlaceholder) +
                "\"), so --execution-level cannot set one");
    if (stub.size() > PACKAGE_OFFSET)
        Add(diagnostics, Severity::Error, options.stubFile.string(),
            "stub is " + std::to_string(stub.size()) + " bytes, more than the package offset " +
                std::to_string(PACKAGE_OFFSET));
    if (!options.classic && !StubSays(stub, DIFFERENCE_BODY_MARKER))
        Add(diagnostics, Severity::Error, options.stubFile.string(),
            "this stub does not say that it applies difference bodies (it lacks the text \"" DIFFERENCE_BODY_MARKER
            "\"); build with --classic to write copy and literal ops only");
    // A stub that does not say it applies predicted bodies gets plain difference bodies.
    const bool predicts = StubSays(stub, PREDICTED_BODY_MARKER);
    const Bytes setupIni = ReadWholeFile(options.setupFile);
    const Bytes languageIni = options.languageFile ? ReadWholeFile(*options.languageFile) : Bytes{};

    const std::string setupLabel = options.setupFile.filename().string();
    SetupCheck setup = CheckSetupFile(setupIni, setupLabel);
    diagnostics.insert(diagnostics.end(), setup.diagnostics.begin(), setup.diagnostics.end());
    if (options.languageFile) {
        std::vector<Diagnostic> language = CheckLanguageFile(languageIni, options.languageFile->filename().string());
        diagnostics.insert(diagnostics.end(), language.begin(), language.end());
    }

    const std::vector<TreeFile> oldFiles = ListTree(options.oldDir);
    const std::vector<TreeFile> newFiles = ListTree(options.newDir);
    CheckCaseCollisions(oldFiles, options.oldDir.filename().string(), diagnostics);
    CheckCaseCollisions(newFiles, options.newDir.filename().string(), diagnostics);

    std::map<std::string, const TreeFile*> oldByName;
    for (const TreeFile& file : oldFiles)
        oldByName.emplace(FoldCase(file.relative), &file);
    std::map<std::string, const TreeFile*> newByName;
    for (const TreeFile& file : newFiles)
        newByName.emplace(FoldCase(file.relative), &file);

    for (const TreeFile& file : oldFiles)
        if (!newByName.contains(FoldCase(file.relative)))
            result.removedFiles.push_back(file.relative);
    if (!result.removedFiles.empty()) {
        std::string list;
        for (const std::string& name : result.removedFiles)
            list += "\n  " + name;
        const std::string count = std::to_string(result.removedFiles.size()) + " file(s) only in the old tree";
        if (options.removedFiles == RemovedFiles::Remove)
            Add(diagnostics, Severity::Note, options.oldDir.string(),
                count + "; the updater removes them (--keep-removed leaves them installed):" + list);
        else
            Add(diagnostics, options.removedFiles == RemovedFiles::Refuse ? Severity::Error : Severity::Warning,
                options.oldDir.string(), count + "; the updater does not remove them, so they stay installed:" + list);
    }

    // The main file: where the updater looks for it, and which entry must come first.
    std::string mainRelative;
    if (!setup.values.mainFile.empty()) {
        std::optional<std::string> decoded = codePage.Decode(setup.values.mainFile);
        if (!decoded) {
            Add(diagnostics, Severity::Error, setupLabel,
                "[App] MainFile is not valid text in code page " + std::to_string(codePage.number()));
        } else {
            std::string name = *decoded;
            std::replace(name.begin(), name.end(), '\\', '/');
            while (name.starts_with("/"))
                name.erase(0, 1);
            auto found = newByName.find(FoldCase(name));
            if (found == newByName.end()) {
                Add(diagnostics, Severity::Error, setupLabel,
                    "[App] MainFile " + *decoded + " is not in " + options.newDir.string());
            } else {
                mainRelative = found->second->relative;
                if (!oldByName.contains(FoldCase(name)))
                    Add(diagnostics, Severity::Warning, setupLabel,
                        "[App] MainFile " + *decoded + " is not in " + options.oldDir.string() +
                            "; the updater refuses a folder that lacks it");
            }
        }
    }

    const std::size_t maxDest = options.maxDestLength.value_or(setup.values.softwarePath.size());
    std::vector<Candidate> candidates;
    candidates.reserve(newFiles.size());
    for (const TreeFile& file : newFiles) {
        auto old = oldByName.find(FoldCase(file.relative));
        candidates.push_back({&file, old == oldByName.end() ? nullptr : old->second,
                              EncodeEntryPath(codePage, file.relative), false, false, std::nullopt});
    }

    // Path and size refusals for files that certainly become entries; same-size pairs wait for the diff.
    auto refusals = [&](const Candidate& c) {
        const std::string& name = c.newFile->relative;
        if (c.newFile->size > kMaxFileSize)
            Add(diagnostics, Severity::Error, name,
                "is " + std::to_string(c.newFile->size) + " bytes; files of 4 GiB or more cannot be carried");
        if (c.oldFile && c.oldFile->size > kMaxFileSize)
            Add(diagnostics, Severity::Error, c.oldFile->relative, "old file is 4 GiB or more");
        if (!c.entryPath.problem.empty()) {
            Add(diagnostics, Severity::Error, name, c.entryPath.problem);
            return;
        }
        if (maxDest + c.entryPath.path.size() > MAX_PATH_CHARS)
            Add(diagnostics, Severity::Error, name,
                "entry path of " + std::to_string(c.entryPath.path.size()) +
                    " characters after a destination folder of " + std::to_string(maxDest) + " exceeds 259 characters");
        else if (maxDest + kRollbackNameLength + c.entryPath.path.size() > MAX_PATH_CHARS)
            Add(diagnostics, Severity::Warning, name,
                "entry path is too long to be saved into the rollback folder; an aborted run could not restore it");
    };
    std::size_t certainEntries = 0;
    for (const Candidate& c : candidates) {
        if (!c.oldFile || c.oldFile->size != c.newFile->size) {
            refusals(c);
            certainEntries++;
        }
    }
    std::vector<Removal> removals;
    if (options.removedFiles == RemovedFiles::Remove) {
        const std::string mainName = FoldCase(LastComponent(mainRelative, '/'));
        for (const TreeFile& file : oldFiles) {
            if (newByName.contains(FoldCase(file.relative)))
                continue;
            // Left where it is, as without a removal entry: what the updater could not remove safely.
            EncodedPath entryPath = EncodeEntryPath(codePage, file.relative);
            std::string stays = entryPath.problem;
            if (stays.empty() && !mainName.empty() && FoldCase(LastComponent(file.relative, '/')) == mainName)
                stays = "has the main file's name, and the updater never removes the main file";
            else if (stays.empty() && file.size > kMaxFileSize)
                stays = "is 4 GiB or more";
            else if (stays.empty() && maxDest + kRollbackNameLength + entryPath.path.size() > MAX_PATH_CHARS)
                stays = "entry path is too long to be moved into the rollback folder";
            if (!stays.empty())
                Add(diagnostics, Severity::Warning, file.relative, stays + "; it stays installed");
            else
                removals.push_back({&file, std::move(entryPath), std::nullopt});
        }
        if (!removals.empty() && !StubSays(stub, REMOVAL_BODY_MARKER))
            Add(diagnostics, Severity::Error, options.stubFile.string(),
                "this stub does not say that it removes files (it lacks the text \"" REMOVAL_BODY_MARKER
                "\"); build with --keep-removed to leave the " +
                    std::to_string(removals.size()) + " file(s) only in the old tree installed");
    }
    certainEntries += removals.size();
    if (certainEntries > ENTRY_COUNT_MASK)
        Add(diagnostics, Severity::Error, options.newDir.string(),
            std::to_string(certainEntries) + " entries or more; the updater reads at most 65535");
    if (HasErrors(diagnostics))
        return result;

    const std::uint64_t memory = options.memoryLimit.value_or(DefaultMemoryLimit());
    const std::size_t bundleHeader = format::BundleFileHeader(PATCH_FILE_NAME, 0).size();
    // Patch.dat's least size, known before any diff: every difference body holds one byte per
    // new byte, and an op list at least its end op.
    std::uint64_t leastPatchSize = 4;
    for (Candidate& c : candidates) {
        // An attached file past the same limit is streamed too: held, it would take its size
        // twice over, once as the entry and once in Patch.dat.
        c.bounded = c.oldFile
                        ? !options.classic && (c.oldFile->size >= (std::uint64_t{1} << 31) ||
                                               format::FullEngineMemory(c.oldFile->size, c.newFile->size) > memory)
                        : format::FullEngineMemory(0, c.newFile->size) > memory;
        if (c.oldFile && c.oldFile->size == c.newFile->size)
            continue;
        leastPatchSize += 9 + c.entryPath.path.size() +
                          (!c.oldFile  ? 5 + c.newFile->size
                           : c.bounded ? DIFF_HEADER_SIZE + c.newFile->size
                                       : 1);
    }
    for (const Removal& r : removals)
        leastPatchSize += 10 + r.entryPath.path.size();
    if (bundleHeader + leastPatchSize > kMaxUnpackedRecord) {
        Add(diagnostics, Severity::Error, PATCH_FILE_NAME, PatchDataTooLarge(leastPatchSize, true));
        return result;
    }

    std::uint64_t bytesTotal = 0;
    for (const Candidate& c : candidates)
        bytesTotal += c.newFile->size + (c.oldFile ? c.oldFile->size : 0);
    std::mutex progressMutex;
    std::size_t filesDone = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesUnderWay = 0; // the shares of files being diffed
    std::vector<std::uint64_t> shares(candidates.size(), 0);
    auto report = [&](const std::string& file) {
        progress({filesDone, candidates.size(), bytesDone + bytesUnderWay, bytesTotal, file});
    };
    const format::Bodies bodies = options.classic ? format::Bodies::OpsOnly
                                  : predicts      ? format::Bodies::Predicted
                                                  : format::Bodies::Either;
    auto diff = [&](std::size_t i) {
        Candidate& c = candidates[i];
        const std::uint64_t bytes = c.newFile->size + (c.oldFile ? c.oldFile->size : 0);
        if (progress) {
            std::lock_guard lock(progressMutex);
            report(c.newFile->relative);
        }
        // A large file reports the share of its bytes matched so far, so the line keeps moving.
        format::DeltaProgress matched;
        if (progress && c.newFile->size > 0)
            matched = [&, i, bytes](std::size_t done) {
                std::lock_guard lock(progressMutex);
                std::uint64_t share = bytes * done / c.newFile->size;
                bytesUnderWay += share - shares[i];
                shares[i] = share;
                report(c.newFile->relative);
            };
        if (c.bounded && !c.oldFile) {
            const fs::path newPath = options.newDir / Utf8Path(c.newFile->relative);
            PatchEntry entry;
            entry.sourceCrc = entry.targetCrc = format::FileCrc32(newPath);
            entry.path = c.entryPath.path;
            entry.attached = true;
            entry.streamed = std::make_shared<format::StreamedDiff>(format::StreamAttached(newPath));
            c.entry = std::move(entry);
        } else if (c.bounded) {
            const fs::path oldPath = options.oldDir / Utf8Path(c.oldFile->relative);
            const fs::path newPath = options.newDir / Utf8Path(c.newFile->relative);
            if (c.oldFile->size == c.newFile->size && format::SameFileBytes(oldPath, newPath)) {
                c.unchanged = true;
            } else {
                const auto start = std::chrono::steady_clock::now();
                // Half the limit for the index; the rest is the windows, the controls and
                // what the other entries hold.
                const std::size_t block = format::BlockSizeFor(c.oldFile->size, memory / 2);
                PatchEntry entry;
                entry.sourceCrc = format::FileCrc32(oldPath);
                entry.targetCrc = format::FileCrc32(newPath);
                entry.path = c.entryPath.path;
                entry.streamed = std::make_shared<format::StreamedDiff>(
                    format::StreamDiff(oldPath, newPath, format::MatchLargeFiles(oldPath, newPath, block, matched)));
                c.entry = std::move(entry);
                const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
                char figures[160];
                std::snprintf(figures, sizeof figures,
                              "matched in bounded memory: blocks of %zu bytes, an index of %.1f MiB, %zu controls, "
                              "%.1f s",
                              block, static_cast<double>(format::BlockIndexBytes(c.oldFile->size, block)) / 1048576.0,
                              c.entry->streamed->controls.size(), spent.count());
                std::lock_guard lock(progressMutex);
                Add(diagnostics, Severity::Note, c.newFile->relative, figures);
            }
        } else if (!c.oldFile) {
            c.entry = format::MakeAttachedEntry(c.entryPath.path,
                                                ReadWholeFile(options.newDir / Utf8Path(c.newFile->relative)));
        } else {
            Bytes target = ReadWholeFile(options.newDir / Utf8Path(c.newFile->relative));
            Bytes old = ReadWholeFile(options.oldDir / Utf8Path(c.oldFile->relative));
            if (old == target)
                c.unchanged = true;
            else
                c.entry =
                    format::MakePatchEntry(c.entryPath.path, old, target, bodies, matched, options.referenceKinds);
        }
        if (progress) {
            std::lock_guard lock(progressMutex);
            filesDone++;
            bytesDone += bytes;
            bytesUnderWay -= shares[i];
            shares[i] = 0;
            report(c.newFile->relative);
        }
    };
    std::vector<std::size_t> inMemory, bounded;
    for (std::size_t i = 0; i < candidates.size(); i++)
        (candidates[i].bounded ? bounded : inMemory).push_back(i);
    ParallelFor(inMemory.size(), options.jobs, [&](std::size_t k) { diff(inMemory[k]); });
    // One at a time, each with the whole limit.
    for (std::size_t i : bounded)
        diff(i);

    ParallelFor(removals.size(), options.jobs, [&](std::size_t i) {
        Removal& r = removals[i];
        r.entry = format::MakeRemovalEntry(r.entryPath.path,
                                           format::FileCrc32(options.oldDir / Utf8Path(r.oldFile->relative)));
    });

    for (const Candidate& c : candidates)
        if (c.oldFile && c.oldFile->size == c.newFile->size && !c.unchanged)
            refusals(c);
    std::vector<Candidate*> ordered;
    for (Candidate& c : candidates) {
        if (c.unchanged)
            result.unchangedFiles++;
        else if (c.newFile->relative == mainRelative)
            ordered.insert(ordered.begin(), &c);
        else
            ordered.push_back(&c);
    }
    if (ordered.size() + removals.size() > ENTRY_COUNT_MASK)
        Add(diagnostics, Severity::Error, options.newDir.string(),
            std::to_string(ordered.size() + removals.size()) + " entries; the updater reads at most 65535");
    if (!mainRelative.empty()) {
        std::string mainName = FoldCase(LastComponent(mainRelative, '/'));
        for (const Candidate* c : ordered)
            if (c->newFile->relative != mainRelative && FoldCase(LastComponent(c->newFile->relative, '/')) == mainName)
                Add(diagnostics, Severity::Warning, c->newFile->relative,
                    "has the main file's name; the updater stops the whole run if this entry fails");
    }
    if (HasErrors(diagnostics))
        return result;

    std::vector<PatchEntry> entries;
    entries.reserve(ordered.size() + removals.size());
    for (Candidate* c : ordered) {
        entries.push_back(std::move(*c->entry));
        c->entry.reset();
        result.entries.push_back({c->newFile->relative, c->oldFile ? EntryKind::Patched : EntryKind::Attached,
                                  c->oldFile ? c->oldFile->size : 0, c->newFile->size, 0});
    }
    // Last, so that every file of the new release is in place before anything goes.
    for (const Removal& r : removals) {
        entries.push_back(*r.entry);
        result.entries.push_back({r.oldFile->relative, EntryKind::Removed, r.oldFile->size, 0, 0});
    }
    for (std::size_t i = 0; i < entries.size(); i++) {
        const PatchEntry& e = entries[i];
        result.entries[i].encodedSize = 9 + e.path.size() + format::EncodedBodySize(e);
        result.entries[i].bounded = e.streamed != nullptr;
    }
    const std::uint64_t patchSize = format::PatchFileSize(entries);
    result.patchDataSize = patchSize;
    if (bundleHeader + patchSize > kMaxUnpackedRecord) {
        Add(diagnostics, Severity::Error, PATCH_FILE_NAME, PatchDataTooLarge(patchSize, false));
        return result;
    }
    if (patchSize > kLargeBundle)
        Add(diagnostics, Severity::Warning, PATCH_FILE_NAME,
            std::to_string(patchSize) + " bytes; a 32-bit updater may fail to get memory to unpack it");
    const bool streamed =
        std::any_of(entries.begin(), entries.end(), [](const PatchEntry& e) { return e.streamed != nullptr; });
    // Patch.dat goes straight into the compressor and is never held: it is as large as the
    // new files it rebuilds, and bzip2 needs about eight bytes for each of its block's bytes.
    format::RunningCrc patchCrc;
    Bytes patchRecord = [&] {
        format::RecordWriter writer(static_cast<std::uint32_t>(bundleHeader + patchSize));
        writer.Write(format::BundleFileHeader(PATCH_FILE_NAME, patchSize));
        format::WritePatchFile(entries, [&](ByteView piece) {
            patchCrc.Update(piece);
            writer.Write(piece);
        });
        // The self-check of an image without streamed bodies reads them back from the image.
        if (!streamed)
            entries = {};
        return writer.Finish();
    }();
    const format::BundleFile setupFiles[] = {{LANGUAGE_FILE_NAME, languageIni}, {SETUP_FILE_NAME, setupIni}};
    const Bytes records[] = {format::MakeRecord(format::WriteBundle(setupFiles)), std::move(patchRecord)};
    Bytes image = format::MakePackageImage(stub, records);
    result.patchRecordSize = records[1].size();
    if (!streamed)
        SelfCheck(image, options, codePage, setupIni, languageIni, {ordered.begin(), ordered.end()}, removals,
                  diagnostics);
    else
        SelfCheckStreamed(image, entries, patchCrc.Value(), patchSize, options, codePage, setupIni, languageIni,
                          {ordered.begin(), ordered.end()}, removals, diagnostics);
    if (HasErrors(diagnostics)) {
        result.outcome = BuildOutcome::VerificationFailed;
        return result;
    }
    result.image = std::move(image);
    result.outcome = BuildOutcome::Built;
    return result;
}

} // namespace mendsmith::tool
