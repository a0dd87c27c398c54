#include "store/ProjectDb.h"

#include "common/DecimalText.h"
#include "common/TimeText.h"
#include "store/Schema.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vorn {

namespace {

constexpr const char* kCreateTimeFormat = "%Y-%m-%d %H:%M:%S";
constexpr const char* kRunTimeFormat = "%m/%d/%Y %H:%M:%S";

// The column list in declaration order. "if not exists" keeps a second start quiet; SQLite
// drops that clause from the stored schema, so the table reads the same as one created
// without it.
constexpr const char* kCreatePlanTable
    = "create table if not exists gm_ftp_plantable (ftpid INTEGER primary key,ftpname TEXT, "
      "ftpcreatetime TEXT, ftpmodifytime TEXT, ftpsource TEXT, ftpdest TEXT, ftpip TEXT, "
      "ftpuser TEXT, ftppassword TEXT, ftpport TEXT, ftpactive INTEGER, ftpbackmode INTEGER, "
      "ftptype INTEGER, ftprule TEXT, ftpplanmode INTEGER, ftpplan TEXT, ftphour INTEGER, "
      "ftpminute INTEGER, ftpdaymode INTEGER, ftpstatus TEXT, ftpruntime TEXT, ftpmem TEXT, "
      "ftpdestpath TEXT, ftpdestip TEXT, ftpdestuser TEXT, ftpdestpass TEXT, ftpdestport TEXT, "
      "ftpiscompress INTEGER, ftpcompass TEXT)";

// Every column the statements below name; preparing it tells whether an existing table
// can serve them.
constexpr const char* kAllColumns
    = "select ftpid, ftpname, ftpcreatetime, ftpmodifytime, ftpsource, ftpdest, ftpip, ftpuser, "
      "ftppassword, ftpport, ftpactive, ftpbackmode, ftptype, ftprule, ftpplanmode, ftpplan, "
      "ftphour, ftpminute, ftpdaymode, ftpstatus, ftpruntime, ftpmem, ftpdestpath, ftpdestip, "
      "ftpdestuser, ftpdestpass, ftpdestport, ftpiscompress, ftpcompass from gm_ftp_plantable limit 0";

constexpr const char* kInsertProject
    = "insert into gm_ftp_plantable (ftpid, ftpname, ftpcreatetime, ftpmodifytime, ftpsource, "
      "ftpdest, ftpip, ftpuser, ftppassword, ftpport, ftpactive, ftpbackmode, ftptype, ftprule, "
      "ftpplanmode, ftpplan, ftphour, ftpminute, ftpdaymode, ftpstatus, ftpruntime, ftpmem, "
      "ftpdestpath, ftpdestip, ftpdestuser, ftpdestpass, ftpdestport, ftpiscompress, ftpcompass) "
      "values(NULL, ?1, ?2, '', ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, "
      "'', '', '', ?18, ?19, ?20, ?21, ?22, ?23, ?24)";

constexpr const char* kUpdateProject
    = "update gm_ftp_plantable set ftpname = ?1, ftpmodifytime = ?2, ftpsource = ?3, ftpdest = ?4, "
      "ftpip = ?5, ftpuser = ?6, ftppassword = ?7, ftpport = ?8, ftpactive = ?9, ftpbackmode = ?10, "
      "ftptype = ?11, ftprule = ?12, ftpplanmode = ?13, ftpplan = ?14, ftphour = ?15, "
      "ftpminute = ?16, ftpdaymode = ?17, ftpdestpath = ?18, ftpdestip = ?19, ftpdestuser = ?20, "
      "ftpdestpass = ?21, ftpdestport = ?22, ftpiscompress = ?23, ftpcompass = ?24 "
      "where ftpname = ?25";

constexpr const char* kLoadProject
    = "select ftpname, ftpsource, ftpdest, ftpip, ftpuser, ftppassword, ftpport, ftpactive, "
      "ftpbackmode, ftptype, ftprule, ftpplanmode, ftpplan, ftphour, ftpminute, ftpdaymode, "
      "ftpdestpath, ftpdestip, ftpdestuser, ftpdestpass, ftpdestport, ftpiscompress, ftpcompass "
      "from gm_ftp_plantable where ";

constexpr const char* kProjectList
    = "select ftpname, ftpip, ftpsource, ftpdest, ftpactive, ftpbackmode, ftptype, ftpstatus, "
      "ftpruntime, ftpplanmode, ftpplan, ftphour, ftpminute, ftpdaymode, ftptype, ftpdestip, "
      "ftpdestpath from gm_ftp_plantable";

std::string ErrnoText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// Runs a statement without parameters or rows (begin, commit, rollback, create).
bool Execute(sqlite3* db, const char* sql, std::string* error = nullptr)
{
    Statement statement(db, sql);
    const bool done = statement.Run();
    if (!done && error != nullptr)
        *error = statement.error();
    return done;
}

// The write pattern: begin, the statement, commit; a rollback when any step fails.
template <typename Bind> bool Write(ProjectDb* db, const char* sql, Bind bind, std::string* error = nullptr)
{
    if (db == nullptr)
        return false;
    std::lock_guard lock(db->writeMutex());
    sqlite3* handle = db->handle();
    if (!Execute(handle, "begin transaction;", error))
        return false;
    bool done;
    {
        Statement statement(handle, sql);
        bind(statement);
        done = statement.Run();
        if (!done && error != nullptr)
            *error = statement.error();
    }
    if (done)
        done = Execute(handle, "commit transaction;", error);
    if (!done && sqlite3_get_autocommit(handle) == 0)
        (void)Execute(handle, "rollback transaction;");
    return done;
}

// Parameters 3 to 24 of the insert and update statements, shared by both.
void BindSettings(Statement& statement, const BackupProject& p)
{
    statement.BindText(3, p.ftpsource);
    statement.BindText(4, p.ftpdest);
    statement.BindText(5, p.ftpip);
    statement.BindText(6, p.ftpuser);
    statement.BindText(7, p.ftppassword);
    statement.BindText(8, p.ftpport);
    statement.BindInt(9, p.ftpactive ? 1 : 0);
    statement.BindInt(10, p.ftpbackmode);
    statement.BindInt(11, p.ftptype);
    statement.BindText(12, p.ftprule);
    statement.BindInt(13, p.ftpplanmode);
    statement.BindText(14, FormatPlanText(p.ftpplan));
    statement.BindInt(15, p.ftphour);
    statement.BindInt(16, p.ftpminute);
    statement.BindInt(17, p.ftpdaymode);
    statement.BindText(18, p.ftpdestpath);
    statement.BindText(19, p.ftpdestip);
    statement.BindText(20, p.ftpdestuser);
    statement.BindText(21, p.ftpdestpass);
    statement.BindText(22, p.ftpdestport);
    statement.BindInt(23, p.ftpiscompress ? 1 : 0);
    statement.BindText(24, p.ftpcompass);
}

ScheduleTexts ReadSchedule(const Statement& statement, int first)
{
    return ScheduleTexts { statement.Text(first), statement.Text(first + 1), statement.Text(first + 2),
        statement.Text(first + 3), statement.Text(first + 4) };
}

// Creates the missing folders of `folder`, each readable by its owner only.
void MakeOwnerFolders(const std::filesystem::path& folder)
{
    std::filesystem::path prefix;
    for (const auto& part : folder) {
        prefix /= part;
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    passwd entry {};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr
        && found->pw_dir != nullptr)
        return found->pw_dir;
    return ".";
}

} // namespace

ProjectDb::ProjectDb(sqlite3* db, std::string path)
    : db_(db)
    , path_(std::move(path))
{
}

ProjectDb::~ProjectDb()
{
    sqlite3_close_v2(db_);
}

ProjectDb::OpenResult ProjectDb::Open(const std::string& path)
{
    bool created = false;
    std::unique_ptr<ProjectDb> db;
    auto fail = [&](const std::string& reason) {
        db.reset();
        // Only an empty file of our own making is removed; anything else stays as it was.
        if (created)
            ::unlink(path.c_str());
        return OpenResult { nullptr, "Cannot open the project database \"" + path + "\": " + reason + "." };
    };
    if (path.empty())
        return fail("no file name given");

    // Created here rather than by SQLite so that the passwords inside are never readable by
    // others, not even for a moment; O_EXCL leaves any existing file (or link) alone.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        created = true;
        (void)::fchmod(fd, 0600);
    } else if (errno == EEXIST) {
        struct stat info { };
        if (::stat(path.c_str(), &info) != 0)
            return fail(ErrnoText(errno));
        if (S_ISDIR(info.st_mode))
            return fail("it is a directory");
        if (!S_ISREG(info.st_mode))
            return fail("it is not a regular file");
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return fail(ErrnoText(errno));
    } else {
        return fail(ErrnoText(errno));
    }
    ::close(fd);

    sqlite3* handle = nullptr;
    const int rc
        = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string reason = handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(rc);
        sqlite3_close_v2(handle);
        return fail(reason);
    }
    db.reset(new ProjectDb(handle, path));
    // Another program (the desktop window, a second command) may hold a write lock briefly.
    sqlite3_busy_timeout(handle, 5000);

    // Read the header before anything could write to the file.
    {
        Statement probe(handle, "select count(*) from sqlite_master");
        while (probe.NextRow()) { }
        // A database another program keeps locked past the busy time-out is busy, not broken.
        if (!probe.ok()
            && (sqlite3_errcode(handle) == SQLITE_BUSY || sqlite3_errcode(handle) == SQLITE_LOCKED))
            return fail(
                "it is busy: another program holds it locked; try again later (" + probe.error() + ")");
        if (!probe.ok())
            return fail("it is not a readable SQLite database (" + probe.error() + ")");
    }
    if (sqlite3_db_readonly(handle, "main") != 0)
        return fail("it cannot be written");
    std::string error;
    if (!Execute(handle, kCreatePlanTable, &error))
        return fail("the table gm_ftp_plantable cannot be created (" + error + ")");
    if (Statement columns(handle, kAllColumns); !columns.ok())
        return fail(
            "its table gm_ftp_plantable does not have the expected columns (" + columns.error() + ")");
    // A file of a newer version than this program knows is read, never changed.
    const bool newer = StoredSchemaVersion(handle) > NewestSchemaVersion();
    if (!MigrateSchema(handle, error))
        return fail("its tables beside gm_ftp_plantable cannot be brought up to date (" + error + ")");
    if (newer) {
        if (std::string reason = db->ReopenReadOnly(); !reason.empty())
            return fail(reason);
        return OpenResult { std::move(db), {} };
    }
    (void)ForgetRowsOfGoneProjects(db.get());
    return OpenResult { std::move(db), {} };
}

std::string ProjectDb::ReopenReadOnly()
{
    // Read-only at the connection too, so that no path of the program can change the file.
    const int version = StoredSchemaVersion(db_);
    sqlite3* reader = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &reader, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        const std::string reason = reader != nullptr ? sqlite3_errmsg(reader) : "out of memory";
        sqlite3_close_v2(reader);
        return reason;
    }
    sqlite3_close_v2(db_);
    db_ = reader;
    sqlite3_busy_timeout(reader, 5000);
    readOnlyReason_ = "The project database \"" + path_
        + "\" was written by a newer version of Vorn FTP Backup (database version " + std::to_string(version)
        + "); this version knows database version " + std::to_string(NewestSchemaVersion())
        + " and changes nothing in it.";
    return {};
}

bool ForgetRowsOfGoneProjects(ProjectDb* db)
{
    // The projects whose rows stay: those in the plan table whose creation time is the one
    // noted with their rows (or not noted yet).
    static const std::string keep = "(select g.ftpid from gm_ftp_plantable g left join vorn_identity i "
                                    "on i.ftpid = g.ftpid where i.ftpid is null "
                                    "or i.createtime = coalesce(g.ftpcreatetime, ''))";
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    for (const std::string& sql : {
             "delete from vorn_run_failures where run_id in (select id from vorn_runs where ftpid not in "
                 + keep + ")",
             "delete from vorn_runs where ftpid not in " + keep,
             "delete from vorn_options where ftpid not in " + keep,
             "delete from vorn_copied where ftpid not in " + keep,
             "delete from vorn_archives where ftpid not in " + keep,
             "delete from vorn_leftovers where ftpid not in " + keep,
             "delete from vorn_project_alerts where ftpid not in " + keep,
             "delete from vorn_identity where ftpid not in " + keep,
             std::string("insert or ignore into vorn_identity select ftpid, coalesce(ftpcreatetime, '') "
                         "from gm_ftp_plantable"),
         }) {
        if (!Execute(db->handle(), sql.c_str()))
            return false;
    }
    return transaction.Commit();
}

std::string ResolveDatabasePath(const std::optional<std::string>& commandLinePath)
{
    if (commandLinePath && !commandLinePath->empty())
        return *commandLinePath;
    if (const char* fromEnvironment = std::getenv("VORNBACKUP_DB");
        fromEnvironment != nullptr && *fromEnvironment != '\0')
        return fromEnvironment;
    // XDG_DATA_HOME counts only when it is an absolute path; a relative value is ignored.
    std::filesystem::path dataHome;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/')
        dataHome = xdg;
    else
        dataHome = std::filesystem::path(HomeFolder()) / ".local" / "share";
    const std::filesystem::path folder = dataHome / "vornbackup";
    MakeOwnerFolders(folder);
    return (folder / "gm_ftp_database.db").string();
}

bool CreatePlanTable(ProjectDb* db)
{
    return db != nullptr && Execute(db->handle(), kCreatePlanTable);
}

bool InsertProject(ProjectDb* db, const BackupProject& project, std::time_t now)
{
    // The new row may take the ftpid of a project another program deleted: that project's
    // rows go first, and the new one's creation time is noted after.
    (void)ForgetRowsOfGoneProjects(db);
    const bool inserted = Write(db, kInsertProject, [&](Statement& statement) {
        statement.BindText(1, project.ftpname);
        statement.BindText(2, FormatLocalTime(now, kCreateTimeFormat));
        BindSettings(statement, project);
    });
    if (inserted)
        (void)ForgetRowsOfGoneProjects(db);
    return inserted;
}

bool UpdateProject(ProjectDb* db, const std::string& oldName, const BackupProject& project, std::time_t now)
{
    return Write(db, kUpdateProject, [&](Statement& statement) {
        statement.BindText(1, project.ftpname);
        statement.BindText(2, FormatLocalTime(now, kCreateTimeFormat));
        BindSettings(statement, project);
        statement.BindText(25, oldName);
    });
}

bool ProjectExists(ProjectDb* db, const std::string& name)
{
    if (db == nullptr)
        return false;
    Statement statement(db->handle(), "select ftpname from gm_ftp_plantable where ftpname = ?1");
    statement.BindText(1, name);
    return statement.NextRow();
}

bool DeleteProject(ProjectDb* db, const std::string& name)
{
    // The tables beside the plan table go first, while the ftpid can still be found.
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    for (const char* sql :
        {
            "delete from vorn_options where ftpid in (select ftpid from gm_ftp_plantable where ftpname = ?1)",
            "delete from vorn_copied where ftpid in (select ftpid from gm_ftp_plantable where ftpname = ?1)",
            "delete from vorn_project_alerts where ftpid in (select ftpid from gm_ftp_plantable where "
            "ftpname = "
            "?1)",
            "delete from vorn_archives where ftpid in (select ftpid from gm_ftp_plantable where ftpname = "
            "?1)",
            "delete from vorn_run_failures where run_id in (select id from vorn_runs where ftpid in "
            "(select ftpid from gm_ftp_plantable where ftpname = ?1))",
            "delete from vorn_runs where ftpid in (select ftpid from gm_ftp_plantable where ftpname = ?1)",
            "delete from vorn_leftovers where ftpid in (select ftpid from gm_ftp_plantable where ftpname = "
            "?1)",
            "delete from vorn_identity where ftpid in (select ftpid from gm_ftp_plantable where ftpname = "
            "?1)",
            "delete from gm_ftp_plantable where ftpname = ?1",
        }) {
        Statement statement(db->handle(), sql);
        statement.BindText(1, name);
        if (!statement.Run())
            return false;
    }
    return transaction.Commit();
}

bool SetProjectStatus(
    ProjectDb* db, const std::string& name, const std::string& status, std::time_t now, std::string* error)
{
    return Write(
        db, "update gm_ftp_plantable set ftpstatus = ?1, ftpruntime = ?2 where ftpname = ?3",
        [&](Statement& statement) {
            statement.BindText(1, status);
            statement.BindText(2, FormatLocalTime(now, kRunTimeFormat));
            statement.BindText(3, name);
        },
        error);
}

Status SetProjectStatusById(ProjectDb* db, std::int64_t ftpid, const std::string& status, std::time_t now)
{
    std::string error;
    const bool written = Write(
        db, "update gm_ftp_plantable set ftpstatus = ?1, ftpruntime = ?2 where ftpid = ?3",
        [&](Statement& statement) {
            statement.BindText(1, status);
            statement.BindText(2, FormatLocalTime(now, kRunTimeFormat));
            statement.BindInt(3, ftpid);
        },
        &error);
    if (written)
        return Ok();
    return MakeError(
        db == nullptr ? ErrorKind::Invalid : ErrorKind::LocalIo, error.empty() ? "no database" : error);
}

namespace {

// Fills `project` from the row `statement` is on.
void ReadProjectRow(const Statement& statement, BackupProject& project)
{
    // Filled in a copy so that the caller's record is only changed by a complete row.
    BackupProject loaded = project;
    loaded.ftpname = statement.Text(0);
    loaded.ftpsource = statement.Text(1);
    loaded.ftpdest = statement.Text(2);
    loaded.ftpip = statement.Text(3);
    loaded.ftpuser = statement.Text(4);
    loaded.ftppassword = statement.Text(5);
    loaded.ftpport = statement.Text(6);
    loaded.ftpactive = ParseDecimal(statement.Text(7)) != 0;
    loaded.ftpbackmode = ParseDecimal32(statement.Text(8));
    loaded.ftptype = ParseDecimal32(statement.Text(9));
    loaded.ftprule = statement.Text(10);
    loaded.ftpplanmode = ParseDecimal32(statement.Text(11));
    AppendPlanCodes(statement.Text(12), loaded.ftpplan);
    loaded.ftphour = ParseDecimal32(statement.Text(13));
    loaded.ftpminute = ParseDecimal32(statement.Text(14));
    loaded.ftpdaymode = ParseDecimal32(statement.Text(15));
    loaded.ftpdestpath = statement.Text(16);
    loaded.ftpdestip = statement.Text(17);
    loaded.ftpdestuser = statement.Text(18);
    loaded.ftpdestpass = statement.Text(19);
    loaded.ftpdestport = statement.Text(20);
    loaded.ftpiscompress = ParseDecimal(statement.Text(21)) != 0;
    loaded.ftpcompass = statement.Text(22);
    project = std::move(loaded);
}

} // namespace

bool LoadProject(ProjectDb* db, const std::string& name, BackupProject& project)
{
    if (db == nullptr)
        return false;
    Statement statement(db->handle(), std::string(kLoadProject) + "ftpname = ?1");
    statement.BindText(1, name);
    if (!statement.NextRow())
        return false;
    ReadProjectRow(statement, project);
    return true;
}

bool LoadProjectById(ProjectDb* db, std::int64_t ftpid, BackupProject& project)
{
    if (db == nullptr)
        return false;
    Statement statement(db->handle(), std::string(kLoadProject) + "ftpid = ?1");
    statement.BindInt(1, ftpid);
    if (!statement.NextRow())
        return false;
    ReadProjectRow(statement, project);
    return true;
}

std::vector<ProjectListRow> QueryProjectList(ProjectDb* db, std::string* error)
{
    if (error != nullptr)
        error->clear();
    std::vector<ProjectListRow> rows;
    if (db == nullptr) {
        if (error != nullptr)
            *error = "no database";
        return rows;
    }
    Statement statement(db->handle(), kProjectList);
    while (statement.NextRow()) {
        ProjectListRow& row = rows.emplace_back();
        row.ftpname = statement.Text(0);
        row.ftpip = statement.Text(1);
        row.ftpsource = statement.Text(2);
        row.ftpdest = statement.Text(3);
        row.ftpactive = statement.Text(4);
        row.ftpbackmode = statement.Text(5);
        row.ftptype = statement.Text(6);
        row.ftpstatus = statement.Text(7);
        row.ftpruntime = statement.Text(8);
        row.schedule = ReadSchedule(statement, 9);
        row.ftpdestip = statement.Text(15);
        row.ftpdestpath = statement.Text(16);
    }
    if (!statement.ok()) {
        if (error != nullptr)
            *error = statement.error();
        rows.clear();
    }
    return rows;
}

std::vector<PlanRow> QueryPlans(ProjectDb* db, std::string* error)
{
    std::vector<PlanRow> rows;
    if (db == nullptr) {
        if (error != nullptr)
            *error = "no database";
        return rows;
    }
    Statement statement(db->handle(),
        "select ftpname, ftpplanmode, ftpplan, ftphour, ftpminute, ftpdaymode from gm_ftp_plantable");
    while (statement.NextRow())
        rows.push_back(PlanRow { statement.Text(0), ReadSchedule(statement, 1) });
    if (!statement.ok()) {
        if (error != nullptr)
            *error = statement.error();
        rows.clear();
    }
    return rows;
}

std::optional<ScheduleTexts> QuerySchedule(ProjectDb* db, const std::string& name)
{
    if (db == nullptr)
        return std::nullopt;
    Statement statement(db->handle(),
        "select ftpplanmode, ftpplan, ftphour, ftpminute, ftpdaymode "
        "from gm_ftp_plantable where ftpname = ?1");
    statement.BindText(1, name);
    if (!statement.NextRow())
        return std::nullopt;
    return ReadSchedule(statement, 0);
}

std::string TrustedCertificatesPath(const std::string& databasePath)
{
    const auto slash = databasePath.rfind('/');
    return slash == std::string::npos ? "trusted-certs.pem"
                                      : databasePath.substr(0, slash + 1) + "trusted-certs.pem";
}

} // namespace vorn
