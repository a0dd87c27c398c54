#include "store/CopiedFiles.h"

#include "store/ProjectDb.h"
#include "store/Statement.h"
#include "store/Transaction.h"

namespace vorn {

namespace {

// The first row of that name owns the records, as LoadProject reads the first row.
constexpr const char* kProjectId
    = "(select ftpid from gm_ftp_plantable where ftpname = ?1 order by ftpid limit 1)";

std::string Sql(const std::string& before, const std::string& after = "")
{
    return before + kProjectId + after;
}

} // namespace

CopiedFileMap LoadCopiedFiles(ProjectDb* db, const std::string& name)
{
    CopiedFileMap copied;
    if (db == nullptr)
        return copied;
    Statement query(db->handle(), Sql("select path, size, time, exacttime from vorn_copied where ftpid = "));
    query.BindText(1, name);
    while (query.NextRow())
        copied.emplace(query.Text(0), CopiedFile { query.Text(1), query.Text(2), query.Text(3) });
    if (!query.ok())
        copied.clear();
    return copied;
}

bool SaveCopiedFiles(ProjectDb* db, const std::string& name, const CopiedFileMap& changes,
    const std::unordered_set<std::string>* present)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    if (present != nullptr) {
        std::vector<std::string> gone;
        for (const auto& [path, file] : LoadCopiedFiles(db, name))
            if (present->count(path) == 0 && changes.count(path) == 0)
                gone.push_back(path);
        for (const std::string& path : gone) {
            Statement forget(db->handle(), Sql("delete from vorn_copied where ftpid = ", " and path = ?2"));
            forget.BindText(1, name);
            forget.BindText(2, path);
            if (!forget.Run())
                return false;
        }
    }
    for (const auto& [path, file] : changes) {
        Statement row(db->handle(),
            "insert or replace into vorn_copied (ftpid, path, size, time, exacttime) "
            "select ftpid, ?2, ?3, ?4, ?5 from gm_ftp_plantable where ftpname = ?1 order by ftpid limit 1");
        row.BindText(1, name);
        row.BindText(2, path);
        row.BindText(3, file.size);
        row.BindText(4, file.time);
        row.BindText(5, file.exactTime);
        if (!row.Run())
            return false;
    }
    return transaction.Commit();
}

std::vector<ArchiveRecord> LoadArchiveRecords(ProjectDb* db, const std::string& name)
{
    std::vector<ArchiveRecord> records;
    if (db == nullptr)
        return records;
    Statement query(
        db->handle(), Sql("select file, full from vorn_archives where ftpid = ", " order by file"));
    query.BindText(1, name);
    while (query.NextRow())
        records.push_back({ query.Text(0), query.Text(1) != "0" });
    return records;
}

bool AddArchiveRecord(ProjectDb* db, const std::string& name, const ArchiveRecord& record)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    Statement row(db->handle(),
        "insert or replace into vorn_archives (ftpid, file, full) "
        "select ftpid, ?2, ?3 from gm_ftp_plantable where ftpname = ?1 order by ftpid limit 1");
    row.BindText(1, name);
    row.BindText(2, record.file);
    row.BindInt(3, record.full ? 1 : 0);
    return row.Run() && transaction.Commit();
}

bool RemoveArchiveRecord(ProjectDb* db, const std::string& name, const std::string& file)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return false;
    Statement row(db->handle(), Sql("delete from vorn_archives where ftpid = ", " and file = ?2"));
    row.BindText(1, name);
    row.BindText(2, file);
    return row.Run() && transaction.Commit();
}

} // namespace vorn
