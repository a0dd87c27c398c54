#include "store/CopiedFiles.h"

#include "common/DecimalText.h"
#include "store/ProjectDb.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <sqlite3.h>

namespace vorn {

const char* ProjectKey::ftpidSql() const
{
    // The first row of that name owns the records, as LoadProject reads the first row.
    return ftpid_ ? "?1" : "(select ftpid from gm_ftp_plantable where ftpname = ?1 order by ftpid limit 1)";
}

void ProjectKey::Bind(Statement& statement) const
{
    if (ftpid_)
        statement.BindInt(1, *ftpid_);
    else
        statement.BindText(1, name_);
}

namespace {

std::string Sql(const ProjectKey& project, const std::string& before, const std::string& after = "")
{
    return before + project.ftpidSql() + after;
}

} // namespace

CopiedFileMap LoadCopiedFiles(ProjectDb* db, const ProjectKey& project, std::string* error)
{
    CopiedFileMap copied;
    if (db == nullptr)
        return copied;
    Statement query(db->handle(),
        Sql(project, "select path, size, time, exacttime, digest from vorn_copied where ftpid = "));
    project.Bind(query);
    while (query.NextRow())
        copied.emplace(
            query.Text(0), CopiedFile { query.Text(1), query.Text(2), query.Text(3), query.Text(4) });
    if (!query.ok()) {
        copied.clear();
        if (error != nullptr)
            *error = query.error();
    }
    return copied;
}

bool ResetCopiedFiles(ProjectDb* db)
{
    if (db == nullptr)
        return false;
    const int code = sqlite3_errcode(db->handle()) & 0xff;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
        return false;
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    for (const char* sql : { "drop table if exists vorn_copied",
             "create table vorn_copied (ftpid INTEGER not null, path TEXT not null, size TEXT not null, "
             "time TEXT not null, exacttime TEXT not null, digest text not null default '', "
             "primary key (ftpid, path))" }) {
        Statement statement(db->handle(), sql);
        if (!statement.Run())
            return false;
    }
    return transaction.Commit();
}

bool SaveCopiedFiles(ProjectDb* db, const ProjectKey& project, const CopiedFileMap& changes,
    const std::unordered_set<std::string>* present)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    if (present != nullptr) {
        std::vector<std::string> gone;
        for (const auto& [path, file] : LoadCopiedFiles(db, project))
            if (present->count(path) == 0 && changes.count(path) == 0)
                gone.push_back(path);
        for (const std::string& path : gone) {
            Statement forget(
                db->handle(), Sql(project, "delete from vorn_copied where ftpid = ", " and path = ?2"));
            project.Bind(forget);
            forget.BindText(2, path);
            if (!forget.Run())
                return false;
        }
    }
    for (const auto& [path, file] : changes) {
        Statement row(db->handle(),
            "insert or replace into vorn_copied (ftpid, path, size, time, exacttime, digest) "
            "select ftpid, ?2, ?3, ?4, ?5, ?6 from gm_ftp_plantable where ftpid = "
                + std::string(project.ftpidSql()));
        project.Bind(row);
        row.BindText(2, path);
        row.BindText(3, file.size);
        row.BindText(4, file.time);
        row.BindText(5, file.exactTime);
        row.BindText(6, file.digest);
        if (!row.Run())
            return false;
    }
    return transaction.Commit();
}

std::vector<ArchiveRecord> LoadArchiveRecords(ProjectDb* db, const ProjectKey& project)
{
    std::vector<ArchiveRecord> records;
    if (db == nullptr)
        return records;
    Statement query(db->handle(),
        Sql(project,
            "select file, full, seq, written from vorn_archives where ftpid = ", " order by seq, file"));
    project.Bind(query);
    while (query.NextRow())
        records.push_back({ query.Text(0), query.Text(1) != "0", ParseDecimal(query.Text(2)),
            ParseDecimal(query.Text(3)) });
    return records;
}

bool AddArchiveRecord(ProjectDb* db, const ProjectKey& project, const ArchiveRecord& record)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    Statement row(db->handle(),
        "insert or replace into vorn_archives (ftpid, file, full, seq, written) "
        "select ftpid, ?2, ?3, (select coalesce(max(seq), 0) + 1 from vorn_archives a where a.ftpid = "
        "p.ftpid), ?4 from gm_ftp_plantable p where p.ftpid = "
            + std::string(project.ftpidSql()));
    project.Bind(row);
    row.BindText(2, record.file);
    row.BindInt(3, record.full ? 1 : 0);
    row.BindInt(4, std::int64_t(std::time(nullptr)));
    return row.Run() && transaction.Commit();
}

bool RemoveArchiveRecord(ProjectDb* db, const ProjectKey& project, const std::string& file)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    Statement row(db->handle(), Sql(project, "delete from vorn_archives where ftpid = ", " and file = ?2"));
    project.Bind(row);
    row.BindText(2, file);
    return row.Run() && transaction.Commit();
}

std::vector<Leftover> LoadLeftovers(ProjectDb* db, const ProjectKey& project)
{
    std::vector<Leftover> found;
    if (db == nullptr)
        return found;
    Statement query(
        db->handle(), Sql(project, "select path, pid from vorn_leftovers where ftpid = ", " order by path"));
    project.Bind(query);
    while (query.NextRow())
        found.push_back({ query.Text(0), ParseDecimal(query.Text(1)) });
    return found;
}

bool NoteLeftover(ProjectDb* db, const ProjectKey& project, const Leftover& leftover)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    Statement row(db->handle(),
        "insert or replace into vorn_leftovers (ftpid, path, pid) "
        "select ftpid, ?2, ?3 from gm_ftp_plantable where ftpid = "
            + std::string(project.ftpidSql()));
    project.Bind(row);
    row.BindText(2, leftover.path);
    row.BindInt(3, leftover.pid);
    return row.Run() && transaction.Commit();
}

bool ForgetLeftover(ProjectDb* db, const ProjectKey& project, const std::string& path)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    Statement row(db->handle(), Sql(project, "delete from vorn_leftovers where ftpid = ", " and path = ?2"));
    project.Bind(row);
    row.BindText(2, path);
    return row.Run() && transaction.Commit();
}

} // namespace vorn
