// Reading an updater back for people and machines, and predicting a run on an installed folder.
#include "tool/commands/inspect.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "core/constants.h"
#include "core/entry_outcome.h"
#include "format/bundle.h"
#include "format/crc.h"
#include "format/patch_file.h"
#include "format/record.h"
#include "format/updater_image.h"
#include "tool/commands/errors.h"
#include "tool/commands/files.h"
#include "tool/commands/ini.h"
#include "tool/commands/setup_check.h"

namespace mendsmith::tool {

namespace fs = std::filesystem;
using format::Bytes;
using format::ByteView;

namespace {

// The kinds of reference a predicted body's flags name, in flag order.
std::vector<std::string> PredictedKindList(std::uint8_t flags)
{
    std::vector<std::string> kinds;
    if (flags & REFERENCE_REL32)
        kinds.push_back("rel32");
    if (flags & REFERENCE_ABSOLUTE)
        kinds.push_back("absolute");
    if (flags & REFERENCE_RIP)
        kinds.push_back("rip");
    return kinds;
}

std::string PredictedKinds(std::uint8_t flags, const std::string& separator)
{
    std::string text;
    for (const std::string& kind : PredictedKindList(flags))
        text += (text.empty() ? "" : separator) + kind;
    return text.empty() ? "nothing" : text;
}

std::string Hex32(std::uint32_t value)
{
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

format::UpdaterFiles ReadImage(ByteView image)
{
    try {
        return format::ReadUpdaterImage(image);
    } catch (const format::FormatError& e) {
        throw ToolError(ErrorKind::Verification, std::string("not a well-formed updater: ") + e.what());
    }
}

std::vector<format::PatchEntry> ReadEntries(const Bytes& patchDat)
{
    try {
        return format::ReadPatchFile(patchDat);
    } catch (const format::FormatError& e) {
        throw ToolError(ErrorKind::Verification, e.what());
    }
}

// What the run would write in its log for an entry; 0 for one that it would not reach.
std::string StatusMeaning(std::uint32_t status)
{
    if (status == 0)
        return "not reached: the run stopped before it";
    std::string text = EnglishLogText(FindEntryOutcome(status)->logTextId);
    if (status == ENTRY_ATTACHED_OVERWRITTEN)
        text += " (if the user answers Yes to the question; No skips it)";
    return text;
}

std::string LastComponent(std::string_view path)
{
    std::size_t slash = path.find_last_of("\\/");
    return FoldCase(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string SignatureLine(const Inspection& inspection)
{
    if (!inspection.signature)
        return "unsigned";
    const format::SignatureInfo& signature = *inspection.signature;
    return "Authenticode, " + DescribeSignature(signature, inspection.signatureCheck) + "; certificate table at " +
           std::to_string(signature.table.offset) + ", " + std::to_string(signature.table.size) + " bytes";
}

const char* VerdictName(SignatureVerdict verdict)
{
    switch (verdict) {
    case SignatureVerdict::Valid:
        return "valid";
    case SignatureVerdict::Invalid:
        return "invalid";
    case SignatureVerdict::NotChecked:
        break;
    }
    return "not checked";
}

} // namespace

std::string DescribeSignature(const format::SignatureInfo& signature, const SignatureCheck& check)
{
    std::string out = VerdictName(check.verdict);
    if (check.verdict != SignatureVerdict::Valid)
        out += " (" + check.problem + ")";
    // Only a signature that holds is said to be by someone; otherwise the name is what it claims.
    if (signature.signer.empty())
        out += "; signer unreadable (" + signature.problem + ")";
    else
        out += (check.verdict == SignatureVerdict::Valid ? "; signed by " : "; signer named ") + signature.signer;
    if (check.selfSigned)
        out += ", certificate self-signed";
    else if (!check.issuer.empty())
        out += ", certificate issued by " + check.issuer;
    return out;
}

Inspection Inspect(ByteView image, const CodePage& codePage)
{
    Inspection inspection;
    inspection.imageSize = image.size();
    format::UpdaterFiles files = ReadImage(image);
    for (const format::RecordInfo& record : format::ListRecords(image)) {
        RecordSummary summary{record.offset, record.length, record.unpackedSize, {}};
        for (const format::BundleFile& file : format::ReadBundle(format::DecompressRecord(record)))
            summary.files.emplace_back(file.name, file.content.size());
        inspection.records.push_back(std::move(summary));
    }
    IniFile setup = IniFile::Parse(files.updateIni);
    for (const SetupKey& key : SetupKeysRead()) {
        std::optional<std::string> value = setup.Get(key.section, key.key);
        inspection.setup.push_back(
            {key.section, key.key, codePage.DecodeForDisplay(value.value_or(key.defaultValue)), value.has_value()});
    }
    inspection.languages = LanguageSections(files.languageIni);
    inspection.signature = format::ReadSignature(image);
    if (inspection.signature)
        inspection.signatureCheck = CheckSignature(image, inspection.signature->table);
    for (const format::PatchEntry& entry : ReadEntries(files.patchDat)) {
        EntrySummary summary{codePage.DecodeForDisplay(entry.path), entry.attached, entry.sourceCrc, entry.targetCrc};
        summary.body = entry.Kind();
        summary.bodySize = format::EncodedBodySize(entry);
        if (entry.attached)
            summary.resultSize = entry.data.size();
        if (entry.difference) {
            summary.controls = entry.difference->controls.size();
            summary.differenceBytes = entry.difference->difference.size();
            summary.extraBytes = entry.difference->extra.size();
            summary.resultSize = summary.differenceBytes + summary.extraBytes;
        }
        if (entry.prediction) {
            summary.predicts = entry.prediction->flags;
            summary.newSections = entry.prediction->sections.size();
        }
        for (const format::Op& op : entry.ops) {
            if (op.kind == format::OpKind::Copy) {
                summary.copyOps++;
                summary.copyBytes += op.length;
            } else {
                summary.literalOps++;
                summary.literalBytes += op.length;
            }
            summary.resultSize += op.length;
        }
        inspection.entries.push_back(std::move(summary));
    }
    return inspection;
}

std::string RenderText(const Inspection& inspection)
{
    std::string out = "image: " + std::to_string(inspection.imageSize) + " bytes, package at offset " +
                      std::to_string(PACKAGE_OFFSET) + "\n";
    out += "signature: " + SignatureLine(inspection) + "\n";
    for (std::size_t i = 0; i < inspection.records.size(); i++) {
        const RecordSummary& r = inspection.records[i];
        out += "record " + std::to_string(i + 1) + " at " + std::to_string(r.offset) + ": " +
               std::to_string(4 + static_cast<std::uint64_t>(r.length)) + " bytes, unpacks to " +
               std::to_string(r.unpackedSize) + "\n";
        for (const auto& [name, size] : r.files)
            out += "  " + name + "  " + std::to_string(size) + " bytes\n";
    }
    out += "setup values:\n";
    for (const SetupValue& v : inspection.setup)
        out += "  [" + v.section + "] " + v.key + " = " + v.value + (v.present ? "" : "  (default)") + "\n";
    out += "languages:";
    for (const std::string& language : inspection.languages)
        out += " " + language;
    out += inspection.languages.empty() ? " none\n" : "\n";
    out += "entries: " + std::to_string(inspection.entries.size()) + "\n";
    for (const EntrySummary& e : inspection.entries) {
        if (e.body == format::BodyKind::Removal) {
            out += "  " + e.path + "  removal  source " + Hex32(e.sourceCrc) + "  the file goes\n";
            continue;
        }
        out += "  " + e.path + "  " + (e.attached ? "attached" : "patch") + "  source " + Hex32(e.sourceCrc) +
               "  target " + Hex32(e.targetCrc);
        if (e.body == format::BodyKind::Ops)
            out += "  op list " + std::to_string(e.bodySize) + " bytes: copy ops " + std::to_string(e.copyOps) +
                   ", literal ops " + std::to_string(e.literalOps) + ", literal bytes " +
                   std::to_string(e.literalBytes);
        else if (e.body == format::BodyKind::Difference || e.body == format::BodyKind::Predicted)
            out += std::string(e.body == format::BodyKind::Predicted
                                   ? "  predicted difference body (predicts " + PredictedKinds(e.predicts, ", ") +
                                         "; " + std::to_string(e.newSections) + " new sections) "
                                   : "  difference body ") +
                   std::to_string(e.bodySize) + " bytes: controls " + std::to_string(e.controls) +
                   ", difference bytes " + std::to_string(e.differenceBytes) + ", extra bytes " +
                   std::to_string(e.extraBytes);
        out += "  result " + std::to_string(e.resultSize) + " bytes\n";
    }
    return out;
}

std::string RenderJson(const Inspection& inspection)
{
    using nlohmann::json;
    json records = json::array();
    for (const RecordSummary& r : inspection.records) {
        json files = json::array();
        for (const auto& [name, size] : r.files)
            files.push_back({{"name", name}, {"size", size}});
        records.push_back({{"offset", r.offset},
                           {"size", 4 + static_cast<std::uint64_t>(r.length)},
                           {"unpacked_size", r.unpackedSize},
                           {"files", files}});
    }
    json setup = json::array();
    for (const SetupValue& v : inspection.setup)
        setup.push_back({{"section", v.section}, {"key", v.key}, {"value", v.value}, {"present", v.present}});
    json entries = json::array();
    for (const EntrySummary& e : inspection.entries) {
        if (e.body == format::BodyKind::Removal) {
            entries.push_back({{"path", e.path},
                               {"kind", "removal"},
                               {"source_crc", Hex32(e.sourceCrc)},
                               {"body", "removal"},
                               {"body_size", e.bodySize}});
            continue;
        }
        json entry = {{"path", e.path},
                      {"kind", e.attached ? "attached" : "patch"},
                      {"source_crc", Hex32(e.sourceCrc)},
                      {"target_crc", Hex32(e.targetCrc)},
                      {"result_size", e.resultSize}};
        entry["body_size"] = e.bodySize;
        if (e.body == format::BodyKind::Ops) {
            entry["body"] = "ops";
            entry["copy_ops"] = e.copyOps;
            entry["literal_ops"] = e.literalOps;
            entry["copy_bytes"] = e.copyBytes;
            entry["literal_bytes"] = e.literalBytes;
        } else if (e.body == format::BodyKind::Difference || e.body == format::BodyKind::Predicted) {
            entry["body"] = e.body == format::BodyKind::Predicted ? "predicted" : "difference";
            if (e.body == format::BodyKind::Predicted) {
                entry["predicts"] = json::array();
                for (const std::string& kind : PredictedKindList(e.predicts))
                    entry["predicts"].push_back(kind);
                entry["new_sections"] = e.newSections;
            }
            entry["controls"] = e.controls;
            entry["difference_bytes"] = e.differenceBytes;
            entry["extra_bytes"] = e.extraBytes;
        } else {
            entry["body"] = "attached";
        }
        entries.push_back(entry);
    }
    json signature = {{"verdict", "unsigned"}};
    if (inspection.signature) {
        const format::SignatureInfo& s = *inspection.signature;
        const SignatureCheck& check = inspection.signatureCheck;
        signature = {{"kind", "authenticode"},
                     {"verdict", VerdictName(check.verdict)},
                     {"signer", s.signer.empty() ? json(nullptr) : json(s.signer)},
                     {"issuer", check.issuer.empty() ? json(nullptr) : json(check.issuer)},
                     {"self_signed", check.selfSigned},
                     {"certificate_table", {{"offset", s.table.offset}, {"size", s.table.size}}}};
        if (check.verdict != SignatureVerdict::Valid)
            signature["problem"] = check.problem;
        if (!s.problem.empty())
            signature["signer_problem"] = s.problem;
    }
    json document = {{"tool_version", MENDSMITH_VERSION},
                     {"image_size", inspection.imageSize},
                     {"signature", signature},
                     {"package_offset", PACKAGE_OFFSET},
                     {"records", records},
                     {"setup", setup},
                     {"languages", inspection.languages},
                     {"entries", entries}};
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

Plan PlanRun(ByteView image, const fs::path& installed, const CodePage& codePage)
{
    format::UpdaterFiles files = ReadImage(image);
    std::vector<format::PatchEntry> entries = ReadEntries(files.patchDat);
    std::string mainFile = IniFile::Parse(files.updateIni).Get("App", "MainFile").value_or("");
    mainFile = mainFile.substr(0, MAX_PATH_CHARS);

    // Files as earlier entries left them; nothing on disk changes.
    std::map<std::string, std::optional<Bytes>> changed;
    auto hostPath = [&](const std::string& ansi) -> std::optional<fs::path> {
        std::optional<std::string> decoded = codePage.Decode(ansi);
        if (!decoded)
            return std::nullopt;
        std::string relative = *decoded;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        while (relative.starts_with("/"))
            relative.erase(0, 1);
        return ResolveIgnoringCase(installed, relative);
    };
    auto current = [&](const fs::path& path) -> std::optional<Bytes> {
        auto it = changed.find(path.string());
        if (it != changed.end())
            return it->second;
        std::error_code ec;
        if (!fs::exists(path, ec))
            return std::nullopt;
        return ReadWholeFile(path);
    };

    Plan plan{RunEnd::Completes, {}, {}};
    std::optional<fs::path> mainPath = hostPath(mainFile);
    std::error_code ec;
    if (mainFile.empty() || !mainPath || !fs::is_regular_file(*mainPath, ec)) {
        plan.end = RunEnd::MainFileMissing;
        for (const format::PatchEntry& entry : entries)
            plan.entries.push_back({codePage.DecodeForDisplay(entry.path), 0, StatusMeaning(0)});
        return plan;
    }
    const std::string mainName = LastComponent(mainFile);
    // Folders that removals leave empty go at once, as in the updater, deepest first. Whatever a
    // folder holds must be gone: files removed by earlier entries, folders removed before it.
    std::set<std::string> goneFolders;
    auto removeEmptyFolders = [&](const fs::path& file, const std::string& entryPath) {
        // The folders between the file and the installed folder, one per backslash after the first.
        auto folders = std::count(entryPath.begin(), entryPath.end(), '\\') - 1;
        for (fs::path folder = file.parent_path(); folders-- > 0; folder = folder.parent_path()) {
            for (const auto& [name, bytes] : changed)
                if (bytes && fs::path(name).parent_path() == folder)
                    return;
            for (const fs::directory_entry& child : fs::directory_iterator(folder, ec)) {
                bool gone = child.is_directory(ec) ? goneFolders.contains(child.path().string())
                                                   : !current(child.path());
                if (!gone)
                    return;
            }
            goneFolders.insert(folder.string());
            std::string shown = "\\" + fs::relative(folder, installed, ec).generic_string() + "\\";
            std::replace(shown.begin(), shown.end(), '/', '\\');
            plan.removedFolders.push_back(std::move(shown));
        }
    };
    for (const format::PatchEntry& entry : entries) {
        PlannedEntry planned{codePage.DecodeForDisplay(entry.path), 0, ""};
        if (plan.end != RunEnd::Completes) {
            planned.meaning = StatusMeaning(0);
            plan.entries.push_back(std::move(planned));
            continue;
        }
        std::optional<fs::path> path = hostPath(entry.path);
        // A folder at the path is never read: the updater opens no folder as a file.
        const bool folder = path && fs::is_directory(*path, ec);
        std::optional<Bytes> onDisk = path && !folder ? current(*path) : std::nullopt;
        std::string why;
        if (!path) {
            planned.status = ENTRY_ACCESS_DENIED;
        } else if (entry.removal && LastComponent(entry.path) == mainName) {
            planned.status = ENTRY_DATA_ERROR;
            why = "the updater never removes the main file";
        } else if (folder) {
            planned.status = ENTRY_ACCESS_DENIED;
            why = "a folder stands there; it stays";
        } else if (entry.attached) {
            planned.status = onDisk ? ENTRY_ATTACHED_OVERWRITTEN : ENTRY_ADDED;
            changed[path->string()] = entry.data;
        } else if (entry.removal) {
            if (!onDisk) {
                planned.status = ENTRY_REMOVED;
                why = "not there already";
            } else if (format::Crc32(*onDisk) != entry.sourceCrc) {
                planned.status = ENTRY_ORIGINAL_CRC_ERROR;
                why = "not the old release's file, changed since or another release's; it stays";
            } else {
                planned.status = ENTRY_REMOVED;
                changed[path->string()] = std::nullopt;
                removeEmptyFolders(*path, entry.path);
            }
        } else if (!onDisk) {
            planned.status = ENTRY_ORIGINAL_MISSING;
        } else {
            std::uint32_t crc = format::Crc32(*onDisk);
            if (crc != entry.sourceCrc) {
                planned.status = crc == entry.targetCrc ? ENTRY_ALREADY_UPDATED : ENTRY_ORIGINAL_CRC_ERROR;
            } else {
                try {
                    Bytes result = format::ApplyBody(entry, *onDisk);
                    if (format::Crc32(result) != entry.targetCrc) {
                        planned.status = ENTRY_RESULT_CRC_ERROR;
                    } else {
                        planned.status = ENTRY_UPDATED;
                        changed[path->string()] = std::move(result);
                    }
                } catch (const format::FormatError&) {
                    planned.status = ENTRY_DATA_ERROR;
                }
            }
        }
        planned.meaning = StatusMeaning(planned.status) + (why.empty() ? "" : " (" + why + ")");
        const EntryOutcome* outcome = FindEntryOutcome(planned.status);
        if (outcome->stops == OUTCOME_STOPS_RUN)
            plan.end = RunEnd::StopsOnDataError;
        else if (outcome->stops == OUTCOME_STOPS_FOR_MAIN_FILE && LastComponent(entry.path) == mainName)
            plan.end = RunEnd::StopsOnMainFile;
        plan.entries.push_back(std::move(planned));
    }
    // A stop brings every removed file back, and its folder with it.
    if (plan.end != RunEnd::Completes)
        plan.removedFolders.clear();
    return plan;
}

std::string RenderPlan(const Plan& plan)
{
    std::string out;
    for (const PlannedEntry& e : plan.entries) {
        char status[16];
        std::snprintf(status, sizeof status, "0x%04X", static_cast<unsigned>(e.status));
        out += e.path + "  " + (e.status == 0 ? std::string("-") : std::string(status)) + "  " + e.meaning + "\n";
    }
    for (const std::string& folder : plan.removedFolders)
        out += folder + "  -  folder removed: it held only removed files\n";
    switch (plan.end) {
    case RunEnd::Completes:
        out += "the run would complete\n";
        break;
    case RunEnd::MainFileMissing:
        out += "the updater would refuse this folder: the main file is not in it\n";
        break;
    case RunEnd::StopsOnMainFile:
        out += "the run would stop at the main file and restore every file it had replaced\n";
        break;
    case RunEnd::StopsOnDataError:
        out += "the run would stop on a data error and restore every file it had replaced\n";
        break;
    }
    return out;
}

} // namespace mendsmith::tool
