#include "SftpFixture.h"

#include "support/TestFiles.h"

namespace vorn::test {

void SftpTest::SetUp()
{
    if (const std::string why = SshServer::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    server = std::make_unique<SshServer>();
}

std::unique_ptr<sftp::SftpSession> SftpTest::Trusting(const SshServer& s)
{
    const auto file = scratch.path() / ("known_hosts_" + std::to_string(s.port()));
    WriteFile(file, s.KnownHostsLine() + "\n");
    auto session = std::make_unique<sftp::SftpSession>();
    session->SetKnownHostsFiles("", file.string());
    session->SetConnectTimeout(std::chrono::seconds(10));
    session->SetInactivityTimeout(std::chrono::seconds(20));
    return session;
}

std::unique_ptr<sftp::SftpSession> SftpTest::LoggedIn(const SshServer& s)
{
    auto session = Trusting(s);
    const Status connected = session->Connect("127.0.0.1", s.port());
    EXPECT_TRUE(connected) << (connected ? "" : connected.message());
    const Status login = connected ? session->Login(SshServer::user, SshServer::password) : connected;
    EXPECT_TRUE(login) << (login ? "" : login.message());
    return session;
}

} // namespace vorn::test
