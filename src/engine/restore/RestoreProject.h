#pragma once

#include "common/Result.h"
#include "engine/RunOutcome.h"
#include "engine/restore/BackupArchives.h"
#include "engine/restore/RestoreRun.h"
#include "engine/restore/ServerCopy.h"

#include <cstddef>
#include <string>
#include <vector>

namespace vorn {

class ProjectDb;

// What a project's backup is, as a restore reads it.
struct RestoreSource {
    enum class Kind {
        Archives, // the zip archives of a compressed project
        LocalCopy, // the folder an Ftp->Local project copies into
        ServerCopy, // the folder an Ftp->Ftp project copies into on its destination server
    };
    Kind kind = Kind::Archives;
    BackupArchives archives; // Archives
    std::string folder; // LocalCopy: the copy; Archives: the archive folder
    vorn::ServerCopy server; // ServerCopy
    ServerLogin sourceLogin; // the project's source server (not known without a database)
    std::string sourceFolder;
    int retries = 3; // the project's retries of a transfer that may pass on a later try
};

// A point in time a restore can go back to: the run of one archive that is there.
struct RestorePoint {
    std::size_t archive = 0; // in RestoreSource::archives.archives
    std::string time; // when its run wrote it ("YYYY-MM-DD hh:mm:ss", local time)
    std::string file;
    bool full = true;
};

// The backup of the stored project `projectName`. Fails with the reason (no such project,
// no archive, a wrong password).
[[nodiscard]] Result<RestoreSource> OpenProjectBackup(ProjectDb* db, const std::string& projectName);
// The archives in `folder` alone, without a database: of the project `projectName` when it
// is not empty, else of the one project whose archives are there.
[[nodiscard]] Result<RestoreSource> OpenArchiveFolder(
    const std::string& folder, const std::string& password, const std::string& projectName);

// The points in time of an archive source, oldest first; a copy has none (only "now").
[[nodiscard]] std::vector<RestorePoint> RestorePoints(const RestoreSource& source);

// The point `at` names: "" the newest; a number N the N-th newest point; a time
// "YYYY-MM-DD[ hh:mm[:ss]]" the newest point written at or before it; or an archive's file
// name. Nothing for a copy (which has only now).
[[nodiscard]] Result<std::size_t> ChooseRestorePoint(const RestoreSource& source, const std::string& at);

// What the point holds (for a copy: what the copy holds now; `env` stops a listing).
[[nodiscard]] Result<std::vector<RestoreItem>> RestoreItemsAt(
    const RestoreSource& source, std::size_t point, const RestoreEnvironment& env = {});

// Restores the point's `items` as `request` says.
RestoreTally RestoreItems(const RestoreSource& source, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env);

// A whole restore of a stored project as the commands run it: reports the rows, the result
// line and the outcome like a run does, and keeps it in the project's history as a run of
// kind "restore" (a dry run is not kept). `at` as ChooseRestorePoint takes it. Failed when
// the project does not exist.
RunOutcome RestoreProject(ProjectDb* db, const std::string& projectName, const std::string& at,
    const RestoreRequest& request, const RestoreEnvironment& env);

// The same over an archive folder without a database (nothing is recorded).
RunOutcome RestoreArchiveFolder(const std::string& folder, const std::string& password,
    const std::string& projectName, const std::string& at, const RestoreRequest& request,
    const RestoreEnvironment& env);

} // namespace vorn
