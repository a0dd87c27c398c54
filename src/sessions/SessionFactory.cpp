#include "sessions/SessionFactory.h"

#include "ftpclient/FtpSession.h"
#include "remote/ServerAddress.h"
#include "sftpclient/HostKeys.h"
#include "sftpclient/SftpRemoteSession.h"

#include <iostream>
#include <mutex>

namespace vorn::sessions {
namespace {

std::mutex knownHostsMutex;
std::string ownKnownHosts;

std::unique_ptr<remote::RemoteSession> MakeSftp(const SessionSettings& settings, bool verbose)
{
    auto session = std::make_unique<sftp::SftpRemoteSession>();
    if (verbose)
        session->Sftp().SetTrace([](const std::string& line) { std::clog << "* " << line << '\n'; });
    session->Sftp().SetKeyFile(settings.keyFile);
    session->Sftp().SetKnownHostsFiles(sftp::UserKnownHostsFile(), OwnKnownHostsFile());
    session->Sftp().SetFollowLinks(settings.followLinks);
    return session;
}

} // namespace

Result<std::unique_ptr<remote::RemoteSession>> MakeSession(
    std::string_view serverText, const SessionSettings& settings, bool verbose)
{
    const remote::ServerAddress address = remote::ParseServerAddress(serverText);
    if (address.scheme == "ftp" || address.scheme == "ftpes" || address.scheme == "ftps") {
        const ftp::ServerText server = ftp::ParseServerText(serverText);
        auto session = std::make_unique<ftp::FtpSession>(server.security, verbose);
        session->SetNameCharset(settings.charset);
        return std::unique_ptr<remote::RemoteSession>(std::move(session));
    }
    if (address.scheme == "sftp")
        return MakeSftp(settings, verbose);
    return MakeError(
        ErrorKind::Invalid, "No client here speaks " + address.scheme + ":// (" + address.host + ")");
}

void SetTrustedCertificatesFile(std::string path)
{
    sf::Ftp::SetTrustedCertificatesFile(std::move(path));
}

std::string TrustedCertificatesFile()
{
    return sf::Ftp::GetTrustedCertificatesFile();
}

void UseKnownHostsBeside(const std::string& databasePath)
{
    const std::lock_guard lock(knownHostsMutex);
    ownKnownHosts = sftp::OwnKnownHostsFile(databasePath);
}

std::string OwnKnownHostsFile()
{
    const std::lock_guard lock(knownHostsMutex);
    return ownKnownHosts;
}

HostKeyFacts HostKeyOf(const remote::RemoteSession& session)
{
    HostKeyFacts facts;
    const auto* sftpSession = dynamic_cast<const sftp::SftpRemoteSession*>(&session);
    if (sftpSession == nullptr)
        return facts;
    const sftp::HostKeyCheck& check = sftpSession->Sftp().HostKeyStatus();
    using V = sftp::HostKeyCheck::Verdict;
    facts.verdict = check.verdict == V::Trusted ? HostKeyFacts::Verdict::Trusted
        : check.verdict == V::Unknown           ? HostKeyFacts::Verdict::Unknown
        : check.verdict == V::Changed           ? HostKeyFacts::Verdict::Changed
                                                : HostKeyFacts::Verdict::None;
    facts.host = check.offered.host;
    facts.port = check.offered.port;
    facts.type = check.offered.type;
    facts.fingerprint = check.offered.fingerprint;
    facts.knownFingerprint = check.knownFingerprint;
    return facts;
}

Status TrustOfferedHostKey(const remote::RemoteSession& session)
{
    const auto* sftpSession = dynamic_cast<const sftp::SftpRemoteSession*>(&session);
    if (sftpSession == nullptr)
        return MakeError(ErrorKind::Invalid, "Only SFTP servers have host keys to trust");
    const sftp::HostKeyCheck& check = sftpSession->Sftp().HostKeyStatus();
    if (check.verdict != sftp::HostKeyCheck::Verdict::Unknown)
        return MakeError(ErrorKind::Invalid, "Only a key no known-hosts file knows can be trusted here");
    const std::string file = OwnKnownHostsFile();
    if (file.empty())
        return MakeError(ErrorKind::Invalid, "No known-hosts file of the program is set");
    return sftp::TrustHostKey(file, check.offered);
}

std::string DescribeHostKey(const HostKeyFacts& facts)
{
    sftp::HostKeyCheck check;
    using V = sftp::HostKeyCheck::Verdict;
    check.verdict = facts.verdict == HostKeyFacts::Verdict::Changed ? V::Changed
        : facts.verdict == HostKeyFacts::Verdict::Unknown           ? V::Unknown
        : facts.verdict == HostKeyFacts::Verdict::Trusted           ? V::Trusted
                                                                    : V::None;
    check.offered.host = facts.host;
    check.offered.port = facts.port;
    check.offered.type = facts.type;
    check.offered.fingerprint = facts.fingerprint;
    check.knownFingerprint = facts.knownFingerprint;
    return sftp::DescribeHostKeyProblem(check);
}

} // namespace vorn::sessions
