// `build`: two release trees and the setup texts in, a checked updater image out.
#ifndef MENDSMITH_TOOL_BUILD_H
#define MENDSMITH_TOOL_BUILD_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "format/bytes.h"
#include "tool/commands/errors.h"

namespace mendsmith::tool {

// What becomes of files that only the old tree has.
enum class RemovedFiles {
    Remove, // a removal entry each, after all other entries
    Keep,   // no entry: they stay installed, with a warning
    Refuse  // no updater at all
};

// The level the updater's manifest asks Windows for. Without one, a program Windows does not take
// for an installer runs virtualized, and its writes into Program Files land in the user's
// VirtualStore instead.
enum class ExecutionLevel { RequireAdministrator, HighestAvailable, AsInvoker };

// The manifest's own spelling: "requireAdministrator", "highestAvailable", "asInvoker".
const char* ExecutionLevelName(ExecutionLevel level);

// Rewrites, in place and at the same size, the level that the stub's manifest asks for. False
// when the stub's manifest carries no requireAdministrator level to rewrite.
bool SetExecutionLevel(format::Bytes& stub, ExecutionLevel level);

struct BuildOptions {
    std::filesystem::path oldDir;
    std::filesystem::path newDir;
    std::filesystem::path setupFile;
    std::optional<std::filesystem::path> languageFile; // none: an empty Language.ini
    std::filesystem::path stubFile;
    unsigned codePage = 1252;
    std::optional<std::size_t> maxDestLength; // none: the length of SoftWarePath
    RemovedFiles removedFiles = RemovedFiles::Remove;
    unsigned jobs = 0;               // parallel diffs; 0: one per hardware thread
    bool classic = false;            // op lists only, for a stub that knows only copy and literal ops
    std::uint8_t referenceKinds = 7; // what predicted bodies predict (REFERENCE_* bits); 0: none written
    // none: requireAdministrator where the stub's manifest names a level, and no refusal where not
    std::optional<ExecutionLevel> executionLevel;
    // What diffing one file may take: a pair for which the suffix-array engine would need more,
    // or which it cannot take (an old file of 2 GiB or more), is matched in bounded memory
    // instead. none: half the physical memory.
    std::optional<std::uint64_t> memoryLimit;
};

// The memory limit that applies without --memory.
std::uint64_t DefaultMemoryLimit();

struct BuildProgress {
    std::size_t filesDone;
    std::size_t filesTotal;
    std::uint64_t bytesDone; // old and new bytes of the files done, and a share of those under way
    std::uint64_t bytesTotal;
    std::string currentFile;
};

// Called from worker threads, one call at a time.
using ProgressCallback = std::function<void(const BuildProgress&)>;

enum class EntryKind { Patched, Attached, Removed };

struct BuiltEntry {
    std::string path; // the entry path, decoded for display
    EntryKind kind;
    std::uint64_t oldSize;
    std::uint64_t newSize;
    std::size_t encodedSize; // bytes in Patch.dat
    bool bounded = false;    // matched in bounded memory
};

enum class BuildOutcome { Built, Refused, VerificationFailed };

struct BuildResult {
    BuildOutcome outcome = BuildOutcome::Refused;
    std::vector<Diagnostic> diagnostics;
    format::Bytes image; // the updater, only when built
    std::vector<BuiltEntry> entries;
    std::size_t unchangedFiles = 0;
    std::vector<std::string> removedFiles; // only in the old tree, whether or not an entry removes them
    std::size_t patchDataSize = 0;         // Patch.dat
    std::size_t patchRecordSize = 0;       // record 2, compressed, with its header
};

// Throws ToolError for unreadable inputs; refusals and failed self-checks come back as the outcome.
BuildResult BuildUpdater(const BuildOptions& options, const ProgressCallback& progress = {});

} // namespace mendsmith::tool

#endif
