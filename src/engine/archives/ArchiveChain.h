#pragma once

#include "engine/CopyRecords.h"
#include "engine/archives/ZipArchive.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

class ProjectDb;

// The archives of an incremental compressed project form chains: a full archive followed by
// the incremental ones written after it, each holding the files new or changed since the
// one before. A restore takes the newest full archive, then each later one in order.

// True when `fileName` has the form of one of this project's archive names: its name stem
// (see ArchiveNameStem), "_", twelve digits (yymmddHHMMSS) and ".zip". The form alone never
// makes a file removable: retention and cleanup go by the project's records.
[[nodiscard]] bool IsProjectArchiveName(const std::string& fileName, const std::string& projectName,
    std::optional<std::int64_t> projectId = std::nullopt);

// Whether the next archive must be a full one: when the project has no full archive yet,
// when an archive of the current chain is missing from `folder`, or when the chain already
// holds `fullEvery` archives.
[[nodiscard]] bool NextArchiveIsFull(
    ProjectDb* db, const ProjectKey& project, const std::string& folder, int fullEvery);

// Keeps the newest `keep` archives of the project in `folder` (0 keeps all) and every older
// one that a kept incremental archive needs (back to its full archive); removes the rest.
// Only archives the project's records list count, ordered by the run that wrote them.
// Returns the names removed.
std::vector<std::string> RemoveOldArchives(
    ProjectDb* db, const ProjectKey& project, const std::string& folder, int keep);

// The number the project's next archive gets in its records: archives are restored in the
// order of these numbers (the order of the runs), not of the times in their names.
[[nodiscard]] std::int64_t NextArchiveSequence(ProjectDb* db, const ProjectKey& project);

// The head lines of a manifest: the archive's kind, whether the walk covered the whole tree,
// and its sequence number among the project's archives.
struct ManifestHead {
    bool full = true;
    bool complete = true;
    std::int64_t sequence = 0;
};

// The manifest entry of an incremental project's archive: every file the server had at this
// run (below the project's folder `rootRemote`) with its size and time, and whether this
// archive holds it. Written through `scratchFolder`. Returns the entry's name, or why it could
// not be added.
Result<std::string> AddManifest(ZipArchive& archive, const std::string& scratchFolder,
    const CopyRecords& records, const std::string& rootRemote, const ManifestHead& head);

} // namespace vorn
