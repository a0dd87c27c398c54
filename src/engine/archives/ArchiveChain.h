#pragma once

#include "engine/CopyRecords.h"
#include "engine/archives/ZipArchive.h"

#include <string>
#include <vector>

namespace vorn {

class ProjectDb;

// The archives of an incremental compressed project form chains: a full archive followed by
// the incremental ones written after it, each holding the files new or changed since the
// one before. A restore takes the newest full archive, then each later one in order.

// True when `fileName` is one of this project's archive names: the project name (with "/"
// as "_"), "_", twelve digits (yymmddHHMMSS) and ".zip". Nothing else is ever removed.
[[nodiscard]] bool IsProjectArchiveName(const std::string& fileName, const std::string& projectName);

// Whether the next archive must be a full one: when the project has no full archive yet,
// when an archive of the current chain is missing from `folder`, or when the chain already
// holds `fullEvery` archives.
[[nodiscard]] bool NextArchiveIsFull(
    ProjectDb* db, const std::string& projectName, const std::string& folder, int fullEvery);

// Keeps the newest `keep` archives of the project in `folder` (0 keeps all) and every older
// one that a kept incremental archive needs (back to its full archive); removes the rest.
// Returns the names removed.
std::vector<std::string> RemoveOldArchives(
    ProjectDb* db, const std::string& projectName, const std::string& folder, int keep);

// The manifest entry of an incremental project's archive: every file the server had at this
// run (below the project's folder `rootRemote`) with its size and time, and whether this
// archive holds it. Written through `scratchFolder`. Returns the entry's name, or "" with
// `problem` set when it could not be added.
std::string AddManifest(ZipArchive& archive, const std::string& scratchFolder, const CopyRecords& records,
    const std::string& rootRemote, bool full, bool complete, std::string& problem);

} // namespace vorn
