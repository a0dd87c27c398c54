#include "sessions/SessionFactory.h"

#include "ftpclient/FtpSession.h"
#include "remote/ServerAddress.h"

namespace vorn::sessions {

Result<std::unique_ptr<remote::RemoteSession>> MakeSession(std::string_view serverText, bool verbose)
{
    const remote::ServerAddress address = remote::ParseServerAddress(serverText);
    if (address.scheme == "ftp" || address.scheme == "ftpes" || address.scheme == "ftps") {
        const ftp::ServerText server = ftp::ParseServerText(serverText);
        return std::unique_ptr<remote::RemoteSession>(
            std::make_unique<ftp::FtpSession>(server.security, verbose));
    }
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

} // namespace vorn::sessions
