#include "SftpFixture.h"
#include "sftpclient/HostKeys.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using sftp::SftpSession;

constexpr std::uint64_t kThreshold = 1 << 20;
constexpr const char* kOpened = "Large files are read over a second connection";
constexpr const char* kRefused = "No second connection for large files";

class BulkReaderTest : public SftpTest {
protected:
    // `session` with the test's threshold, its trace lines kept in `lines`.
    void Watch(SftpSession& session)
    {
        session.SetBulkReadThreshold(kThreshold);
        session.SetTrace([this](const std::string& line) { lines += line + "\n"; });
    }
    // Downloads `name` of `s`'s data folder with its size, from `offset` on, into the
    // scratch file of the same name; the file as it is afterwards, or the failure.
    Result<std::string> Fetch(
        SftpSession& session, const SshServer& s, const std::string& name, std::uint64_t offset = 0)
    {
        const fs::path local = scratch.path() / name;
        const int fd = ::open(local.c_str(), O_RDWR | O_CREAT | (offset ? 0 : O_TRUNC) | O_CLOEXEC, 0600);
        const auto size = static_cast<std::int64_t>(fs::file_size(s.data() / name));
        auto got = session.Download((s.data() / name).string(), fd, offset, size);
        ::close(fd);
        if (!got)
            return got.error();
        EXPECT_EQ(*got, static_cast<std::uint64_t>(size) - offset);
        return ReadFile(local);
    }
    static std::string Log(const SshServer& s) { return ReadFile(s.folder() / "sshd.log"); }

    std::string lines;
};

struct LoginRow {
    const char* what;
    bool keyboardInteractive; // the server offers it instead of password
    bool key; // the key with its passphrase
    bool agent; // no password: the agent holds the key
    const char* accepted; // what sshd logs for each login
};

TEST_F(BulkReaderTest, LargeFilesComeWholeOverOneSecondConnectionWithEveryLogin)
{
    SshServer keyboard({ .password = false, .keyboardInteractive = true });
    const LoginRow rows[] = {
        { "password", false, false, false, "Accepted password for" },
        { "keyboard-interactive", true, false, false, "Accepted keyboard-interactive/pam for" },
        { "key with passphrase", false, true, false, "Accepted publickey for" },
        { "agent", false, false, true, "Accepted publickey for" },
    };
    for (const LoginRow& row : rows) {
        SCOPED_TRACE(row.what);
        const SshServer& s = row.keyboardInteractive ? keyboard : *server;
        MakeRandomFile(s.data() / "one.bin", (5 << 20) + 777, 21);
        MakeRandomFile(s.data() / "two.bin", (3 << 20) + 5, 22);
        MakeRandomFile(s.data() / "small.bin", 100000, 23);
        s.GiveToUser(s.data());
        std::optional<SshAgent> agent;
        if (row.agent) {
            agent.emplace();
            ASSERT_TRUE(agent->Add(s.key()));
        }
        lines.clear();
        const std::size_t loginsBefore = Count(Log(s), row.accepted);
        auto session = Trusting(s);
        Watch(*session);
        if (row.key)
            session->SetKeyFile(s.keyWithPassphrase().string());
        ASSERT_TRUE(session->Connect("127.0.0.1", s.port()));
        const char* secret = row.agent ? "" : row.key ? SshServer::passphrase : SshServer::password;
        ASSERT_TRUE(session->Login(SshServer::user, secret));
        for (const char* name : { "one.bin", "small.bin", "two.bin" }) {
            auto got = Fetch(*session, s, name);
            ASSERT_TRUE(got) << name << ": " << got.message();
            EXPECT_TRUE(*got == ReadFile(s.data() / name)) << name << " differs";
        }
        session->Disconnect();
        EXPECT_EQ(Count(lines, kOpened), 1u) << lines;
        EXPECT_EQ(Count(lines, kRefused), 0u) << lines;
        // The session's login and one more for both large files.
        EXPECT_EQ(Count(Log(s), row.accepted) - loginsBefore, 2u);
    }
}

TEST_F(BulkReaderTest, AResumedLargeDownloadContinuesAtItsOffset)
{
    constexpr std::uint64_t size = (6 << 20) + 99;
    MakeRandomFile(server->data() / "big.bin", size, 24);
    server->GiveToUser(server->data());
    auto session = LoggedIn(*server);
    Watch(*session);
    // Stopped by the hook: the part on disk is whole up to its end.
    std::uint64_t calls = 0;
    session->SetTransferHook([&] { return ++calls < 40; });
    auto cut = Fetch(*session, *server, "big.bin");
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.error().kind, ErrorKind::Cancelled) << cut.message();
    const std::string part = ReadFile(scratch.path() / "big.bin");
    ASSERT_GT(part.size(), 0u);
    ASSERT_LT(part.size(), size);
    EXPECT_TRUE(part == ReadFile(server->data() / "big.bin").substr(0, part.size()));

    session->SetTransferHook({});
    auto rest = Fetch(*session, *server, "big.bin", part.size());
    ASSERT_TRUE(rest) << rest.message();
    EXPECT_TRUE(*rest == ReadFile(server->data() / "big.bin"));
    // A stop drops the second connection; the next large file opens another.
    EXPECT_EQ(Count(lines, kOpened), 2u) << lines;
}

struct RefusalRow {
    const char* what;
    bool newHostKey; // the server listens again with another key, else not at all
    const char* reason; // in the trace line
};

TEST_F(BulkReaderTest, ASecondConnectionThatIsRefusedOrShowsAnotherKeyLeavesLargeFilesToTheFirst)
{
    const RefusalRow rows[] = {
        { "nobody listens any more", false, "Connecting to 127.0.0.1" },
        { "another host key", true, "showed another host key" },
    };
    MakeRandomFile(server->data() / "big.bin", (2 << 20) + 1, 25);
    server->GiveToUser(server->data());
    for (const RefusalRow& row : rows) {
        SCOPED_TRACE(row.what);
        lines.clear();
        auto session = LoggedIn(*server);
        Watch(*session);
        const std::size_t loginsBefore = Count(Log(*server), "Accepted password for");
        if (row.newHostKey)
            server->ListenAgain(true);
        else
            server->StopListening();
        for (int i = 0; i < 2; ++i) {
            auto got = Fetch(*session, *server, "big.bin");
            ASSERT_TRUE(got) << got.message();
            EXPECT_TRUE(*got == ReadFile(server->data() / "big.bin"));
        }
        EXPECT_EQ(Count(lines, kRefused), 1u) << lines;
        EXPECT_EQ(Count(lines, row.reason), 1u) << lines;
        EXPECT_EQ(Count(lines, kOpened), 0u) << lines;
        EXPECT_EQ(Count(Log(*server), "Accepted password for"), loginsBefore) << "no second login";
        session->Disconnect();
        server->ListenAgain(false);
    }
}

// A port on 127.0.0.1 that was free a moment ago.
unsigned short FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool Answers(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Behind 10 ms of round trip libssh2's reads are the faster ones: the second connection is
// not even opened.
TEST_F(BulkReaderTest, AFarServerKeepsLargeFilesOnTheFirstConnection)
{
    const unsigned short port = FreePort();
    Subprocess relay({ "/usr/bin/python3", std::string(VORN_SOURCE_DIR) + "/bench/tcp_delay_relay.py",
                         std::to_string(port), std::to_string(server->port()), "5" },
        scratch.path() / "relay.log");
    ASSERT_TRUE(WaitFor([&] { return Answers(port); }, std::chrono::seconds(15)));
    MakeRandomFile(server->data() / "big.bin", (2 << 20) + 3, 26);
    server->GiveToUser(server->data());
    const auto known = scratch.path() / "relayed_known_hosts";
    std::string line = server->KnownHostsLine();
    line.replace(line.find(':') + 1, line.find(' ') - line.find(':') - 1, std::to_string(port));
    WriteFile(known, line + "\n");
    SftpSession session;
    session.SetKnownHostsFiles("", known.string());
    Watch(session);
    ASSERT_TRUE(session.Connect("127.0.0.1", port));
    ASSERT_TRUE(session.Login(SshServer::user, SshServer::password));
    for (int i = 0; i < 2; ++i) {
        auto got = Fetch(session, *server, "big.bin");
        ASSERT_TRUE(got) << got.message();
        EXPECT_TRUE(*got == ReadFile(server->data() / "big.bin"));
    }
    EXPECT_EQ(Count(lines, "large files are read over the first connection"), 1u) << lines;
    EXPECT_EQ(Count(lines, kOpened), 0u) << lines;
    session.Disconnect();
    relay.Stop(std::chrono::seconds(2));
}

TEST(BulkReaderKeys, OnlyTheVerifiedKeyByteForByteIsTheSame)
{
    // An ed25519 public key blob: its type, then 32 bytes of key.
    const std::string blob = std::string("\0\0\0\x0bssh-ed25519\0\0\0\x20", 19) + std::string(32, '\x5a');
    sftp::HostKey verified;
    verified.type = "ssh-ed25519";
    verified.blob = "AAAAC3NzaC1lZDI1NTE5AAAAIFpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpa";
    ASSERT_EQ(sftp::DecodeKeyBlob(verified.blob), blob);
    std::string lastByte = blob;
    lastByte.back() = '\x5b';
    struct Row {
        const char* what;
        std::string offered;
        bool same;
    };
    const Row rows[] = {
        { "the same key", blob, true },
        { "its last byte differs", lastByte, false },
        { "a prefix of it", blob.substr(0, blob.size() - 1), false },
        { "it and one byte more", blob + "x", false },
        { "no key", "", false },
    };
    for (const Row& row : rows)
        EXPECT_EQ(sftp::SameKeyBlob(verified, row.offered), row.same) << row.what;
    EXPECT_FALSE(sftp::SameKeyBlob(sftp::HostKey {}, "")) << "nothing verified matches nothing";
}

} // namespace
} // namespace vorn::test
