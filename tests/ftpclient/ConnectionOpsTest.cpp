// The connection operations of the engine: display texts, local and remote folders, browsing
// on sessions of their own, and the keep-alive thread.
#include "engine/ConnectionOps.h"

#include "ClientFixture.h"
#include "engine/KeepAliveThread.h"
#include "support/ListeningPort.h"
#include "support/SelfSignedCertificate.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/TrustedFileGuard.h"
#include "support/WaitFor.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

namespace {

using namespace vorn::test;
using vorn::RemoteEntry;
using vorn::ServerLogin;
namespace fs = std::filesystem;

ServerLogin LoginFor(const FtpServer& server, std::string host = "")
{
    return { host.empty() ? server.host() : host, server.options().user, server.options().password,
        static_cast<std::uint16_t>(server.port()) };
}

std::vector<std::string> Names(const std::vector<RemoteEntry>& rows)
{
    std::vector<std::string> names;
    for (const auto& row : rows) {
        if (row.name != "." && row.name != "..")
            names.push_back(row.name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DisplayTexts, SizeTextGoesByLengthAndReadsSixtyFourBits)
{
    struct Row {
        const char* size;
        const char* display;
    };
    const Row rows[] = {
        { "", " B" },
        { "0", "0 B" },
        { "512", "512 B" },
        { "999", "999 B" },
        { "1000", "1.0 KB" },
        { "1024", "1.0 KB" },
        { "2048", "2.0 KB" },
        { "1536", "1.5 KB" },
        { "0000", "0.0 KB" },
        // 5 GiB: beyond 32 bits.
        { "5368709120", "5242880.0 KB" },
    };
    for (const auto& row : rows)
        EXPECT_EQ(vorn::FormatSizeText(row.size), row.display) << row.size;
}

TEST(DisplayTexts, ListingTimeBecomesMonthDayYear)
{
    struct Row {
        const char* listed;
        const char* display;
    };
    const Row rows[] = {
        { "20120315", "03/15/2012" },
        { "2012031514:25", "03/15/2012 14:25" },
        { "1999123100:00", "12/31/1999 00:00" },
        { "", "" },
        { "2012031", "" },
        // A time of day cut short is left out, never read past the end.
        { "201203151:", "03/15/2012" },
        { "2012031514:2", "03/15/2012" },
    };
    for (const auto& row : rows)
        EXPECT_EQ(vorn::FormatListingTime(row.listed), row.display) << row.listed;
}

TEST(DisplayTexts, ReplaceCharChangesEveryOccurrence)
{
    std::string path = "/docs/a/b.txt";
    vorn::ReplaceChar('/', '\\', path);
    EXPECT_EQ(path, "\\docs\\a\\b.txt");
    std::string none = "abc";
    vorn::ReplaceChar('x', 'y', none);
    EXPECT_EQ(none, "abc");
}

TEST(LocalFolder, AnyExistingFolderCountsAndOneLevelIsCreated)
{
    TempDir base;
    const auto root = base.path();
    fs::create_directory(root / "plain");
    WriteFile(root / "plain" / "inside.txt", "x");
    fs::create_directory(root / "read only");
    ASSERT_EQ(chmod((root / "read only").c_str(), 0555), 0);
    WriteFile(root / "a file", "data");

    EXPECT_TRUE(vorn::EnsureLocalFolder((root / "plain").string()));
    EXPECT_EQ(ReadFile(root / "plain" / "inside.txt"), "x");
    EXPECT_TRUE(vorn::EnsureLocalFolder((root / "read only").string()));
    EXPECT_TRUE(vorn::EnsureLocalFolder((root / "new folder").string()));
    EXPECT_TRUE(fs::is_directory(root / "new folder"));
    EXPECT_TRUE(vorn::EnsureLocalFolder((root / "Grüße").string()));
    EXPECT_TRUE(fs::is_directory(root / "Grüße"));
    const vorn::Status onAFile = vorn::EnsureLocalFolder((root / "a file").string());
    EXPECT_FALSE(onAFile);
    EXPECT_EQ(onAFile.message(),
        "Cannot create the folder " + (root / "a file").string() + ": a file of that name is in the way");
    EXPECT_EQ(ReadFile(root / "a file"), "data");
    EXPECT_FALSE(vorn::EnsureLocalFolder((root / "no" / "such" / "parent").string()));
    EXPECT_FALSE(fs::exists(root / "no"));
    EXPECT_FALSE(vorn::EnsureLocalFolder(""));
    chmod((root / "read only").c_str(), 0755);
}

TEST(RemoteFolder, EnsureEntersAnExistingFolderAndCreatesOnlyTheLastLevel)
{
    FtpServer server;
    fs::create_directories(server.root() / "site" / "img");
    auto ftp = MakeRemoteSession();
    ASSERT_TRUE(vorn::ConnectAndLogin(LoginFor(server), *ftp));

    ASSERT_TRUE(vorn::EnsureRemoteFolder(*ftp, "/site/img"));
    EXPECT_EQ(*ftp->CurrentFolder(), "/site/img");
    EXPECT_EQ(server.log().find("MKD"), std::string::npos) << "an existing folder is only entered";

    ASSERT_TRUE(vorn::EnsureRemoteFolder(*ftp, "/site/new one"));
    EXPECT_TRUE(fs::is_directory(server.root() / "site" / "new one"));
    EXPECT_EQ(*ftp->CurrentFolder(), "/site/img") << "creating does not enter";

    const vorn::Status missing = vorn::EnsureRemoteFolder(*ftp, "/missing/child");
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.message().starts_with("550 ")) << missing.message();
    EXPECT_TRUE(missing.message().ends_with(" (/missing/child)")) << missing.message();
    EXPECT_EQ(missing.error().replyCode, 550);
    EXPECT_FALSE(fs::exists(server.root() / "missing"));
}

TEST(RemoteFolder, ConnectAndLoginFollowsTheSchemeOfTheHostTextAndSaysWhyItFailed)
{
    TempDir certificates;
    const auto certificate = MakeSelfSignedCertificate(certificates.path());
    const TrustedFileGuard trusted(certificate.certFile);
    FtpServerOptions tlsOptions;
    tlsOptions.tls = FtpServerTls::Explicit;
    tlsOptions.certFile = certificate.certFile;
    tlsOptions.keyFile = certificate.keyFile;
    FtpServer tlsServer(tlsOptions);
    FtpServer plainServer;
    FtpServerOptions silentOptions;
    silentOptions.stallOnConnect = true;
    FtpServer silentServer(silentOptions);

    struct Row {
        const char* name;
        ServerLogin login;
        bool trusted; // the test certificate is in the trusted file
        std::string reason; // a regular expression; empty for a good login
    };
    ServerLogin wrongPassword = LoginFor(plainServer);
    wrongPassword.password = "wrong";
    ServerLogin closedPort = LoginFor(plainServer);
    closedPort.port = 1; // nothing listens there
    const std::string silentAt = "127\\.0\\.0\\.1:" + std::to_string(silentServer.port());
    const Row rows[] = {
        { "plain", LoginFor(plainServer), true, "" },
        { "wrong password", wrongPassword, true, "Login refused: 530 Authentication failed\\." },
        { "ftpes:// to a TLS server", LoginFor(tlsServer, "ftpes://127.0.0.1"), true, "" },
        // The server insists on TLS, so a plain login is refused.
        { "bare host to a TLS server", LoginFor(tlsServer), true, "Login refused: 5\\d\\d .+" },
        { "ftpes:// to a plain server", LoginFor(plainServer, "ftpes://127.0.0.1"), true,
            "The server refused TLS \\(AUTH TLS\\): .+" },
        { "certificate nobody trusts", LoginFor(tlsServer, "ftpes://127.0.0.1"), false,
            "Certificate not trusted: self[- ]signed certificate \\(ftpes://127\\.0\\.0\\.1\\)" },
        { "silent server", LoginFor(silentServer), true, "No answer from " + silentAt + " within 1 s" },
        { "closed port", closedPort, true, "Connecting to 127\\.0\\.0\\.1:1 failed: Connection refused\\.?" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sf::Ftp::SetTrustedCertificatesFile(row.trusted ? certificate.certFile.string() : "");
        auto ftp = MakeRemoteSession(row.login.host);
        // Only where the wait is the point: pyftpdlib answers a wrong password after 3 s.
        if (row.login.port == silentServer.port())
            ftp->SetInactivityTimeout(std::chrono::seconds(1));
        const vorn::Status result = vorn::ConnectAndLogin(row.login, *ftp);
        const std::string message = result ? std::string() : result.message();
        EXPECT_EQ(result.ok(), row.reason.empty()) << message;
        EXPECT_TRUE(std::regex_match(message, std::regex(row.reason))) << message;
    }
}

TEST(Browse, EnterAndLeaveWalkTheTreeBelowTheLoginFolder)
{
    FtpServer server;
    fs::create_directories(server.root() / "site" / "img");
    WriteFile(server.root() / "site" / "index.html", "12345");
    SetModificationTime(server.root() / "site" / "index.html", 1331821500); // 2012-03-15 14:25 UTC
    WriteFile(server.root() / "site" / "img" / "logo.png", "png");
    WriteFile(server.root() / "top.txt", "t");
    const auto login = LoginFor(server);

    std::string path = "/";
    std::vector<RemoteEntry> rows;
    ASSERT_TRUE(vorn::EnterRemoteFolder("site", path, login, rows));
    EXPECT_EQ(path, "/site");
    EXPECT_EQ(Names(rows), (std::vector<std::string> { "img", "index.html" }));
    for (const auto& row : rows) {
        if (row.name == "index.html") {
            EXPECT_TRUE(row.isFile);
            EXPECT_EQ(row.size, "5");
            EXPECT_EQ(row.time, "03/15/2012 14:25");
        } else if (row.name == "img") {
            EXPECT_FALSE(row.isFile);
        }
    }

    rows.clear();
    ASSERT_TRUE(vorn::EnterRemoteFolder("img", path, login, rows));
    EXPECT_EQ(path, "/site/img");
    EXPECT_EQ(Names(rows), std::vector<std::string> { "logo.png" });

    // Rows are appended, not replaced: the screens clear them.
    ASSERT_TRUE(vorn::EnterRemoteFolder(".", path, login, rows));
    EXPECT_EQ(path, "/site/img");
    EXPECT_EQ(Names(rows), (std::vector<std::string> { "logo.png", "logo.png" }));

    rows.clear();
    ASSERT_TRUE(vorn::LeaveRemoteFolder(path, rows, login));
    EXPECT_EQ(path, "/site");
    EXPECT_EQ(Names(rows), (std::vector<std::string> { "img", "index.html" }));

    rows.clear();
    ASSERT_TRUE(vorn::LeaveRemoteFolder(path, rows, login));
    EXPECT_EQ(path, "/");
    EXPECT_EQ(Names(rows), (std::vector<std::string> { "site", "top.txt" }));

    rows.clear();
    ASSERT_TRUE(vorn::LeaveRemoteFolder(path, rows, login));
    EXPECT_EQ(path, "/") << "the login folder is as far up as browsing goes";
    EXPECT_EQ(Names(rows), (std::vector<std::string> { "site", "top.txt" }));

    // A typed path (the "FTP Path:" field) from the root, with or without its slashes.
    for (const std::string typed : { "site/img", "/site/img/", "site//img" }) {
        SCOPED_TRACE(typed);
        path = "/";
        rows.clear();
        ASSERT_TRUE(vorn::EnterRemoteFolder(typed, path, login, rows));
        EXPECT_EQ(path, "/site/img");
        EXPECT_EQ(Names(rows), std::vector<std::string> { "logo.png" });
    }
}

TEST(Browse, AFailureLeavesPathAndRowsAsTheyWere)
{
    FtpServer server;
    fs::create_directories(server.root() / "site");
    const std::vector<RemoteEntry> before = { { "kept", "01/01/2020", "1", true } };
    ServerLogin wrong = LoginFor(server);
    wrong.password = "wrong";
    const RefusingPort refusing;

    struct Row {
        const char* name;
        ServerLogin login;
        std::string child;
    };
    const Row rows[] = {
        { "login fails", wrong, "site" },
        { "missing folder", LoginFor(server), "missing" },
        { "no server", ServerLogin { "127.0.0.1", "user", "secret", refusing.port() }, "site" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = "/site";
        auto list = before;
        EXPECT_FALSE(vorn::EnterRemoteFolder(row.child, path, row.login, list));
        EXPECT_EQ(path, "/site");
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].name, "kept");
        if (std::string(row.name) != "missing folder") {
            EXPECT_FALSE(vorn::LeaveRemoteFolder(path, list, row.login));
            EXPECT_EQ(path, "/site");
            EXPECT_EQ(list.size(), 1u);
        }
    }
}

TEST(KeepAlive, BeatsOnItsPeriodAndStopsAtOnce)
{
    FtpServer server;
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));
    std::atomic<int> answered { 0 };
    {
        vorn::KeepAliveThread keepAlive(
            [&] {
                if (ftp->KeepAlive().GetStatus() == 200)
                    ++answered;
            },
            std::chrono::milliseconds(20));
        EXPECT_TRUE(WaitFor([&] { return answered >= 3; }, std::chrono::seconds(30)));
        keepAlive.Stop();
        const int afterStop = answered;
        EXPECT_FALSE(WaitFor([&] { return answered != afterStop; }, std::chrono::milliseconds(200)));
    }
    // The session is still in step after the beats.
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
}

TEST(KeepAlive, ARunShorterThanThePeriodSendsNothingAndStopsAtOnce)
{
    std::atomic<int> beats { 0 };
    // Ending the thread must not wait out its period (100 s), far beyond the bound here.
    auto ended = std::async(std::launch::async,
        [&] { vorn::KeepAliveThread keepAlive([&] { ++beats; }, vorn::KeepAliveThread::defaultPeriod); });
    ASSERT_EQ(ended.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(beats, 0);

    // The same through the connections' constructor: nothing is sent, and a session that was
    // never used stays usable.
    FtpServer server;
    auto first = MakeRemoteSession();
    auto second = MakeRemoteSession();
    ASSERT_TRUE(vorn::ConnectAndLogin(LoginFor(server), *first));
    ASSERT_TRUE(vorn::ConnectAndLogin(LoginFor(server), *second));
    {
        vorn::KeepAliveThread keepAlive(*first, second.get());
    }
    EXPECT_TRUE(first->KeepAlive());
    EXPECT_TRUE(second->KeepAlive());
}

TEST(KeepAlive, StopWaitsForABeatUnderWaySoTheSessionCanGo)
{
    FtpServerOptions options;
    options.stallAfterLogin = true;
    FtpServer server(options);
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));
    ftp->SetInactivityTimeout(std::chrono::milliseconds(800));
    std::atomic<bool> inBeat { false };
    auto keepAlive = std::make_unique<vorn::KeepAliveThread>(
        [&] {
            inBeat = true;
            (void)ftp->KeepAlive();
            inBeat = false;
        },
        std::chrono::milliseconds(1));
    ASSERT_TRUE(WaitFor([&] { return inBeat.load(); }, std::chrono::seconds(30)));
    keepAlive->Stop();
    EXPECT_FALSE(inBeat) << "Stop returned while a beat was still talking to the server";
    keepAlive.reset();
    ftp.reset(); // safe now: nobody is inside the session
}

} // namespace
