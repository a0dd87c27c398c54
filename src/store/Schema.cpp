#include "store/Schema.h"

#include "store/Statement.h"

#include <cstdlib>
#include <sqlite3.h>
#include <vector>

namespace vorn {

namespace {

// One step per version, in order: kSteps[i] takes a file from version i to version i + 1.
// A step is SQL run as one script; it never touches gm_ftp_plantable. Append, never edit a
// step that has shipped. Tables keyed by a project use its ftpid, so a rename keeps them.
const std::vector<const char*> kSteps = {
    // Project options beside the plan table's backup mode; what each project last copied
    // (remote path with the listed size and time, and the exact time when one was asked
    // for); the archives each project wrote and whether each is a full one.
    "create table vorn_options (ftpid INTEGER primary key, fullevery INTEGER not null, "
    "keeparchives INTEGER not null, verifyarchive INTEGER not null, retries INTEGER not null, "
    "connections INTEGER not null);"
    "create table vorn_copied (ftpid INTEGER not null, path TEXT not null, size TEXT not null, "
    "time TEXT not null, exacttime TEXT not null, primary key (ftpid, path));"
    "create table vorn_archives (ftpid INTEGER not null, file TEXT not null, full INTEGER not null, "
    "primary key (ftpid, file));",
    // The run history: one row per run (the newest 100 per project are kept) and the files and
    // folders each run could not copy, with the reason. Retries and reconnects count from 0.
    "create table vorn_runs (id integer primary key autoincrement, ftpid integer not null, "
    "started integer not null, ended integer not null, outcome text not null, "
    "reason text not null default '', files_copied integer not null default 0, "
    "files_failed integer not null default 0, folders_failed integer not null default 0, "
    "bytes integer not null default 0, archive_path text not null default '', "
    "retries integer not null default 0, reconnects integer not null default 0);"
    "create index vorn_runs_by_project on vorn_runs (ftpid, id);"
    "create table vorn_run_failures (run_id integer not null, seq integer not null, "
    "remote_path text not null, reason text not null, primary key (run_id, seq));",
    // Archives are ordered by the run that wrote them (seq grows per project; written is the
    // UTC second), never by the local time in their names; the rows that exist are numbered in
    // the order of their names, which was the order used until now. What a run may leave
    // behind when it is killed (an archive's ".part", a staging folder) is noted with its
    // process, so that a later run of the same project removes exactly that. Each project's
    // creation time tells a reused ftpid from the project whose rows it would inherit.
    "alter table vorn_archives add column seq integer not null default 0;"
    "alter table vorn_archives add column written integer not null default 0;"
    "update vorn_archives set seq = (select count(*) from vorn_archives b "
    "where b.ftpid = vorn_archives.ftpid and b.file <= vorn_archives.file);"
    "create table vorn_leftovers (ftpid integer not null, path text not null, pid integer not null, "
    "primary key (ftpid, path));"
    "create table vorn_identity (ftpid integer primary key, createtime text not null);"
    "insert into vorn_identity select ftpid, coalesce(ftpcreatetime, '') from gm_ftp_plantable;",
    // Settings of the whole database (mail server, alert receivers, keyring), one row per
    // name; each project's alert options, with the defaults for projects without a row.
    "create table vorn_settings (name text primary key, value text not null);"
    "create table vorn_project_alerts (ftpid integer primary key, notify text not null default 'failure', "
    "mail_to text not null default '', hook_url text not null default '', "
    "catch_up integer not null default 0, alert_after_days integer not null default 0);",
    // What a recorded run did: "backup" for every run so far, "restore" for a restore.
    "alter table vorn_runs add column kind text not null default 'backup';",
    // SFTP settings of a project: its key file and whether links to folders are entered.
    "alter table vorn_options add column sshkey text not null default '';"
    "alter table vorn_options add column followlinks integer not null default 0;",
    // How copies are checked ("size", or "checksum" against the servers' own checksums), and
    // the checksum each remembered copy was found to match ("SHA-256:hex", "" for none).
    "alter table vorn_options add column verify text not null default 'size';"
    "alter table vorn_copied add column digest text not null default '';",
    // Names a project leaves out (patterns separated by spaces) and the code page of its
    // servers' names ('' for the default: UTF-8 when offered, else the bytes as they come).
    "alter table vorn_options add column exclude text not null default '';"
    "alter table vorn_options add column charset text not null default '';",
};

// Runs SQL that may hold several statements and returns no rows.
bool Execute(sqlite3* db, const char* sql, std::string* error)
{
    char* message = nullptr;
    const bool done = sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK;
    if (!done && error != nullptr)
        *error = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return done;
}

int UserVersion(sqlite3* db)
{
    Statement query(db, "pragma user_version");
    return query.NextRow() ? std::atoi(query.Text(0).c_str()) : -1;
}

} // namespace

int StoredSchemaVersion(sqlite3* db)
{
    return UserVersion(db);
}

int NewestSchemaVersion()
{
    return static_cast<int>(kSteps.size());
}

bool MigrateSchema(sqlite3* db, std::string& error)
{
    const int version = UserVersion(db);
    if (version < 0) {
        error = sqlite3_errmsg(db);
        return false;
    }
    // A newer program's schema is left as it is.
    if (version >= NewestSchemaVersion())
        return true;
    if (!Execute(db, "begin immediate transaction", &error))
        return false;
    for (int step = version; step < NewestSchemaVersion(); ++step) {
        if (!Execute(db, kSteps[step], &error)) {
            Execute(db, "rollback transaction", nullptr);
            return false;
        }
    }
    // The pragma takes no bound parameter; the number comes from this file, not from input.
    const std::string setVersion = "pragma user_version = " + std::to_string(NewestSchemaVersion());
    if (!Execute(db, setVersion.c_str(), &error) || !Execute(db, "commit transaction", &error)) {
        Execute(db, "rollback transaction", nullptr);
        return false;
    }
    return true;
}

} // namespace vorn
