#include "store/Secrets.h"

#include "store/BackupProject.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <atomic>
#include <vector>

namespace vorn {

namespace {

std::atomic<SecretStore*> programStore { nullptr };

constexpr const char* kColumns[] = { "ftppassword", "ftpdestpass", "ftpcompass" };

struct StoredSecret {
    std::int64_t ftpid = 0;
    std::string column;
    std::string secret;
};

Error NoKeyring()
{
    return MakeError(ErrorKind::Failed, "The keyring cannot be reached: this program has no keyring");
}

// Every project's password columns, as the table holds them.
Result<std::vector<StoredSecret>> TableSecrets(ProjectDb* db)
{
    std::vector<StoredSecret> secrets;
    Statement query(db->handle(), "select ftpid, ftppassword, ftpdestpass, ftpcompass from gm_ftp_plantable");
    while (query.NextRow())
        for (int i = 0; i < 3; ++i)
            secrets.push_back({ std::stoll(query.Text(0)), kColumns[i], query.Text(i + 1) });
    if (!query.ok())
        return MakeError(ErrorKind::LocalIo, "the projects could not be read: " + query.error());
    return secrets;
}

// Writes the password columns and the settings' keyring switch and SMTP password in one go.
Status WriteTable(
    ProjectDb* db, const std::vector<StoredSecret>& secrets, bool keyring, const std::string& smtp)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return MakeError(ErrorKind::LocalIo, "the database could not be written");
    for (const StoredSecret& secret : secrets) {
        // The column name comes from kColumns, never from input.
        Statement row(
            db->handle(), "update gm_ftp_plantable set " + secret.column + " = ?1 where ftpid = ?2");
        row.BindText(1, secret.secret);
        row.BindInt(2, secret.ftpid);
        if (!row.Run())
            return MakeError(ErrorKind::LocalIo, "the database could not be written: " + row.error());
    }
    for (const auto& [name, value] : { std::pair<const char*, std::string> { "keyring", keyring ? "1" : "0" },
             std::pair<const char*, std::string> { "smtp-password", smtp } }) {
        Statement row(db->handle(), "insert or replace into vorn_settings (name, value) values (?1, ?2)");
        row.BindText(1, name);
        row.BindText(2, value);
        if (!row.Run())
            return MakeError(ErrorKind::LocalIo, "the database could not be written: " + row.error());
    }
    if (!transaction.Commit())
        return MakeError(ErrorKind::LocalIo, "the database could not be written");
    return Ok();
}

} // namespace

void SetSecretStore(SecretStore* store)
{
    programStore = store;
}

SecretStore* ProgramSecretStore()
{
    return programStore;
}

std::string ProjectSecretKey(ProjectDb* db, std::int64_t ftpid, const std::string& column)
{
    return db->path() + "#" + std::to_string(ftpid) + "#" + column;
}

std::string SmtpSecretKey(ProjectDb* db)
{
    return db->path() + "#smtp-password";
}

Result<DatabaseSettings> LoadSettingsWithSecrets(ProjectDb* db)
{
    auto settings = LoadSettings(db);
    if (!settings || !settings->keyring)
        return settings;
    SecretStore* store = ProgramSecretStore();
    if (store == nullptr)
        return NoKeyring();
    auto secret = store->Read(SmtpSecretKey(db));
    if (!secret && secret.error().kind != ErrorKind::Invalid)
        return secret.error();
    settings->smtpPassword = secret ? *secret : std::string();
    return settings;
}

Status SaveSettingsWithSecrets(ProjectDb* db, DatabaseSettings settings)
{
    auto stored = LoadSettings(db);
    if (!stored)
        return stored.error();
    settings.keyring = stored->keyring;
    if (settings.keyring) {
        SecretStore* store = ProgramSecretStore();
        if (store == nullptr)
            return NoKeyring();
        if (Status written = store->Write(SmtpSecretKey(db), settings.smtpPassword); !written)
            return written;
        settings.smtpPassword.clear();
    }
    return SaveSettings(db, settings);
}

Status FillProjectSecrets(ProjectDb* db, BackupProject& project)
{
    auto settings = LoadSettings(db);
    if (!settings || !settings->keyring)
        return Ok();
    const auto ftpid = FindProjectId(db, project.ftpname);
    if (!ftpid)
        return ProgramSecretStore() == nullptr
            ? NoKeyring()
            : MakeError(ErrorKind::Invalid, "no project named \"" + project.ftpname + "\"");
    return FillProjectSecrets(db, *ftpid, project);
}

Status FillProjectSecrets(ProjectDb* db, std::int64_t ftpid, BackupProject& project)
{
    auto settings = LoadSettings(db);
    if (!settings || !settings->keyring)
        return Ok();
    SecretStore* store = ProgramSecretStore();
    if (store == nullptr)
        return NoKeyring();
    for (std::string* field : { &project.ftppassword, &project.ftpdestpass, &project.ftpcompass }) {
        const char* column = field == &project.ftppassword ? kColumns[0]
            : field == &project.ftpdestpass                ? kColumns[1]
                                                           : kColumns[2];
        auto secret = store->Read(ProjectSecretKey(db, ftpid, column));
        if (!secret && secret.error().kind == ErrorKind::Invalid)
            return MakeError(ErrorKind::Invalid,
                std::string("The keyring holds no password (") + column
                    + ") for this project: store it again");
        if (!secret)
            return secret.error();
        // A password typed into the table after the move (by another program) still counts.
        if (field->empty())
            *field = *secret;
    }
    return Ok();
}

Status MoveSecretsToKeyring(ProjectDb* db, SecretStore& store)
{
    auto settings = LoadSettings(db);
    if (!settings)
        return settings.error();
    auto secrets = TableSecrets(db);
    if (!secrets)
        return secrets.error();
    // Already on: only the passwords typed into the table since (a project saved by the
    // dialog, or by another program) move; the keyring keeps the others.
    const bool sweep = settings->keyring;
    std::vector<StoredSecret> moved;
    for (StoredSecret& secret : *secrets) {
        if (sweep && secret.secret.empty())
            continue;
        if (Status written = store.Write(ProjectSecretKey(db, secret.ftpid, secret.column), secret.secret);
            !written)
            return written;
        secret.secret.clear();
        moved.push_back(secret);
    }
    if (sweep && moved.empty())
        return Ok();
    if (!sweep)
        if (Status written = store.Write(SmtpSecretKey(db), settings->smtpPassword); !written)
            return written;
    return WriteTable(db, moved, true, "");
}

Status MoveSecretsFromKeyring(ProjectDb* db, SecretStore& store)
{
    auto settings = LoadSettings(db);
    if (!settings)
        return settings.error();
    if (!settings->keyring)
        return Ok();
    auto secrets = TableSecrets(db);
    if (!secrets)
        return secrets.error();
    for (StoredSecret& secret : *secrets) {
        auto stored = store.Read(ProjectSecretKey(db, secret.ftpid, secret.column));
        if (!stored && stored.error().kind != ErrorKind::Invalid)
            return stored.error();
        if (secret.secret.empty() && stored)
            secret.secret = *stored;
    }
    auto smtp = store.Read(SmtpSecretKey(db));
    if (!smtp && smtp.error().kind != ErrorKind::Invalid)
        return smtp.error();
    if (Status written = WriteTable(db, *secrets, false, smtp ? *smtp : std::string()); !written)
        return written;
    // The table holds every password again; what the keyring kept may go.
    for (const StoredSecret& secret : *secrets)
        (void)store.Remove(ProjectSecretKey(db, secret.ftpid, secret.column));
    (void)store.Remove(SmtpSecretKey(db));
    return Ok();
}

Status StoreProjectSecret(ProjectDb* db, SecretStore& store, std::int64_t ftpid, const std::string& column,
    const std::string& secret)
{
    for (const char* known : kColumns)
        if (column == known)
            return store.Write(ProjectSecretKey(db, ftpid, column), secret);
    return MakeError(ErrorKind::Invalid, "no password column named " + column);
}

} // namespace vorn
