// The FTP test server must come up, behave as each variant promises towards an independent
// client (curl), and go away with its object; when it cannot start it must say why at once.
#include "support/FtpServer.h"
#include "support/SelfSignedCertificate.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vorn::test;

namespace {

// The first bytes the server sends on a fresh control connection ("" when none in time).
std::string Greeting(int port, std::chrono::milliseconds timeout)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string received;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        pollfd pfd { fd, POLLIN, 0 };
        char buffer[512];
        if (poll(&pfd, 1, static_cast<int>(timeout.count())) == 1) {
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got > 0)
                received.assign(buffer, static_cast<std::size_t>(got));
        }
    }
    close(fd);
    return received;
}

bool ProcessExists(pid_t pid)
{
    return kill(pid, 0) == 0 || errno != ESRCH;
}

} // namespace

TEST(FtpServerFixture, GreetsOnLoopbackAndIsGoneAfterDestruction)
{
    pid_t pid = 0;
    {
        FtpServer first;
        FtpServer second;
        pid = first.pid();
        EXPECT_EQ(first.host(), "127.0.0.1");
        EXPECT_NE(first.port(), second.port());
        EXPECT_TRUE(std::filesystem::is_directory(first.root()));
        EXPECT_EQ(Greeting(first.port(), std::chrono::seconds(30)).substr(0, 4), "220 ");
        EXPECT_TRUE(ProcessExists(pid));
    }
    EXPECT_FALSE(ProcessExists(pid));
}

TEST(FtpServerFixture, FailsLoudlyWhenTheServerCannotStart)
{
    FtpServerOptions options;
    options.root = "/nonexistent/vorn-test-root";
    try {
        FtpServer server(options);
        ADD_FAILURE() << "a server without its folder started on port " << server.port();
    } catch (const std::runtime_error& e) {
        // The server's own complaint reaches the test output.
        EXPECT_NE(std::string(e.what()).find("/nonexistent/vorn-test-root"), std::string::npos) << e.what();
    }
}

// Each variant checked through curl: exit code and what it received (see curl(1), "EXIT
// CODES": 18 partial file, 28 time-out, 67 login denied).
TEST(FtpServerFixture, VariantsBehaveAsPromisedTowardsARealClient)
{
    TempDir keys;
    const Certificate certificate = MakeSelfSignedCertificate(keys.path());
    const auto tls = [&](FtpServerOptions& o, FtpServerTls mode) {
        o.tls = mode;
        o.certFile = certificate.certFile;
        o.keyFile = certificate.keyFile;
    };

    struct Row {
        const char* name;
        std::function<void(FtpServerOptions&)> configure;
        std::vector<std::string> curlArgs; // "URL" stands for ftp[s]://user:secret@127.0.0.1:port
        int exitCode; // -1: any failure
        std::string received; // must occur in curl's output
        std::size_t receivedSize = std::string::npos;
    };
    const std::vector<Row> rows {
        { "Unix LIST", [](auto&) {}, { "URL/" }, 0, "big.bin" },
        { "MLSD offered", [](auto&) {}, { "-X", "MLSD", "URL/" }, 0, "size=300000;type=file;" },
        { "no MLSD", [](auto& o) { o.noMlsd = true; }, { "-X", "MLSD", "URL/" }, -1, "" },
        { "no MLSD, LIST still works", [](auto& o) { o.noMlsd = true; }, { "URL/" }, 0, "hello.txt" },
        { "DOS LIST, file", [](auto& o) { o.dosList = true; }, { "URL/" }, 0,
            "03-15-12  02:25PM               300000 big.bin" },
        { "DOS LIST, folder", [](auto& o) { o.dosList = true; }, { "URL/" }, 0,
            "03-15-12  12:05AM       <DIR>          a dir" },
        { "DOS LIST has no MLSD", [](auto& o) { o.dosList = true; }, { "-X", "MLSD", "URL/" }, -1, "" },
        { "explicit TLS", [&](auto& o) { tls(o, FtpServerTls::Explicit); },
            { "-k", "--ssl-reqd", "URL/hello.txt" }, 0, "hello over ftp" },
        { "explicit TLS refuses a plain login", [&](auto& o) { tls(o, FtpServerTls::Explicit); },
            { "URL/hello.txt" }, 67, "" },
        { "implicit TLS", [&](auto& o) { tls(o, FtpServerTls::Implicit); }, { "-k", "URL/hello.txt" }, 0,
            "hello over ftp" },
        { "dropped data", [](auto& o) { o.dropDataAfter = 1000; }, { "URL/big.bin" }, 18, "", 1000 },
        { "dropped data over TLS",
            [&](auto& o) {
                tls(o, FtpServerTls::Implicit);
                o.dropDataAfter = 5000;
            },
            { "-k", "URL/big.bin" }, 18, "", 5000 },
        { "stall after login", [](auto& o) { o.stallAfterLogin = true; }, { "-m", "1", "URL/" }, 28, "" },
        { "stall on connect", [](auto& o) { o.stallOnConnect = true; }, { "-m", "1", "URL/" }, 28, "" },
        // 300000 bytes at 100000 a second cannot arrive within one second.
        { "slow data", [](auto& o) { o.slowDataBytesPerSecond = 100000; }, { "-m", "1", "URL/big.bin" }, 28,
            "" },
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FtpServerOptions options;
        row.configure(options);
        FtpServer server(options);
        MakeRandomFile(server.root() / "big.bin", 300000, 7);
        WriteFile(server.root() / "hello.txt", "hello over ftp\n");
        std::filesystem::create_directory(server.root() / "a dir");
        SetModificationTime(server.root() / "big.bin", 1331821500); // 2012-03-15 14:25 UTC
        SetModificationTime(server.root() / "a dir", 1331769900); // 2012-03-15 00:05 UTC

        const std::string url = std::string(options.tls == FtpServerTls::Implicit ? "ftps" : "ftp")
            + "://user:secret@127.0.0.1:" + std::to_string(server.port());
        std::vector<std::string> argv { "/usr/bin/curl", "-s", "-S", "--max-time", "20" };
        for (std::string arg : row.curlArgs)
            argv.push_back(arg.starts_with("URL") ? url + arg.substr(3) : arg);
        TempDir curlLog;
        Subprocess curl(argv, curlLog.path() / "stderr");
        const std::optional<std::string> received = curl.ReadAll(std::chrono::seconds(30));
        const std::optional<int> exitCode = curl.Wait(std::chrono::seconds(30));
        ASSERT_TRUE(received && exitCode) << "curl did not finish";
        const std::string why = ReadFile(curlLog.path() / "stderr") + "\nserver log:\n" + server.log();
        if (row.exitCode < 0) {
            EXPECT_NE(*exitCode, 0) << why;
        } else {
            EXPECT_EQ(*exitCode, row.exitCode) << why;
        }
        EXPECT_NE(received->find(row.received), std::string::npos) << *received;
        if (row.receivedSize != std::string::npos) {
            EXPECT_EQ(received->size(), row.receivedSize);
        }
    }
}
