// FTPS against pyftpdlib servers that require TLS on control and data connections, with a
// certificate made for the test: verification, host checks, transfers and no downgrade.
#include "ClientFixture.h"
#include "support/ListeningPort.h"
#include "support/Requirement.h"
#include "support/SelfSignedCertificate.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/TrustedFileGuard.h"
#include "support/WaitFor.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace vorn::test;
using vorn::ftp::Security;
using Status = sf::Ftp::Response::Status;

struct TlsRow {
    const char* name;
    FtpServerTls serverTls;
    Security security;
};

// Test names and failure messages show the row by its name.
void PrintTo(const TlsRow& row, std::ostream* out)
{
    *out << row.name;
}

class FtpTls : public testing::TestWithParam<TlsRow> {
protected:
    void SetUp() override
    {
        certificate_ = MakeSelfSignedCertificate(certificates_.path());
        FtpServerOptions options;
        options.tls = GetParam().serverTls;
        options.certFile = certificate_.certFile;
        options.keyFile = certificate_.keyFile;
        server_ = std::make_unique<FtpServer>(options);
    }

    TempDir certificates_;
    Certificate certificate_;
    std::unique_ptr<FtpServer> server_;
};

TEST_P(FtpTls, AnUntrustedCertificateIsRefusedWithAClearMessage)
{
    struct Row {
        const char* name;
        std::string trustedText; // contents of the trusted file; "-" for no file
        const char* expectedMessage;
    };
    const Row rows[] = {
        { "no trusted file", "-", "could not be verified" },
        { "another certificate", "", "could not be verified" },
        { "unreadable trusted file", "not a certificate", "Could not read the trusted certificates" },
    };
    TempDir other;
    const auto otherCertificate = MakeSelfSignedCertificate(other.path());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto trusted = certificates_.path() / "trusted-certs.pem";
        std::filesystem::remove(trusted);
        if (row.trustedText == "")
            std::filesystem::copy_file(otherCertificate.certFile, trusted);
        else if (row.trustedText != "-")
            WriteFile(trusted, row.trustedText);
        TrustedFileGuard guard(trusted);
        auto ftp = MakeClient();
        ftp->SetSecurity(GetParam().security);
        const auto response = ftp->Connect(sf::IPAddress(server_->host()), server_->port());
        EXPECT_EQ(response.GetStatus(), Status::TlsFailed);
        EXPECT_NE(response.GetMessage().find(row.expectedMessage), std::string::npos)
            << response.GetMessage();
        EXPECT_FALSE(ftp->Login("user", "secret").IsOk()) << "no password may follow a failed handshake";
    }
}

TEST_P(FtpTls, ATrustedCertificateCarriesLoginListingAndTransfers)
{
    TrustedFileGuard guard(certificate_.certFile);
    MakeRandomFile(server_->root() / "data.bin", 2 * 1024 * 1024 + 3, 21);
    TempDir local;
    for (const bool passive : { true, false }) {
        SCOPED_TRACE(passive ? "passive" : "active");
        auto ftp = MakeClient();
        ftp->SetPassive(passive);
        ASSERT_TRUE(OpenSession(*ftp, *server_, GetParam().security));
        const auto listing = ftp->GetDirectoryListing("");
        ASSERT_TRUE(listing.IsOk()) << listing.GetMessage();
        ASSERT_EQ(listing.GetCount(), 1u);
        EXPECT_EQ(listing.retFileInfo(0).name, "data.bin");

        sf::TranslateInfo progress;
        const auto response = ftp->Download("/data.bin", local.path().string(), progress);
        ASSERT_TRUE(response.IsOk()) << response.GetStatus() << " " << response.GetMessage();
        EXPECT_TRUE(ReadFile(local.path() / "data.bin") == ReadFile(server_->root() / "data.bin"));
        // The data connection offered the control connection's session, and pyftpdlib (over
        // Python's ssl module, which keeps a session cache per context) takes it.
        EXPECT_TRUE(ftp->LastDataSessionReused());
    }
}

TEST_P(FtpTls, TheCertificateMustNameTheHostConnectedTo)
{
    TrustedFileGuard guard(certificate_.certFile);
    // Same server, reached by a name the certificate (made for IP 127.0.0.1) does not hold.
    auto ftp = MakeClient();
    ftp->SetSecurity(GetParam().security);
    const auto response = ftp->Connect(sf::IPAddress("localhost"), server_->port());
    EXPECT_EQ(response.GetStatus(), Status::TlsFailed) << response.GetMessage();
    EXPECT_NE(response.GetMessage().find("could not be verified"), std::string::npos)
        << response.GetMessage();
}

TEST_P(FtpTls, CopiesBetweenATlsAndAPlainServer)
{
    TrustedFileGuard guard(certificate_.certFile);
    FtpServer plain;
    MakeRandomFile(server_->root() / "a.bin", 1024 * 1024 + 5, 22);
    MakeRandomFile(plain.root() / "b.bin", 700 * 1024, 23);
    auto secure = MakeClient();
    auto open = MakeClient();
    ASSERT_TRUE(OpenSession(*secure, *server_, GetParam().security));
    ASSERT_TRUE(OpenSession(*open, plain));

    sf::TranslateInfo progress;
    EXPECT_TRUE(secure->Relay(*open, "/a.bin", "/", progress, sf::Ftp::Binary).IsOk());
    EXPECT_TRUE(ReadFile(plain.root() / "a.bin") == ReadFile(server_->root() / "a.bin"));
    // Into the TLS server: the upload ends with a TLS close, and the server must take the
    // whole file.
    EXPECT_TRUE(open->Relay(*secure, "/b.bin", "/", progress, sf::Ftp::Binary).IsOk());
    EXPECT_TRUE(ReadFile(server_->root() / "b.bin") == ReadFile(plain.root() / "b.bin"));
    EXPECT_TRUE(Leftovers(server_->root()).empty());
}

INSTANTIATE_TEST_SUITE_P(Forms, FtpTls,
    testing::Values(TlsRow { "Explicit", FtpServerTls::Explicit, Security::ExplicitTls },
        TlsRow { "Implicit", FtpServerTls::Implicit, Security::ImplicitTls }),
    [](const testing::TestParamInfo<TlsRow>& info) { return std::string(info.param.name); });

// vsftpd accepts a data connection only when it resumes the control connection's session,
// and under TLS 1.3 each ticket once: every transfer of a session must offer a fresh one.
// This needs vsftpd (run as root, anonymous, on loopback); scripts/setup installs it.
TEST(FtpTlsReuse, EveryDataConnectionResumesTheSessionWhereTheServerInsists)
{
    VORN_REQUIRE(geteuid() == 0, "root, to start vsftpd");
    VORN_REQUIRE(access("/usr/sbin/vsftpd", X_OK) == 0, "/usr/sbin/vsftpd (package vsftpd)");
    TempDir dir;
    const auto certificate = MakeSelfSignedCertificate(dir.path());
    const auto served = dir.path() / "served";
    const auto empty = dir.path() / "empty"; // where vsftpd's unprivileged part is locked in
    MakeRandomFile(served / "a.bin", 1024 * 1024 + 1, 31);
    WriteFile(served / "b.bin", "small");
    std::filesystem::create_directory(empty);
    // The anonymous user reads the tree; mkdtemp made it private.
    for (const auto& path : { dir.path(), served, empty })
        chmod(path.c_str(), 0755);
    chmod((served / "a.bin").c_str(), 0644);
    chmod((served / "b.bin").c_str(), 0644);
    std::ofstream(dir.path() / "vsftpd.conf")
        << "listen=YES\nlisten_address=127.0.0.1\nlisten_port=0"
        << "\nbackground=NO\nanonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root="
        << served.string() << "\npasv_address=127.0.0.1\nsecure_chroot_dir=" << empty.string()
        << "\nssl_enable=YES\nallow_anon_ssl=YES"
        << "\nforce_anon_data_ssl=YES\nforce_anon_logins_ssl=YES\nrequire_ssl_reuse=YES\nrsa_cert_file="
        << certificate.certFile.string() << "\nrsa_private_key_file=" << certificate.keyFile.string() << "\n";
    Subprocess server(
        { "/usr/sbin/vsftpd", (dir.path() / "vsftpd.conf").string() }, dir.path() / "vsftpd.log");
    // vsftpd does not say which port it was given for port 0; the system does.
    const int port = ListeningPort(server.pid(), std::chrono::seconds(30));
    ASSERT_NE(port, 0) << ReadFile(dir.path() / "vsftpd.log");
    TrustedFileGuard guard(certificate.certFile);

    TempDir local;
    for (const bool passive : { true, false }) {
        SCOPED_TRACE(passive ? "passive" : "active");
        auto ftp = MakeClient();
        ftp->SetPassive(passive);
        ftp->SetSecurity(Security::ExplicitTls);
        const auto connected = ftp->Connect(sf::IPAddress("127.0.0.1"), static_cast<unsigned short>(port));
        ASSERT_TRUE(connected.IsOk()) << connected.GetMessage() << "\n"
                                      << ReadFile(dir.path() / "vsftpd.log");
        ASSERT_TRUE(ftp->Login("anonymous", "").IsOk());
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            const auto listing = ftp->GetDirectoryListing("");
            ASSERT_TRUE(listing.IsOk()) << listing.GetStatus() << " " << listing.GetMessage();
            EXPECT_TRUE(ftp->LastDataSessionReused());
            for (const std::string name : { "a.bin", "b.bin" }) {
                sf::TranslateInfo progress;
                const auto response = ftp->Download("/" + name, local.path().string(), progress);
                ASSERT_TRUE(response.IsOk()) << response.GetStatus() << " " << response.GetMessage();
                EXPECT_TRUE(ftp->LastDataSessionReused());
                EXPECT_TRUE(ReadFile(local.path() / name) == ReadFile(served / name));
            }
        }
    }
}

TEST(FtpTlsDowngrade, ExplicitTlsIsNeverGivenUpForPlainText)
{
    FtpServer plain; // answers AUTH TLS with 500
    auto ftp = MakeClient();
    ftp->SetSecurity(Security::ExplicitTls);
    const auto response = ftp->Connect(sf::IPAddress(plain.host()), plain.port());
    EXPECT_EQ(response.GetStatus(), Status::TlsFailed);
    EXPECT_NE(response.GetMessage().find("AUTH TLS"), std::string::npos) << response.GetMessage();
    EXPECT_EQ(ftp->Login("user", "secret").GetStatus(), Status::ConnectionClosed);
    EXPECT_EQ(plain.log().find("logged in"), std::string::npos) << plain.log();
}

} // namespace
