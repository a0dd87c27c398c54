#pragma once

#include "engine/ConnectionOps.h"
#include "engine/RunOutcome.h"
#include "rules/FilterRule.h"
#include "store/BackupProject.h"
#include "store/ProjectOptions.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

class ProjectDb;
class RunControl;
class RunObserver;
struct TransferFigures;

// Counts of one run, and what its history keeps besides.
struct TransferTally {
    std::uint64_t filesDone = 0;
    std::uint64_t filesFailed = 0;
    std::uint64_t foldersDone = 0;
    std::uint64_t foldersFailed = 0;
    std::uint64_t filesUnchanged = 0; // incremental runs: left out, unchanged since copied
    std::uint64_t filesPassed = 0; // listed files that passed the filter rules (or had none to pass)
    std::uint64_t filesIgnored = 0; // listed files that no filter rule let through
    std::uint64_t excluded = 0; // files and folders the project's exclude patterns left out
    std::uint64_t retries = 0; // transfers tried again after a failure that may pass
    std::uint64_t reconnects = 0; // sessions logged in again after they were lost
    std::string failReason {}; // why the run failed as a whole (result 0); empty otherwise
    std::string archivePath {}; // the archive the run made and kept; empty when none
};

// The settings of one run, built from the stored project.
struct BackupJob {
    ServerLogin source;
    ServerLogin destination; // Ftp->Ftp only
    std::string sourceFolder; // ftpsource
    std::string destinationFolder; // ftpdest (Ftp->Local) or ftpdestpath (Ftp->Ftp)
    std::vector<FilterRule> rules;
    FtpType mode = FtpType::Unknown;
    std::int32_t backupMode = 0;
    std::string name;
    std::optional<std::int64_t> projectId; // the ftpid, when the project is stored
    bool noCompression = true;
    std::string zipPassword;
    ProjectOptions options; // besides the backup mode above, which `incremental` mirrors
};

// Everything a run reaches besides the job: where it reports, how it is controlled, the
// shared figures and the client settings.
struct RunEnvironment {
    ProjectDb* db = nullptr;
    RunObserver* observer = nullptr;
    RunControl* control = nullptr;
    TransferFigures* figures = nullptr;
    bool passive = true; // data connections: passive (true) or active
    bool dryRun = false; // walk and compare only: copy, write and store nothing
    // How long to wait for a connection, a reply or data; 0 keeps the sessions' own time-outs.
    std::chrono::milliseconds timeout { 0 };
    // How often the sessions are kept from idling out while the walk is busy elsewhere.
    std::chrono::milliseconds keepAlivePeriod { 100'000 };
    // verify=checksum: transfers compare each copy with the servers' own checksums.
    bool verifyChecksums = false;
};

// Runs the stored project `projectName` to its end on the calling thread: marks it
// "Running", runs the job, stores the status and the run time, reports the result line.
// Sets runState to Running at its start and to Idle at its end.
RunOutcome RunProject(const std::string& projectName, const RunEnvironment& env);

// Runs one job: connects, creates the archive when asked, walks, cleans up. Returns 1 when
// the walk processed the root folder, else 0 with tally.failReason saying why.
int RunBackupJob(const BackupJob& job, TransferTally& tally, const RunEnvironment& env);

// The project's SFTP settings (key file, following links) on `login`, for the sessions a run,
// a pane or the editor's browser makes with it.
void ApplySessionOptions(const ProjectOptions& options, ServerLogin& login);

// Builds a job from a stored project.
[[nodiscard]] BackupJob MakeBackupJob(const BackupProject& project);

// A login folder joined with a project folder: the project folder always lies below it.
[[nodiscard]] std::string JoinLoginFolder(const std::string& loginFolder, const std::string& folder);

// The part of a project's archive names before the time: the name with "/" as "_", followed
// by "~" and the project's id when that is not the name itself or when it ends in "~" and
// digits, so that no two projects share archive names ("x/y" with id 7 gives "x_y~7").
[[nodiscard]] std::string ArchiveNameStem(
    const std::string& name, std::optional<std::int64_t> projectId = std::nullopt);

// Path of the zip archive of a run: destination folder, "/", the name stem, "_",
// "%y%m%d%H%M%S" (local time), ".zip".
[[nodiscard]] std::string ArchivePath(const std::string& destinationFolder, const std::string& name,
    std::time_t now, std::optional<std::int64_t> projectId = std::nullopt);

// The result line of a run that reached its root folder. An incremental run's line also
// counts the unchanged files.
[[nodiscard]] std::string ResultText(const TransferTally& tally, bool incremental = false);

// The result line of a dry run.
[[nodiscard]] std::string DryRunResultText(const TransferTally& tally);

} // namespace vorn
