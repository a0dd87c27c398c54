#pragma once

#include "common/Result.h"
#include "store/Settings.h"

#include <cstdint>
#include <string>

namespace vorn {

class ProjectDb;
struct BackupProject;

// Where passwords go when a database keeps them out of its own file: the desktop's keyring.
// The programs set one at start-up (the core has no keyring of its own); each call blocks
// until the keyring answered. Called from any thread.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    // The secret stored under `key`; an error of kind Invalid when there is none, of
    // another kind when the keyring cannot be reached.
    [[nodiscard]] virtual Result<std::string> Read(const std::string& key) = 0;
    [[nodiscard]] virtual Status Write(const std::string& key, const std::string& secret) = 0;
    // Removing a key that is not there succeeds.
    [[nodiscard]] virtual Status Remove(const std::string& key) = 0;
};

// The program's keyring; null when it has none. Set once at start-up, before any run.
void SetSecretStore(SecretStore* store);
[[nodiscard]] SecretStore* ProgramSecretStore();

// The settings with the mail server's password taken from the keyring when keyring=1.
[[nodiscard]] Result<DatabaseSettings> LoadSettingsWithSecrets(ProjectDb* db);

// Writes the settings; while the keyring holds the passwords the mail server's password
// goes there and the table keeps an empty text. The keyring switch itself is left as
// stored: MoveSecretsToKeyring and MoveSecretsFromKeyring turn it.
[[nodiscard]] Status SaveSettingsWithSecrets(ProjectDb* db, DatabaseSettings settings);

// Fills the project's passwords (source, destination, archive) from the keyring when the
// database keeps them there; otherwise leaves the project as it is. Fails, with the
// keyring's reason, when the keyring cannot be reached.
[[nodiscard]] Status FillProjectSecrets(ProjectDb* db, BackupProject& project);
// The same for the project of row `ftpid`, whatever its name is by now.
[[nodiscard]] Status FillProjectSecrets(ProjectDb* db, std::int64_t ftpid, BackupProject& project);

// Turns keyring=1 on or off for `db`: every password of every project and the mail
// server's moves into the keyring (the table's columns then hold an empty text) or back
// into the table. The keyring is written first and the table after, so a failure part way
// loses no password. Called while the keyring is on, MoveSecretsToKeyring moves the
// passwords found in the table since (a saved project's) and leaves the others alone.
[[nodiscard]] Status MoveSecretsToKeyring(ProjectDb* db, SecretStore& store);
[[nodiscard]] Status MoveSecretsFromKeyring(ProjectDb* db, SecretStore& store);

// Stores one password of project `ftpid` in the keyring again (the window's answer to a
// run that found it missing). `column` is ftppassword, ftpdestpass or ftpcompass.
[[nodiscard]] Status StoreProjectSecret(ProjectDb* db, SecretStore& store, std::int64_t ftpid,
    const std::string& column, const std::string& secret);

// The keyring key of a project's password column, and of the mail server's password.
[[nodiscard]] std::string ProjectSecretKey(ProjectDb* db, std::int64_t ftpid, const std::string& column);
[[nodiscard]] std::string SmtpSecretKey(ProjectDb* db);

} // namespace vorn
