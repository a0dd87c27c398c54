#pragma once

#include "common/Result.h"
#include "store/BackupProject.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace vorn {

// The one database connection shared by every thread of the program. SQLite runs in
// serialized mode, so the connection may be used from several threads at once.
class ProjectDb {
public:
    struct OpenResult;

    // Opens (creating if missing) the database file at `path`, readable by its owner only,
    // and runs the plan table's creation statement. A path that is a directory, cannot be
    // read or written, or is not an SQLite database gives a null db and a message naming the
    // path and the reason; the file is then left untouched.
    [[nodiscard]] static OpenResult Open(const std::string& path);

    ~ProjectDb();
    ProjectDb(const ProjectDb&) = delete;
    ProjectDb& operator=(const ProjectDb&) = delete;

    [[nodiscard]] sqlite3* handle() const { return db_; }
    [[nodiscard]] const std::string& path() const { return path_; }

    // Held from "begin transaction" to "commit transaction" by every write. The connection
    // is shared, so without it one thread's begin could land inside another's transaction
    // and a rollback would take the other thread's write with it.
    [[nodiscard]] std::mutex& writeMutex() { return writeMutex_; }

    // A file written by a newer version of the program is opened for reading only: listing
    // and history work, and every command that would change it refuses with this text
    // (naming both versions). Empty for a file this version may change.
    [[nodiscard]] const std::string& readOnlyReason() const { return readOnlyReason_; }

private:
    ProjectDb(sqlite3* db, std::string path);
    // For a file of a newer version: the connection again, read-only, and the reason set;
    // "" when done, else SQLite's reason.
    [[nodiscard]] std::string ReopenReadOnly();

    sqlite3* db_;
    std::string path_;
    std::string readOnlyReason_;
    std::mutex writeMutex_;
};

struct ProjectDb::OpenResult {
    std::unique_ptr<ProjectDb> db;
    std::string error;
};

// The rows of the tables beside the plan table whose project is gone or is no longer the
// project that wrote them (another program deleted it, and a new project took its ftpid):
// removed, so that a new project never shows a deleted one's runs, copies or archives.
// Open calls it; false when the write fails.
bool ForgetRowsOfGoneProjects(ProjectDb* db);

// Where the database lives: `--db PATH` when given, else $VORNBACKUP_DB, else
// $XDG_DATA_HOME/vornbackup/gm_ftp_database.db (~/.local/share/... when XDG_DATA_HOME is
// unset or not absolute). The default folder is created when missing, readable by its owner
// only; a folder that cannot be created shows up as Open's error.
[[nodiscard]] std::string ResolveDatabasePath(const std::optional<std::string>& commandLinePath);

// The PEM file of certificates the user trusts for FTPS besides the system's, kept beside
// the database: "trusted-certs.pem" in the database's folder.
[[nodiscard]] std::string TrustedCertificatesPath(const std::string& databasePath);

// Operations on the plan table. A null db makes each return false (or empty) at once.
// `now` is the local time written into the time columns. Writes run inside
// begin/commit and are rolled back when they fail.
bool CreatePlanTable(ProjectDb* db);
bool InsertProject(ProjectDb* db, const BackupProject& project, std::time_t now = std::time(nullptr));
bool UpdateProject(ProjectDb* db, const std::string& oldName, const BackupProject& project,
    std::time_t now = std::time(nullptr));
[[nodiscard]] bool ProjectExists(ProjectDb* db, const std::string& name);
bool DeleteProject(ProjectDb* db, const std::string& name);
// `error`, when given, receives SQLite's reason for a failure.
bool SetProjectStatus(ProjectDb* db, const std::string& name, const std::string& status,
    std::time_t now = std::time(nullptr), std::string* error = nullptr);
// The same for the row `ftpid`, which keeps its id when the project is renamed; fails with
// SQLite's reason.
[[nodiscard]] Status SetProjectStatusById(
    ProjectDb* db, std::int64_t ftpid, const std::string& status, std::time_t now = std::time(nullptr));
// Fills `project` from the first row named `name`; its ftpplan codes are appended to the
// list already in the record. Returns false and leaves the record untouched when no row is
// found or the query fails.
bool LoadProject(ProjectDb* db, const std::string& name, BackupProject& project);
// The same for the row `ftpid`.
bool LoadProjectById(ProjectDb* db, std::int64_t ftpid, BackupProject& project);

// The five schedule columns exactly as stored (numbers as decimal text).
struct ScheduleTexts {
    std::string planMode;
    std::string plan;
    std::string hour;
    std::string minute;
    std::string dayMode;

    bool operator==(const ScheduleTexts&) const = default;
};

// One row of the project list query, in the table's stored order.
struct ProjectListRow {
    std::string ftpname;
    std::string ftpip;
    std::string ftpsource;
    std::string ftpdest;
    std::string ftpactive;
    std::string ftpbackmode;
    std::string ftptype;
    std::string ftpstatus;
    std::string ftpruntime;
    ScheduleTexts schedule;
    std::string ftpdestip;
    std::string ftpdestpath;

    bool operator==(const ProjectListRow&) const = default;
};

// `error`, when given, receives SQLite's message if the query fails (empty otherwise).
[[nodiscard]] std::vector<ProjectListRow> QueryProjectList(ProjectDb* db, std::string* error = nullptr);

// One row of the plans query used by the scheduler.
struct PlanRow {
    std::string name;
    ScheduleTexts schedule;

    bool operator==(const PlanRow&) const = default;
};
// `error`, when given, receives SQLite's message if the query fails (empty otherwise).
[[nodiscard]] std::vector<PlanRow> QueryPlans(ProjectDb* db, std::string* error = nullptr);

// The schedule of one project; nullopt when the query fails or finds no row.
[[nodiscard]] std::optional<ScheduleTexts> QuerySchedule(ProjectDb* db, const std::string& name);

} // namespace vorn
