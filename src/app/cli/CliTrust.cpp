#include "app/cli/CliTrust.h"

#include "app/cli/FieldText.h"
#include "engine/BackupRun.h"
#include "engine/ConnectionOps.h"
#include "remote/ServerAddress.h"
#include "sessions/SessionFactory.h"
#include "store/BackupProject.h"
#include "store/ProjectDb.h"

#include <algorithm>
#include <istream>
#include <ostream>
#include <vector>

namespace vorn {
namespace {

using Verdict = sessions::HostKeyFacts::Verdict;

// Connects to one SFTP server (no login: the key exchange shows the key) and settles its key.
int TrustServer(const ServerLogin& login, bool yes, std::istream& in, std::ostream& out, std::ostream& err)
{
    auto made = MakeSessionFor(login);
    if (!made) {
        err << "vornbackup-cli: " << made.message() << "\n";
        return 1;
    }
    remote::RemoteSession& session = **made;
    // The port belongs to the name: known-hosts files keep a key per host and port.
    const std::string where = EscapeField(login.host + ":" + std::to_string(EffectivePort(login)));
    const auto connected = session.Connect(remote::ParseServerAddress(login.host).host, EffectivePort(login));
    const sessions::HostKeyFacts key = sessions::HostKeyOf(session);
    session.Disconnect();
    if (key.verdict == Verdict::Trusted) {
        out << where << ": the host key " << key.type << " " << key.fingerprint << " is already trusted\n";
        return 0;
    }
    if (key.verdict == Verdict::None) {
        err << "vornbackup-cli: " << where << ": no host key was seen ("
            << EscapeField(connected ? std::string("no SFTP session") : connected.message()) << ")\n";
        return 1;
    }
    if (key.verdict == Verdict::Changed) {
        err << "vornbackup-cli: " << sessions::DescribeHostKey(key) << ". Nothing was stored.\n";
        return 1;
    }
    out << "The host key of " << where << " is not known.\n"
        << "Key type: " << key.type << "\nFingerprint: " << key.fingerprint << "\n";
    if (!yes) {
        out << "Trust this key and store it in " << sessions::OwnKnownHostsFile() << "? (yes/no) "
            << std::flush;
        std::string answer;
        if (!std::getline(in, answer) || (answer != "yes" && answer != "y")) {
            err << "vornbackup-cli: the key was not stored\n";
            return 1;
        }
    }
    // The key is stored as the one seen above: a second connection could meet another server.
    auto again = MakeSessionFor(login);
    if (!again)
        return 1;
    (void)(*again)->Connect(remote::ParseServerAddress(login.host).host, EffectivePort(login));
    const sessions::HostKeyFacts now = sessions::HostKeyOf(**again);
    if (now.verdict != Verdict::Unknown || now.fingerprint != key.fingerprint) {
        err << "vornbackup-cli: the server showed another key on the second connection (" << now.type << " "
            << now.fingerprint << "); nothing was stored\n";
        return 1;
    }
    const Status stored = sessions::TrustOfferedHostKey(**again);
    (*again)->Disconnect();
    if (!stored) {
        err << "vornbackup-cli: " << stored.message() << "\n";
        return 1;
    }
    out << "Stored " << key.type << " " << key.fingerprint << " for " << where << "\n";
    return 0;
}

} // namespace

int TrustVerb(
    const std::string& name, bool yes, ProjectDb& db, std::istream& in, std::ostream& out, std::ostream& err)
{
    BackupProject project;
    if (!LoadProject(&db, name, project)) {
        err << "vornbackup-cli: no project named \"" << EscapeField(name) << "\"\n";
        return 2;
    }
    BackupJob job = MakeBackupJob(project);
    std::vector<ServerLogin> servers;
    if (IsSftpServer(job.source.host))
        servers.push_back(job.source);
    if (project.type() == FtpType::FtpToFtp && IsSftpServer(job.destination.host))
        servers.push_back(job.destination);
    if (servers.empty()) {
        err << "vornbackup-cli: \"" << EscapeField(name) << "\" has no SFTP server\n";
        return 2;
    }
    int status = 0;
    for (const ServerLogin& login : servers)
        status = std::max(status, TrustServer(login, yes, in, out, err));
    return status;
}

} // namespace vorn
