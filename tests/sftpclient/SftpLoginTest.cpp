#include "SftpFixture.h"
#include "sftpclient/HostKeys.h"
#include "support/ListeningPort.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn::test {
namespace {

using sftp::HostKeyCheck;
using sftp::SftpSession;

class SftpLoginTest : public SftpTest { };

struct LoginRow {
    const char* what;
    bool keyboardInteractiveOnly; // the server offers keyboard-interactive instead of password
    int key; // 0 none, 1 the key without passphrase, 2 the key with one
    const char* secret; // the password, or the key's passphrase
    bool accepted;
};

TEST_F(SftpLoginTest, EveryLoginMethodLogsInAndARefusalNamesTheOfferedMethods)
{
    SshServer keyboard({ .password = false, .keyboardInteractive = true });
    const LoginRow rows[] = {
        { "password", false, 0, SshServer::password, true },
        { "wrong password", false, 0, "not it", false },
        { "keyboard-interactive", true, 0, SshServer::password, true },
        { "keyboard-interactive, wrong answer", true, 0, "not it", false },
        { "key without passphrase", false, 1, "", true },
        { "key with its passphrase", false, 2, SshServer::passphrase, true },
        { "key with a wrong passphrase", false, 2, "wrong phrase", false },
    };
    for (const LoginRow& row : rows) {
        SCOPED_TRACE(row.what);
        const SshServer& s = row.keyboardInteractiveOnly ? keyboard : *server;
        auto session = Trusting(s);
        if (row.key)
            session->SetKeyFile((row.key == 1 ? s.key() : s.keyWithPassphrase()).string());
        ASSERT_TRUE(session->Connect("127.0.0.1", s.port()));
        const Status login = session->Login(SshServer::user, row.secret);
        EXPECT_EQ(login.ok(), row.accepted) << (login ? "" : login.message());
        if (login) {
            EXPECT_TRUE(session->CurrentFolder());
            continue;
        }
        EXPECT_EQ(login.error().kind, ErrorKind::ServerPermanent);
        const std::string offered
            = row.keyboardInteractiveOnly ? "publickey,keyboard-interactive" : "publickey,password";
        EXPECT_NE(login.message().find("the server offers: " + offered), std::string::npos)
            << login.message();
    }
}

TEST_F(SftpLoginTest, TheAgentLogsInWhenNoPasswordIsGiven)
{
    SshAgent agent;
    {
        auto session = Trusting(*server);
        ASSERT_TRUE(session->Connect("127.0.0.1", server->port()));
        const Status refused = session->Login(SshServer::user, "");
        ASSERT_FALSE(refused);
        EXPECT_NE(refused.message().find("publickey,password"), std::string::npos) << refused.message();
    }
    ASSERT_TRUE(agent.Add(server->key()));
    auto session = Trusting(*server);
    ASSERT_TRUE(session->Connect("127.0.0.1", server->port()));
    const Status login = session->Login(SshServer::user, "");
    EXPECT_TRUE(login) << (login ? "" : login.message());
}

TEST_F(SftpLoginTest, AnUnknownKeyIsRefusedWithItsFingerprintAndTrustedOnceStored)
{
    const auto own = scratch.path() / "db" / "known_hosts";
    SftpSession session;
    session.SetKnownHostsFiles("", own.string());
    const Status refused = session.Connect("127.0.0.1", server->port());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::Tls);
    const HostKeyCheck& check = session.HostKeyStatus();
    EXPECT_EQ(check.verdict, HostKeyCheck::Verdict::Unknown);
    EXPECT_EQ(check.offered.type, "ssh-ed25519");
    EXPECT_EQ(check.offered.fingerprint, server->Fingerprint());
    EXPECT_NE(refused.message().find("ssh-ed25519 " + server->Fingerprint()), std::string::npos)
        << refused.message();
    EXPECT_FALSE(session.Login(SshServer::user, SshServer::password));

    ASSERT_TRUE(sftp::TrustHostKey(own.string(), check.offered));
    struct stat st { };
    ASSERT_EQ(::stat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadFile(own), server->KnownHostsLine() + "\n");
    ASSERT_TRUE(session.Connect("127.0.0.1", server->port()));
    EXPECT_EQ(session.HostKeyStatus().verdict, HostKeyCheck::Verdict::Trusted);
    EXPECT_TRUE(session.Login(SshServer::user, SshServer::password));
}

TEST_F(SftpLoginTest, AChangedKeyIsRefusedNamingBothFingerprints)
{
    SshServer other;
    const auto own = scratch.path() / "known_hosts";
    // This server's address, stored with the other server's key: as if its key had changed.
    WriteFile(own, server->KnownHostsLineWithKeyOf(other) + "\n");
    SftpSession session;
    session.SetKnownHostsFiles("", own.string());
    const Status refused = session.Connect("127.0.0.1", server->port());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::Tls);
    EXPECT_EQ(session.HostKeyStatus().verdict, HostKeyCheck::Verdict::Changed);
    EXPECT_EQ(session.HostKeyStatus().knownFingerprint, other.Fingerprint());
    EXPECT_NE(refused.message().find(other.Fingerprint()), std::string::npos) << refused.message();
    EXPECT_NE(refused.message().find(server->Fingerprint()), std::string::npos) << refused.message();
    EXPECT_EQ(ReadFile(own), server->KnownHostsLineWithKeyOf(other) + "\n");
}

TEST_F(SftpLoginTest, TheUsersHashedKnownHostsAreRead)
{
    const auto user = scratch.path() / "user_known_hosts";
    WriteFile(user, server->KnownHostsLine() + "\n");
    {
        Subprocess hash({ "/usr/bin/ssh-keygen", "-H", "-f", user.string() }, scratch.path() / "hash.log");
        ASSERT_EQ(hash.Wait(std::chrono::seconds(15)).value_or(-1), 0);
    }
    const std::string hashed = ReadFile(user);
    ASSERT_EQ(hashed.rfind("|1|", 0), 0u) << hashed;
    // Lines this library cannot read (a marker, an unknown type) must not hide the others.
    WriteFile(user,
        "@cert-authority *.example ssh-ed25519 AAAA\nexample.org sk-ssh-ed25519@openssh.com AAAA\n" + hashed);
    SftpSession session;
    session.SetKnownHostsFiles(user.string(), (scratch.path() / "own").string());
    const Status connected = session.Connect("127.0.0.1", server->port());
    EXPECT_TRUE(connected) << (connected ? "" : connected.message());
    EXPECT_EQ(session.HostKeyStatus().verdict, HostKeyCheck::Verdict::Trusted);
}

TEST_F(SftpLoginTest, ConnectingEndsWithAReasonWhereNoServerAnswers)
{
    // A socket that listens but never speaks: the kernel completes the connection, the
    // greeting never comes.
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    RefusingPort refusing;

    struct Row {
        const char* what;
        std::uint16_t port;
        ErrorKind kind;
        const char* begins;
    };
    const Row rows[] = {
        { "nobody listens", refusing.port(), ErrorKind::Network, "Connecting to 127.0.0.1:" },
        { "nobody speaks", ntohs(address.sin_port), ErrorKind::TimedOut, "SSH key exchange" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SftpSession session;
        session.SetConnectTimeout(std::chrono::seconds(1));
        const auto start = std::chrono::steady_clock::now();
        const Status s = session.Connect("127.0.0.1", row.port);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().kind, row.kind) << s.message();
        EXPECT_EQ(s.message().rfind(row.begins, 0), 0u) << s.message();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    ::close(silent);
}

} // namespace
} // namespace vorn::test
