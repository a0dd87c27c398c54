#pragma once

#include "engine/BackupRun.h"
#include "engine/CopyRecords.h"
#include "engine/archives/ZipArchive.h"
#include "remote/RemoteSession.h"
#include "rules/ExcludePatterns.h"
#include "rules/FilterRule.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorn {

// The state of one walk over a remote tree.
struct WalkContext {
    std::string rootRemote; // absolute remote folder the project copies
    std::string rootLocal; // local destination folder, or the destination server's folder
    std::string currentRemote; // remote folder being processed
    std::string currentLocal; // folder receiving the current remote folder's files
    std::vector<FilterRule> rules;
    std::vector<std::string> pending; // folders still to visit; the last pushed comes first
};

struct WalkOptions {
    std::int32_t backupMode = 0;
    bool noCompression = true;
    // Incremental runs: what was copied before and what this walk sees and copies.
    CopyRecords* records = nullptr;
    // An incremental project's full archive takes every file, changed or not.
    bool fullArchive = false;
    // A transfer that failed for a reason that may pass is tried again this many times; the
    // logins let a lost session log in again first (none: it is not brought back).
    int retries = 0;
    const ServerLogin* sourceLogin = nullptr;
    const ServerLogin* destinationLogin = nullptr;
    // Sessions per server that transfer files at once (1 to 10). With more than one, the walk
    // lists on its own session and hands the files to sessions of their own.
    int connections = 1;
    // Paths below the root the project leaves out: no row (a dry run lists them), and an
    // excluded folder is not entered.
    std::vector<ExcludePattern> exclude {};
};

// Whether two listed times name the same moment as far as the listings tell: equal, or the
// same day when one of them gives only the date.
[[nodiscard]] bool SameListedTime(const std::string& remembered, const std::string& listed);

// Full backup (1) admits every file. Incremental backup (2) leaves out a file whose listed
// size and time equal those of its last copy, as long as that copy is still in place
// (`copyInPlace`, asked only then).
[[nodiscard]] bool BackupModeAdmits(const remote::Entry& entry, std::int32_t backupMode,
    const CopiedFile* lastCopy, const std::function<bool()>& copyInPlace);

// Copies the tree below ctx.rootRemote into ctx.rootLocal, or into `archive` when one is
// given: downloads then go through a folder below `stagingFolder` and are removed once
// added; a copy that cannot be added stays below it. Returns 1 when the root folder was
// ensured, entered and listed, else 0. Stops early, returning what it has, when the run is
// stopped.
int DownloadWalk(remote::RemoteSession& source, WalkContext& ctx, const WalkOptions& options,
    TransferTally& tally, ZipArchive* archive, const std::string& stagingFolder, const RunEnvironment& env);

// Copies the tree below ctx.rootRemote into ctx.rootLocal on the destination server.
int TransferWalk(remote::RemoteSession& source, remote::RemoteSession& destination, WalkContext& ctx,
    const WalkOptions& options, TransferTally& tally, const RunEnvironment& env);

} // namespace vorn
