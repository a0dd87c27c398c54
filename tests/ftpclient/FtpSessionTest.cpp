// The control connection against real pyftpdlib servers on 127.0.0.1: logging in, folder
// commands, listings in every form, and every way a server can leave the client waiting.
#include "ClientFixture.h"
#include "support/ListeningPort.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <thread>

namespace {

using namespace vorn::test;
namespace fs = std::filesystem;

TEST(FtpSession, LoginSucceedsOnlyWithTheRightUserAndPassword)
{
    FtpServer server;
    struct Row {
        const char* user;
        const char* password;
        bool ok;
    };
    const Row rows[] = { { "user", "secret", true }, { "user", "wrong", false },
        { "nobody", "secret", false }, { "user", "", false } };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.user) + "/" + row.password);
        auto ftp = MakeClient();
        ASSERT_TRUE(ftp->Connect(sf::IPAddress(server.host()), server.port()).IsOk());
        const auto login = ftp->Login(row.user, row.password);
        EXPECT_EQ(login.IsOk(), row.ok) << login.GetMessage();
        if (!row.ok) {
            EXPECT_EQ(login.GetStatus(), 530);
            // Not logged in: the server refuses work, and the client reports it as a failure.
            EXPECT_FALSE(ftp->GetWorkingDirectory().IsOk());
        } else {
            EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
        }
    }
}

// pyftpdlib offers UTF8 in FEAT before the login but takes OPTS only after it (530 before):
// the request is sent again once logged in.
TEST(FtpSession, Utf8IsAskedForAgainAfterTheLoginWhenRefusedBeforeIt)
{
    FtpServerOptions options;
    options.logCommands = true;
    FtpServer server(options);
    auto ftp = MakeClient();
    ASSERT_TRUE(ftp->Connect(sf::IPAddress(server.host()), server.port()).IsOk());
    ASSERT_TRUE(ftp->Login("user", "secret").IsOk());
    const std::string log = server.log();
    const auto pass = log.find("<- PASS");
    ASSERT_NE(pass, std::string::npos) << log;
    const auto again = log.find("<- OPTS UTF8 ON", pass);
    ASSERT_NE(again, std::string::npos) << log;
    EXPECT_EQ(log.find("-> 530", again), std::string::npos)
        << log; // pyftpdlib answers 501: UTF-8 is all it speaks
}

TEST(FtpSession, ConnectToAPortNobodyListensOnFailsAtOnce)
{
    const RefusingPort refusing;
    auto ftp = MakeClient();
    // Refused, not timed out: the connect time-out is far longer than the wait allowed here.
    ftp->SetConnectTimeout(std::chrono::seconds(120));
    auto connecting = std::async(
        std::launch::async, [&] { return ftp->Connect(sf::IPAddress("127.0.0.1"), refusing.port()); });
    ASSERT_EQ(connecting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const auto response = connecting.get();
    EXPECT_FALSE(response.IsOk());
    EXPECT_EQ(response.GetStatus(), sf::Ftp::Response::ConnectionFailed) << response.GetMessage();
    // Whatever is asked afterwards fails as "not connected", without waiting.
    EXPECT_EQ(ftp->GetWorkingDirectory().GetStatus(), sf::Ftp::Response::ConnectionClosed);
    EXPECT_EQ(ftp->KeepAlive().GetStatus(), sf::Ftp::Response::ConnectionClosed);
}

TEST(FtpSession, ASilentServerTimesOutAndLeavesTheSessionClosed)
{
    {
        SCOPED_TRACE("no greeting");
        FtpServerOptions options;
        options.stallOnConnect = true;
        FtpServer server(options);
        auto ftp = MakeClient();
        ftp->SetInactivityTimeout(std::chrono::milliseconds(300));
        auto connecting = std::async(
            std::launch::async, [&] { return ftp->Connect(sf::IPAddress(server.host()), server.port()); });
        // The server never greets: only the client's own time-out can end the wait.
        ASSERT_EQ(connecting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        const auto response = connecting.get();
        EXPECT_EQ(response.GetStatus(), sf::Ftp::Response::TimedOut) << response.GetMessage();
    }
    {
        SCOPED_TRACE("no answer after login");
        FtpServerOptions options;
        options.stallAfterLogin = true;
        FtpServer server(options);
        auto ftp = MakeClient();
        ASSERT_TRUE(OpenSession(*ftp, server));
        ftp->SetInactivityTimeout(std::chrono::milliseconds(300));
        auto asking = std::async(std::launch::async, [&] { return ftp->GetWorkingDirectory(); });
        ASSERT_EQ(asking.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        const auto pwd = asking.get();
        EXPECT_EQ(pwd.GetStatus(), sf::Ftp::Response::TimedOut) << pwd.GetMessage();
        EXPECT_NE(pwd.GetMessage().find("did not answer"), std::string::npos) << pwd.GetMessage();
        // A late answer would now belong to the wrong command, so the session is closed.
        EXPECT_EQ(ftp->ChangeDirectory("/").GetStatus(), sf::Ftp::Response::ConnectionClosed);
    }
}

TEST(FtpSession, CancelEndsAWaitFromAnotherThreadAndEveryLaterOne)
{
    FtpServerOptions options;
    options.stallAfterLogin = true;
    FtpServer server(options);
    auto ftp = MakeClient();
    ftp->SetInactivityTimeout(std::chrono::seconds(60));
    ASSERT_TRUE(OpenSession(*ftp, server));

    std::atomic<bool> asking { false };
    auto pending = std::async(std::launch::async, [&] {
        asking = true;
        return ftp->GetWorkingDirectory();
    });
    ASSERT_TRUE(WaitFor([&] { return asking.load(); }, std::chrono::seconds(30)));
    ftp->Cancel();
    // Well inside the 60 s time-out: only the cancel can have ended the wait.
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(pending.get().GetStatus(), sf::Ftp::Response::Cancelled);

    const auto again = ftp->Connect(sf::IPAddress(server.host()), server.port());
    EXPECT_EQ(again.GetStatus(), sf::Ftp::Response::Cancelled);
}

TEST(FtpSession, FolderCommandsAndTheirNames)
{
    FtpServer server;
    WriteFile(server.root() / "old name.txt", "abc");
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));

    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
    // Names with blanks, quotes (doubled in the PWD reply) and UTF-8 come back as they went.
    for (const std::string name : { "/a b", "/say \"hi\"", "/Grüße", "/a b/ c " }) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(ftp->MakeDirectory(name).IsOk());
        EXPECT_TRUE(fs::is_directory(server.root() / name.substr(1)));
        ASSERT_TRUE(ftp->ChangeDirectory(name).IsOk());
        const auto pwd = ftp->GetWorkingDirectory();
        EXPECT_TRUE(pwd.IsOk());
        EXPECT_EQ(pwd.GetDirectory(), name);
        EXPECT_TRUE(ftp->ChangeDirectory("/").IsOk());
    }
    EXPECT_FALSE(ftp->MakeDirectory("/a b").IsOk()) << "exists already";
    EXPECT_FALSE(ftp->MakeDirectory("/missing/child").IsOk()) << "one level only";
    EXPECT_FALSE(ftp->ChangeDirectory("/missing").IsOk());

    ASSERT_TRUE(ftp->ChangeDirectory("/a b/ c ").IsOk());
    ASSERT_TRUE(ftp->ParentDirectory().IsOk());
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/a b");

    EXPECT_TRUE(ftp->Rename("/old name.txt", "/a b/new name.txt").IsOk());
    EXPECT_EQ(ReadFile(server.root() / "a b" / "new name.txt"), "abc");
    EXPECT_FALSE(ftp->Rename("/old name.txt", "/x").IsOk()) << "gone already";
    EXPECT_TRUE(ftp->DeleteFile("/a b/new name.txt").IsOk());
    EXPECT_FALSE(fs::exists(server.root() / "a b" / "new name.txt"));
    EXPECT_FALSE(ftp->DeleteFile("/a b/new name.txt").IsOk());
    EXPECT_TRUE(ftp->KeepAlive().IsOk());
    EXPECT_TRUE(ftp->Disconnect().IsOk());
    EXPECT_FALSE(ftp->KeepAlive().IsOk());
}

TEST(FtpSession, LineBreaksInANameNeverReachTheServer)
{
    FtpServer server;
    WriteFile(server.root() / "keep.txt", "x");
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));
    const auto injected = ftp->ChangeDirectory("/\r\nDELE /keep.txt");
    EXPECT_EQ(injected.GetStatus(), sf::Ftp::Response::InvalidArgument);
    EXPECT_EQ(ftp->MakeDirectory(std::string("/a\nb")).GetStatus(), sf::Ftp::Response::InvalidArgument);
    EXPECT_TRUE(fs::exists(server.root() / "keep.txt"));
    // The session is still in step.
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
}

// One server form per row; each lists the same folder.
struct ListingRow {
    const char* name;
    bool noMlsd;
    bool dosList;
    const char* datedFileTime; // the time text of a file dated 15 March 2012 14:25:00 UTC
};

// Test names and failure messages show the row by its name.
void PrintTo(const ListingRow& row, std::ostream* out)
{
    *out << row.name;
}

class FtpListing : public testing::TestWithParam<ListingRow> { };

TEST_P(FtpListing, NamesSizesKindsAndTimesComeThrough)
{
    const auto& row = GetParam();
    FtpServerOptions options;
    options.noMlsd = row.noMlsd;
    options.dosList = row.dosList;
    FtpServer server(options);
    WriteFile(server.root() / "a b.txt", "12345");
    WriteFile(server.root() / "Grüße €.txt", "xyz");
    WriteFile(server.root() / "zero", "");
    WriteFile(server.root() / "sub dir" / "inner.txt", "i");
    WriteFile(server.root() / "dated.txt", "d");
    SetModificationTime(server.root() / "dated.txt", 1331821500); // 2012-03-15 14:25:00 UTC

    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));
    ASSERT_TRUE(ftp->ChangeDirectory("/").IsOk());
    const auto listing = ftp->GetDirectoryListing("");
    ASSERT_TRUE(listing.IsOk()) << listing.GetMessage();

    std::map<std::string, sf::Info> byName;
    for (std::size_t i = 0; i < listing.GetCount(); ++i) {
        const auto& info = listing.retFileInfo(i);
        if (info.name != "." && info.name != "..")
            byName[info.name] = info;
    }
    ASSERT_EQ(byName.size(), 5u) << server.log();
    ASSERT_TRUE(byName.count("a b.txt"));
    EXPECT_TRUE(byName["a b.txt"].IsFile());
    EXPECT_EQ(byName["a b.txt"].size, "5");
    ASSERT_TRUE(byName.count("Grüße €.txt"));
    EXPECT_EQ(byName["Grüße €.txt"].size, "3");
    ASSERT_TRUE(byName.count("zero"));
    EXPECT_EQ(byName["zero"].size, "0");
    ASSERT_TRUE(byName.count("sub dir"));
    EXPECT_FALSE(byName["sub dir"].IsFile());
    ASSERT_TRUE(byName.count("dated.txt"));
    EXPECT_EQ(byName["dated.txt"].time, row.datedFileTime);

    // A sub-folder by its path, and an empty one.
    const auto inner = ftp->GetDirectoryListing("/sub dir");
    ASSERT_TRUE(inner.IsOk());
    ASSERT_EQ(inner.GetCount(), 1u);
    EXPECT_EQ(inner.retFileInfo(0).name, "inner.txt");
    fs::create_directory(server.root() / "empty");
    ASSERT_TRUE(ftp->ChangeDirectory("/empty").IsOk());
    const auto empty = ftp->GetDirectoryListing("");
    ASSERT_TRUE(empty.IsOk());
    for (std::size_t i = 0; i < empty.GetCount(); ++i)
        EXPECT_TRUE(empty.retFileInfo(i).name == "." || empty.retFileInfo(i).name == "..");
}

INSTANTIATE_TEST_SUITE_P(Forms, FtpListing,
    testing::Values(ListingRow { "Mlsd", false, false, "2012031514:25" },
        // Unix LIST gives an old date with its year and no time.
        ListingRow { "UnixList", true, false, "20120315" },
        ListingRow { "DosList", false, true, "2012031514:25" }),
    [](const testing::TestParamInfo<ListingRow>& info) { return std::string(info.param.name); });

TEST(FtpSession, ListingAMissingFolderFailsAndTheSessionGoesOn)
{
    FtpServer server;
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));
    EXPECT_FALSE(ftp->GetDirectoryListing("/missing").IsOk());
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
}

} // namespace
