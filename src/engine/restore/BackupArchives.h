#pragma once

#include "common/Result.h"
#include "engine/restore/ZipIndex.h"
#include "store/CopiedFiles.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// One line of an archive's manifest: a file the server had at that run.
struct ManifestRow {
    std::string path; // relative to the project's folder, "/"-separated
    std::uint64_t size = 0;
    std::string time; // "YYYY-MM-DD hh:mm:ss", "YYYY-MM-DD hh:mm" or "YYYY-MM-DD", UTC
    char state = '+'; // '+' in this archive, '=' in an earlier one, '!' its copy failed
    std::string digest {}; // "SHA-256:hex": the server's checksum the copy matched; "" for none
};

// One archive of a project as a restore sees it.
struct BackupArchive {
    std::string file; // name in the folder
    bool present = true; // false: on record, but gone from the folder
    bool full = true;
    bool hasManifest = false;
    std::string written; // the manifest's local time, or the file's time without one
    bool complete = true; // the run's walk covered the whole tree
    std::int64_t sequence = 0; // the manifest's number of its run among the project's; 0 unknown
    std::vector<ManifestRow> rows;
    std::vector<ZipIndexEntry> index;
};

// A file as a point in time holds it, and where a restore takes it from.
struct RestoreItem {
    std::string path; // relative, "/"-separated
    std::uint64_t size = 0;
    std::string time; // as recorded; "" when unknown
    std::size_t archive = 0; // in BackupArchives::archives (archive sources only)
    std::size_t entry = 0; // in that archive's index
    std::string problem; // why it cannot be restored; empty when it can
    std::string digest {}; // the server's checksum its copy matched ("SHA-256:hex"), if recorded
};

// The archives of one project in one folder, oldest first.
struct BackupArchives {
    std::string folder;
    std::string password;
    std::vector<BackupArchive> archives;
};

// Whose archives a restore looks for in a folder without records: the project's name (""
// for whichever single project's archives are there) and, when known, its id.
struct ArchiveOwner {
    std::string name;
    std::optional<std::int64_t> id;
};

// Finds the archives of a project in `folder` and reads their directories and manifests.
// With `records` (the project's archive records, from the database) those are the
// archives; a recorded archive missing from the folder is kept with `present` false.
// Without records, the archives are the zip files of the folder whose name stem (what
// stands before "_" and the run's time) is exactly the owner's (see ArchiveNameStem), so
// that "site" never takes the archives of "site_2"; without an id, a stem that carries one
// ("x_y~7") is taken when it is the only one of that name. They are put in the order of
// their manifests' sequence numbers (the order of the runs), else of their times. Fails
// with a clear message when none is found, when the password does not open them, or when
// the folder holds the archives of several projects and no owner is named.
[[nodiscard]] Result<BackupArchives> OpenBackupArchives(const std::string& folder,
    const std::string& password, const std::vector<ArchiveRecord>& records, const ArchiveOwner& owner);

// The files the tree held after the run of archive `point`: from its manifest, each taken
// from the newest archive of the chain that holds its copy; without a manifest, the
// archive's own entries. Fails when the chain's full archive is missing (naming it).
[[nodiscard]] Result<std::vector<RestoreItem>> ItemsAt(const BackupArchives& set, std::size_t point);

// The parsed manifest text, its head lines (kind, written, complete, sequence) into
// `archive`; an error when it is none.
[[nodiscard]] Result<std::vector<ManifestRow>> ParseManifestRows(
    const std::string& text, BackupArchive& archive);

// The name stem of an archive file ("site" of "site_260101120000.zip"); "" for a name of
// another form.
[[nodiscard]] std::string ArchiveStem(const std::string& file);

// Seconds since the epoch (UTC) of a manifest time; -1 when it holds no date.
[[nodiscard]] std::int64_t ManifestSeconds(const std::string& time);

} // namespace vorn
