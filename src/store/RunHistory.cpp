#include "store/RunHistory.h"

#include "store/ProjectDb.h"
#include "store/Statement.h"

#include <cstdlib>
#include <mutex>
#include <sqlite3.h>

namespace vorn {

namespace {

constexpr const char* kInsertRun
    = "insert into vorn_runs (ftpid, started, ended, outcome, reason, files_copied, files_failed, "
      "folders_failed, bytes, archive_path, retries, reconnects, kind) "
      "values (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";

constexpr const char* kInsertFailure
    = "insert into vorn_run_failures (run_id, seq, remote_path, reason) values (?1, ?2, ?3, ?4)";

// Runs beyond the newest ones of the project, and runs of projects that are gone.
constexpr const char* kPruneRuns
    = "delete from vorn_runs where (ftpid = ?1 and id not in (select id from vorn_runs where ftpid = ?1 "
      "order by id desc limit ?2)) or ftpid not in (select ftpid from gm_ftp_plantable)";
constexpr const char* kPruneFailures
    = "delete from vorn_run_failures where run_id not in (select id from vorn_runs)";

constexpr const char* kSelectRuns
    = "select id, started, ended, outcome, reason, files_copied, files_failed, folders_failed, bytes, "
      "archive_path, retries, reconnects, kind from vorn_runs where ftpid = ?1 order by id desc";

std::int64_t Number(const Statement& statement, int column)
{
    return std::strtoll(statement.Text(column).c_str(), nullptr, 10);
}

std::uint64_t Count(const Statement& statement, int column)
{
    const std::int64_t value = Number(statement, column);
    return value > 0 ? std::uint64_t(value) : 0;
}

// Runs `sql` with `bind`; on failure `error` gets SQLite's message.
template <typename Bind> bool Step(sqlite3* handle, const char* sql, std::string& error, Bind bind)
{
    Statement statement(handle, sql);
    bind(statement);
    if (statement.Run())
        return true;
    error = statement.error();
    return false;
}

bool NoBind(Statement&)
{
    return true;
}

// The inserts and the pruning of RecordRun, inside its transaction.
bool WriteRun(sqlite3* handle, std::int64_t ftpid, const RunRecord& run,
    const std::vector<FailedItem>& failed, std::string& error)
{
    const bool inserted = Step(handle, kInsertRun, error, [&](Statement& s) {
        s.BindInt(1, ftpid);
        s.BindInt(2, run.start);
        s.BindInt(3, run.end);
        s.BindText(4, run.outcome);
        s.BindText(5, run.reason);
        s.BindInt(6, std::int64_t(run.filesCopied));
        s.BindInt(7, std::int64_t(run.filesFailed));
        s.BindInt(8, std::int64_t(run.foldersFailed));
        s.BindInt(9, std::int64_t(run.bytes));
        s.BindText(10, run.archivePath);
        s.BindInt(11, std::int64_t(run.retries));
        s.BindInt(12, std::int64_t(run.reconnects));
        s.BindText(13, run.kind);
    });
    if (!inserted)
        return false;
    const std::int64_t runId = sqlite3_last_insert_rowid(handle);
    for (std::size_t i = 0; i < failed.size(); ++i) {
        const bool stored = Step(handle, kInsertFailure, error, [&](Statement& s) {
            s.BindInt(1, runId);
            s.BindInt(2, std::int64_t(i));
            s.BindText(3, failed[i].remotePath);
            s.BindText(4, failed[i].reason);
        });
        if (!stored)
            return false;
    }
    return Step(handle, kPruneRuns, error, [&](Statement& s) {
        s.BindInt(1, ftpid);
        s.BindInt(2, kKeptRunsPerProject);
    }) && Step(handle, kPruneFailures, error, NoBind);
}

} // namespace

std::optional<std::int64_t> FindProjectId(ProjectDb* db, const std::string& name)
{
    if (db == nullptr)
        return std::nullopt;
    Statement statement(db->handle(), "select ftpid from gm_ftp_plantable where ftpname = ?1");
    statement.BindText(1, name);
    if (!statement.NextRow())
        return std::nullopt;
    return Number(statement, 0);
}

Status RecordRun(
    ProjectDb* db, std::int64_t ftpid, const RunRecord& run, const std::vector<FailedItem>& failed)
{
    if (db == nullptr)
        return MakeError(ErrorKind::Invalid, "no database");
    std::lock_guard lock(db->writeMutex());
    sqlite3* handle = db->handle();
    std::string error;
    if (!Step(handle, "begin transaction", error, NoBind))
        return MakeError(ErrorKind::LocalIo, error.empty() ? "the run history could not be written" : error);
    if (WriteRun(handle, ftpid, run, failed, error) && Step(handle, "commit transaction", error, NoBind))
        return Ok();
    if (sqlite3_get_autocommit(handle) == 0) {
        std::string ignored;
        (void)Step(handle, "rollback transaction", ignored, NoBind);
    }
    return MakeError(ErrorKind::LocalIo, error.empty() ? "the run history could not be written" : error);
}

std::vector<RunRecord> QueryRuns(ProjectDb* db, std::int64_t ftpid, std::string* error)
{
    std::vector<RunRecord> runs;
    if (db == nullptr)
        return runs;
    Statement statement(db->handle(), kSelectRuns);
    statement.BindInt(1, ftpid);
    while (statement.NextRow()) {
        RunRecord run;
        run.id = Number(statement, 0);
        run.start = std::time_t(Number(statement, 1));
        run.end = std::time_t(Number(statement, 2));
        run.outcome = statement.Text(3);
        run.reason = statement.Text(4);
        run.filesCopied = Count(statement, 5);
        run.filesFailed = Count(statement, 6);
        run.foldersFailed = Count(statement, 7);
        run.bytes = Count(statement, 8);
        run.archivePath = statement.Text(9);
        run.retries = Count(statement, 10);
        run.reconnects = Count(statement, 11);
        run.kind = statement.Text(12);
        runs.push_back(std::move(run));
    }
    if (error != nullptr)
        *error = statement.error();
    return runs;
}

std::vector<FailedItem> QueryFailedItems(ProjectDb* db, std::int64_t runId, std::string* error)
{
    std::vector<FailedItem> items;
    if (db == nullptr)
        return items;
    Statement statement(
        db->handle(), "select remote_path, reason from vorn_run_failures where run_id = ?1 order by seq");
    statement.BindInt(1, runId);
    while (statement.NextRow())
        items.push_back({ statement.Text(0), statement.Text(1) });
    if (error != nullptr)
        *error = statement.error();
    return items;
}

} // namespace vorn
