#pragma once

#include "store/BackupProject.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

class ProjectDb;

// When a project's runs send an alert: after a run that did not fully succeed (it failed,
// or files or folders failed), after every run, or never.
enum class NotifyWhen { Failure, Always, Never };

// A project's alerts, kept in vorn_project_alerts. Its own receivers replace the database's.
struct AlertOptions {
    NotifyWhen notify = NotifyWhen::Failure;
    std::string mailTo; // comma-separated; empty: the database's mail-to
    std::string hookUrl; // empty: the database's hook-url
    bool catchUp
        = false; // a scheduled run missed while the program was not running runs once at the next start
    int alertAfterDays = 0; // alert when no run succeeded for this many days; 0: never

    bool operator==(const AlertOptions&) const = default;
};

// The settings of a project beyond its plan-table row. `incremental` is the plan table's
// backup mode (ftpbackmode 2 "Incremental Backup", 1 "Full Backup"); the others live in
// vorn_options, keyed by the project's ftpid. A project without a row has the defaults.
struct ProjectOptions {
    bool incremental = false;
    int fullEvery = 7; // every N-th archive of an incremental compressed project is full
    int keepArchives = 0; // newest archives kept after a run; 0 keeps all
    bool verifyArchive = true; // read every archive back after writing it
    int retries = 3;
    int connections = 1;
    AlertOptions alerts;
    // SFTP: a private key file for the login ("" for none; the password is then its
    // passphrase), and whether links to folders are entered.
    std::string sshKey {};
    bool followLinks = false;
    // verify=checksum: each copy is compared with the server's own checksum where it offers
    // one; off (verify=size) compares sizes only.
    bool verifyChecksum = false;
    // Patterns of paths below the project's folder that are left out (see ExcludePatterns.h),
    // separated by spaces; "" leaves out nothing.
    std::string exclude {};
    // The code page of the servers' names ("GBK", "Shift_JIS", ...); "" for the default: UTF-8
    // when the server offers it, else the names' bytes as they come.
    std::string charset {};

    bool operator==(const ProjectOptions&) const = default;
};

// The backup mode values of ftpbackmode.
constexpr int kFullBackupMode = 1;
constexpr int kIncrementalBackupMode = 2;

// Reads the options of the project `name` (the first row of that name). False when there is
// no such project; `options` is then left as it was.
bool LoadProjectOptions(ProjectDb* db, const std::string& name, ProjectOptions& options);
// The same for the row `ftpid`.
bool LoadProjectOptionsById(ProjectDb* db, std::int64_t ftpid, ProjectOptions& options);

// A project as a run takes it at its start: the record, the ftpid that names its row for the
// whole run (a rename in the window keeps it) and its options.
struct LoadedProject {
    BackupProject record;
    std::int64_t ftpid = 0;
    ProjectOptions options;
};

// The first row named `name`, read once; nothing when there is no such project.
[[nodiscard]] std::optional<LoadedProject> LoadProjectForRun(ProjectDb* db, const std::string& name);

// Writes all options of the project `name` in one transaction: the backup mode into its
// plan-table row, the rest into vorn_options. False (nothing changed) when there is no such
// project or the write fails.
bool SaveProjectOptions(ProjectDb* db, const std::string& name, const ProjectOptions& options);

// One "name=value" setting applied to `options`. Returns "" when it was taken, else a
// message naming the option and the values it accepts; `options` is then unchanged.
[[nodiscard]] std::string ApplyOptionSetting(std::string_view setting, ProjectOptions& options);

// Every option as "name=value", in a fixed order, one per element.
[[nodiscard]] std::vector<std::string> FormatProjectOptions(const ProjectOptions& options);

} // namespace vorn
