// Downloads one file through the FTP client and prints the seconds it took; the client's half
// of download_throughput.sh.
// Usage: ftp_download HOST PORT USER PASSWORD REMOTE_PATH LOCAL_FOLDER [active]
// HOST may be "ftpes://..." or "ftps://..."; VORN_TRUSTED_CERTS names a PEM file to trust.
#include "ftpclient/Ftp.h"
#include "ftpclient/ServerText.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char* argv[])
{
    if (argc < 7) {
        std::fprintf(
            stderr, "usage: %s HOST PORT USER PASSWORD REMOTE_PATH LOCAL_FOLDER [active]\n", argv[0]);
        return 2;
    }
    if (const char* trusted = std::getenv("VORN_TRUSTED_CERTS"))
        sf::Ftp::SetTrustedCertificatesFile(trusted);
    const auto server = vorn::ftp::ParseServerText(argv[1]);
    sf::Ftp ftp(false);
    ftp.SetSecurity(server.security);
    ftp.SetPassive(!(argc > 7 && std::string(argv[7]) == "active"));
    const auto connected
        = ftp.Connect(sf::IPAddress(server.host), static_cast<unsigned short>(std::atoi(argv[2])));
    if (!connected.IsOk()) {
        std::fprintf(stderr, "connect: %s\n", connected.GetMessage().c_str());
        return 1;
    }
    const auto login = ftp.Login(argv[3], argv[4]);
    if (!login.IsOk()) {
        std::fprintf(stderr, "login: %s\n", login.GetMessage().c_str());
        return 1;
    }
    sf::TranslateInfo progress;
    const auto start = std::chrono::steady_clock::now();
    const auto response = ftp.Download(argv[5], argv[6], progress);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!response.IsOk()) {
        std::fprintf(stderr, "download: %d %s\n", response.GetStatus(), response.GetMessage().c_str());
        return 1;
    }
    std::printf("%.3f\n", took.count());
    if (server.security != vorn::ftp::Security::Plain)
        std::fprintf(stderr, "TLS session reused on the data connection: %s\n",
            ftp.LastDataSessionReused() ? "yes" : "no");
    return 0;
}
