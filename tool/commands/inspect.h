// `inspect` and `verify`: what an updater holds, and what it would do to an installed folder.
#ifndef MENDSMITH_TOOL_INSPECT_H
#define MENDSMITH_TOOL_INSPECT_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "format/bytes.h"
#include "format/patch_file.h"
#include "format/signature.h"
#include "tool/commands/signature_check.h"
#include "tool/commands/codepage.h"

namespace mendsmith::tool {

struct RecordSummary {
    std::size_t offset;
    std::uint32_t length;                                   // L
    std::uint32_t unpackedSize;                             // U
    std::vector<std::pair<std::string, std::size_t>> files; // name and size
};

struct SetupValue {
    std::string section;
    std::string key;
    std::string value; // decoded for display
    bool present;
};

struct EntrySummary {
    std::string path; // decoded for display
    bool attached;    // see body for a removal
    std::uint32_t sourceCrc;
    std::uint32_t targetCrc;
    std::size_t copyOps = 0;
    std::size_t literalOps = 0;
    std::uint64_t copyBytes = 0;
    std::uint64_t literalBytes = 0;
    std::uint64_t resultSize = 0;
    format::BodyKind body = format::BodyKind::Ops;
    std::size_t bodySize = 0; // as the body stands in Patch.dat
    std::size_t controls = 0; // difference body only, with its difference and extra bytes
    std::uint64_t differenceBytes = 0;
    std::uint64_t extraBytes = 0;
    std::uint8_t predicts = 0;   // predicted body only: REFERENCE_* bits
    std::size_t newSections = 0; // and the new file's sections it lists
};

struct Inspection {
    std::size_t imageSize;
    std::vector<RecordSummary> records;
    std::vector<SetupValue> setup;
    std::vector<std::string> languages;
    std::vector<EntrySummary> entries;
    std::optional<format::SignatureInfo> signature; // none: unsigned
    SignatureCheck signatureCheck;                  // only with a signature
};

// The verdict, the signer and who issued its certificate, in one line: "valid; signed by ...".
std::string DescribeSignature(const format::SignatureInfo& signature, const SignatureCheck& check);

// Throws ToolError (verification) when the image is not a well-formed updater.
Inspection Inspect(format::ByteView image, const CodePage& codePage);

std::string RenderText(const Inspection& inspection);
std::string RenderJson(const Inspection& inspection);

struct PlannedEntry {
    std::string path;
    std::uint32_t status; // the EntryStatus the updater would give; 0: not reached
    std::string meaning;
};

enum class RunEnd { Completes, MainFileMissing, StopsOnMainFile, StopsOnDataError };

struct Plan {
    RunEnd end;
    std::vector<PlannedEntry> entries;
    std::vector<std::string> removedFolders; // left empty by removals, so they go too (a completed run only)
};

// What running the updater on the folder would do, entry by entry, changing nothing on disk;
// entries see the results of the entries before them. An existing attached file is
// reported as the question the updater asks (overwritten if the user says yes).
Plan PlanRun(format::ByteView image, const std::filesystem::path& installed, const CodePage& codePage);

std::string RenderPlan(const Plan& plan);

} // namespace mendsmith::tool

#endif
