#include "app/cli/CliSettings.h"

#include "app/cli/FieldText.h"
#include "notify/Alert.h"
#include "store/ProjectDb.h"
#include "store/Secrets.h"
#include "store/Settings.h"

#include <ostream>

namespace vorn {

namespace {

// Moves the passwords when the keyring switch changed.
Status TurnKeyring(ProjectDb& db, bool on)
{
    SecretStore* store = ProgramSecretStore();
    if (store == nullptr)
        return MakeError(ErrorKind::Failed, "The keyring cannot be reached: this program has no keyring");
    return on ? MoveSecretsToKeyring(&db, *store) : MoveSecretsFromKeyring(&db, *store);
}

} // namespace

int SettingsVerb(const std::vector<std::string>& args, ProjectDb& db, std::ostream& out, std::ostream& err)
{
    auto stored = LoadSettingsWithSecrets(&db);
    if (!stored) {
        err << "vornbackup-cli: " << EscapeField(stored.message()) << "\n";
        return 1;
    }
    if (args.empty()) {
        for (const std::string& line : FormatSettings(*stored))
            out << EscapeField(line) << '\n';
        out.flush();
        return out ? 0 : 1;
    }
    // Every setting is checked before anything is stored: all of them or none.
    DatabaseSettings settings = *stored;
    for (const std::string& arg : args) {
        if (Status taken = ApplySetting(arg, settings); !taken) {
            err << "vornbackup-cli: " << EscapeField(taken.message()) << "; nothing was changed\n";
            return 2;
        }
    }
    // keyring=1 given again sweeps passwords typed into the table since into the keyring.
    bool turnKeyring = false;
    for (const std::string& arg : args)
        turnKeyring = turnKeyring || arg.rfind("keyring=", 0) == 0;
    if (turnKeyring && ProgramSecretStore() == nullptr) {
        err << "vornbackup-cli: The keyring cannot be reached: this program has no keyring; nothing was "
               "changed\n";
        return 1;
    }
    Status saved = SaveSettingsWithSecrets(&db, settings);
    if (saved && turnKeyring)
        saved = TurnKeyring(db, settings.keyring);
    if (!saved) {
        err << "vornbackup-cli: the settings could not be stored in \"" << db.path()
            << "\": " << EscapeField(saved.message()) << "\n";
        return 1;
    }
    return 0;
}

int TestAlertVerb(ProjectDb& db, std::ostream& out, std::ostream& err)
{
    bool allSent = true;
    for (const DeliveryOutcome& outcome : SendTestAlert(&db, ProgramDeliveryPolicy())) {
        if (outcome.status) {
            out << EscapeField(outcome.channel) << ": sent\n";
        } else {
            allSent = false;
            err << EscapeField(outcome.channel) << ": not sent: " << EscapeField(outcome.status.message())
                << "\n";
        }
    }
    out.flush();
    return allSent && out ? 0 : 1;
}

} // namespace vorn
