// `build`: compares the trees, refuses what the updater would refuse or mishandle, diffs the
// changed files in parallel, and checks the finished image against the trees before handing it out.
#include "tool/commands/build.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <string_view>

#include "core/constants.h"
#include "core/patch_data.h"
#include "format/crc.h"
#include "format/delta.h"
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
using format::PatchEntry;

namespace {

constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull; // sizes are u32 fields
// GetTempFileNameA's "\BAKxxxx.tmp" that the rollback directory adds before an entry path.
constexpr std::size_t kRollbackNameLength = 13;
// Past this a 32-bit updater is unlikely to get one block of memory for the patch bundle.
constexpr std::size_t kLargeBundle = std::size_t{1} << 30;

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
    std::mutex mutex;
    ParallelFor(entries.size(), options.jobs, [&](std::size_t i) {
        const PatchEntry& entry = entries[i];
        const bool removal = i >= expected.size();
        const TreeFile& file = removal ? *removals[i - expected.size()].oldFile : *expected[i]->newFile;
        std::string problem;
        std::optional<std::string> decoded = codePage.Decode(entry.path);
        std::string wantPath = "/" + file.relative;
        std::string gotPath = decoded.value_or("");
        std::replace(gotPath.begin(), gotPath.end(), '\\', '/');
        if (gotPath != wantPath) {
            problem = "entry " + std::to_string(i + 1) + " names " + gotPath + " instead of " + wantPath;
        } else if (entry.removal != removal) {
            problem = "entry kind differs from the trees";
        } else if (removal) {
            if (entry.sourceCrc != format::Crc32(ReadWholeFile(options.oldDir / Utf8Path(file.relative))))
                problem = "source CRC differs from the old file's";
        } else if (const Candidate& want = *expected[i]; entry.attached != (want.oldFile == nullptr)) {
            problem = "entry kind differs from the trees";
        } else {
            try {
                Bytes target = ReadWholeFile(options.newDir / Utf8Path(want.newFile->relative));
                Bytes old = want.oldFile ? ReadWholeFile(options.oldDir / Utf8Path(want.oldFile->relative)) : Bytes{};
                Bytes result = format::ApplyEntry(entry, old);
                if (result != target)
                    problem = "the rebuilt file differs from the new tree";
                else if (!entry.attached && format::Crc32(target) != entry.targetCrc)
                    problem = "target CRC differs from the new file's";
                else if (!entry.attached && format::Crc32(old) != entry.sourceCrc)
                    problem = "source CRC differs from the old file's";
            } catch (const format::FormatError& e) {
                problem = e.what();
            }
        }
        if (!problem.empty()) {
            std::lock_guard lock(mutex);
            Add(out, Severity::Error, file.relative, "self-check failed: " + problem);
        }
    });
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
                              EncodeEntryPath(codePage, file.relative), false, std::nullopt});
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
    ParallelFor(candidates.size(), options.jobs, [&](std::size_t i) {
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
        Bytes target = ReadWholeFile(options.newDir / Utf8Path(c.newFile->relative));
        if (!c.oldFile) {
            c.entry = format::MakeAttachedEntry(c.entryPath.path, target);
        } else {
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
    });

    ParallelFor(removals.size(), options.jobs, [&](std::size_t i) {
        Removal& r = removals[i];
        r.entry =
            format::MakeRemovalEntry(r.entryPath.path, ReadWholeFile(options.oldDir / Utf8Path(r.oldFile->relative)));
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
    Bytes patchDat = format::WritePatchFile(entries);
    for (std::size_t i = 0; i < entries.size(); i++) {
        const PatchEntry& e = entries[i];
        result.entries[i].encodedSize = 9 + e.path.size() + format::EncodedBodySize(e);
    }
    entries.clear();
    result.patchDataSize = patchDat.size();
    if (patchDat.size() > kLargeBundle)
        Add(diagnostics, Severity::Warning, PATCH_FILE_NAME,
            std::to_string(patchDat.size()) + " bytes; a 32-bit updater may fail to get memory to unpack it");
    Bytes image = format::MakeUpdaterImage(stub, {languageIni, setupIni, std::move(patchDat)});
    result.patchRecordSize = 4 + format::ListRecords(image).at(1).length;

    SelfCheck(image, options, codePage, setupIni, languageIni, {ordered.begin(), ordered.end()}, removals, diagnostics);
    if (HasErrors(diagnostics)) {
        result.outcome = BuildOutcome::VerificationFailed;
        return result;
    }
    result.image = std::move(image);
    result.outcome = BuildOutcome::Built;
    return result;
}

} // namespace mendsmith::tool
