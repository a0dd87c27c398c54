// Commands sent ahead against real servers on 127.0.0.1: EPSV with RETR in one write, the next
// file's download sent as the data of the current one ends, and MDTM of a whole folder in one
// batch. Each server must answer them in order, a refusal in the middle must leave the session
// in step, and a server that answers slowly must change nothing but the time.
#include "ClientFixture.h"
#include "support/Requirement.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/VsftpdServer.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <unistd.h>
#include <utime.h>

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

constexpr std::time_t kOld = 1331821537; // 2012-03-15 14:25:37 UTC: vsftpd lists the day only
const char* const kOldText = "20120315142537";

sf::Ftp::Response Fetch(sf::Ftp& ftp, const fs::path& folder, const std::string& path, std::int64_t listed)
{
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    sf::TranslateInfo progress;
    auto response = ftp.DownloadInto(folderFd, folder.string(), path, listed, progress);
    ::close(folderFd);
    return response;
}

// The commands the scripted server received after the login.
std::vector<std::string> Commands(const std::string& log)
{
    std::vector<std::string> commands;
    std::istringstream lines(log);
    bool loggedIn = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("<- ", 0) != 0)
            continue;
        if (loggedIn && line != "<- QUIT")
            commands.push_back(line.substr(3));
        loggedIn = loggedIn || line.rfind("<- PASS", 0) == 0;
    }
    return commands;
}

// The commands the scripted server received in each read of the control connection, for the
// reads that hold a CWD: the commands a client sent together with it.
std::vector<std::vector<std::string>> ReadsWithCwd(const std::string& log)
{
    std::vector<std::vector<std::string>> reads;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line == "-- read")
            reads.emplace_back();
        else if (line.rfind("<- ", 0) == 0 && !reads.empty())
            reads.back().push_back(line.substr(3));
    }
    std::erase_if(reads, [](const auto& read) {
        return std::none_of(
            read.begin(), read.end(), [](const std::string& c) { return c.rfind("CWD", 0) == 0; });
    });
    return reads;
}

std::set<std::string> Names(sf::Ftp& ftp, const std::string& folder = "")
{
    const auto listing = ftp.GetDirectoryListing(folder);
    EXPECT_TRUE(listing.IsOk()) << listing.GetStatus() << " " << listing.GetMessage();
    std::set<std::string> names;
    for (const sf::Info& entry : listing.GetEntries())
        if (entry.name != "." && entry.name != "..")
            names.insert(entry.name);
    return names;
}

enum class Kind { Scripted, SlowScripted, ScriptedRefusingMlsd, Pyftpdlib, Vsftpd };

struct Row {
    const char* name;
    Kind kind;
};

class Pipeline : public testing::TestWithParam<Row> { };

std::string RowName(const testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

} // namespace

// One session fetches a, b (sent ahead), a missing file (sent ahead: its 550 comes mid-pipeline),
// a again with c announced but then not fetched (the download sent ahead is settled), asks the
// times of three files at once (one missing), and still answers PWD and fetches c.
TEST_P(Pipeline, AnswersComeInOrderAndARefusalOrAnUnusedDownloadLeavesTheSessionInStep)
{
    const Kind kind = GetParam().kind;
    if (kind == Kind::Vsftpd)
        VORN_REQUIRE(VsftpdServer::Available(), "root and /usr/sbin/vsftpd, to start vsftpd");
    TempDir root;
    TempDir local;
    ::chmod(root.path().c_str(), 0755);
    MakeRandomFile(root.path() / "a.bin", 300000, 7);
    WriteFile(root.path() / "b.bin", "bee");
    WriteFile(root.path() / "c.bin", std::string(5000, 'c'));
    for (const char* name : { "a.bin", "b.bin", "c.bin" }) {
        ::chmod((root.path() / name).c_str(), 0644);
        const utimbuf times { kOld, kOld };
        ::utime((root.path() / name).c_str(), &times);
    }
    std::unique_ptr<ScriptedFtpServer> scripted;
    std::unique_ptr<FtpServer> pyftpdlib;
    std::unique_ptr<VsftpdServer> vsftpd;
    auto ftp = MakeClient();
    if (kind == Kind::Scripted || kind == Kind::SlowScripted) {
        std::vector<std::string> args { "--root", root.path().string() };
        if (kind == Kind::SlowScripted)
            args.insert(args.end(), { "--delay", "0.05" });
        scripted = std::make_unique<ScriptedFtpServer>(args);
        ASSERT_TRUE(OpenSession(*ftp, *scripted));
    } else if (kind == Kind::Pyftpdlib) {
        FtpServerOptions options;
        options.root = root.path();
        pyftpdlib = std::make_unique<FtpServer>(options);
        ASSERT_TRUE(OpenSession(*ftp, *pyftpdlib));
    } else {
        vsftpd = std::make_unique<VsftpdServer>(root.path());
        ASSERT_TRUE(ftp->Connect(sf::IPAddress("127.0.0.1"), vsftpd->port()).IsOk()) << vsftpd->log();
        ASSERT_TRUE(ftp->Login("anonymous", "x").IsOk()) << vsftpd->log();
    }
    ASSERT_TRUE(ftp->GetDirectoryListing("/").IsOk()); // the session's first EPSV

    ftp->SetNextDownload("/b.bin");
    EXPECT_TRUE(Fetch(*ftp, local.path(), "/a.bin", 300000).IsOk());
    ftp->SetNextDownload("/missing.bin");
    const auto b = Fetch(*ftp, local.path(), "/b.bin", 3);
    EXPECT_TRUE(b.IsOk()) << b.GetStatus() << " " << b.GetMessage();
    const auto missing = Fetch(*ftp, local.path(), "/missing.bin", 10);
    EXPECT_GE(missing.GetStatus(), 500) << missing.GetMessage();
    ftp->SetNextDownload("/c.bin");
    EXPECT_TRUE(Fetch(*ftp, local.path(), "/a.bin", 300000).IsOk());
    std::vector<std::string> times;
    ASSERT_TRUE(ftp->ModificationTimes({ "/a.bin", "/missing.bin", "/c.bin" }, times).IsOk());
    EXPECT_EQ(times, (std::vector<std::string> { kOldText, "", kOldText }));
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
    EXPECT_TRUE(Fetch(*ftp, local.path(), "/c.bin", 5000).IsOk());

    for (const char* name : { "a.bin", "b.bin", "c.bin" })
        EXPECT_EQ(ReadFile(local.path() / name), ReadFile(root.path() / name)) << name;
    EXPECT_FALSE(fs::exists(local.path() / "missing.bin"));
    EXPECT_TRUE(Leftovers(local.path()).empty());
    if (scripted) {
        // The download sent ahead and not asked for is aborted; ABOR is unknown here (502),
        // and the NOOP after it marks the point where the answers are in step again.
        EXPECT_EQ(Commands(scripted->log()),
            (std::vector<std::string> { "EPSV", "LIST /", "TYPE I", "EPSV", "RETR /a.bin", "EPSV",
                "RETR /b.bin", "EPSV", "RETR /missing.bin", "EPSV", "RETR /a.bin", "EPSV", "RETR /c.bin",
                "ABOR", "NOOP", "MDTM /a.bin", "MDTM /missing.bin", "MDTM /c.bin", "PWD", "EPSV",
                "RETR /c.bin" }))
            << scripted->log();
    }
}

// A folder "sub" beside a file "top.txt", served by the row's server, and a session to it.
class ListingAhead : public testing::TestWithParam<Row> {
protected:
    void SetUp() override
    {
        kind = GetParam().kind;
        if (kind == Kind::Vsftpd)
            VORN_REQUIRE(VsftpdServer::Available(), "root and /usr/sbin/vsftpd, to start vsftpd");
        fs::create_directory(root.path() / "sub");
        WriteFile(root.path() / "top.txt", "top");
        WriteFile(root.path() / "sub/inner.txt", "inner");
        const utimbuf times { kOld, kOld };
        for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
            ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
            ::utime(entry.path().c_str(), &times);
        }
        ::chmod(root.path().c_str(), 0755);
        // The scripted server lists "/" from this file and every other folder as empty.
        WriteFile(aside.path() / "list",
            "-rw-r--r-- 1 u g 3 Mar 15  2012 top.txt\r\n"
            "drwxr-xr-x 2 u g 4096 Mar 15  2012 sub\r\n");
        scriptedKind = kind != Kind::Pyftpdlib && kind != Kind::Vsftpd;
        if (scriptedKind) {
            std::vector<std::string> args { "--root", root.path().string(), "--list",
                (aside.path() / "list").string() };
            if (kind == Kind::SlowScripted)
                args.insert(args.end(), { "--delay", "0.05" });
            if (kind == Kind::ScriptedRefusingMlsd)
                args.insert(
                    args.end(), { "--reply", "FEAT=211-Features:\r\n EPSV\r\n MLST size*;\r\n211 End" });
            scripted = std::make_unique<ScriptedFtpServer>(args);
            ASSERT_TRUE(OpenSession(*ftp, *scripted));
        } else if (kind == Kind::Pyftpdlib) {
            FtpServerOptions options;
            options.root = root.path();
            pyftpdlib = std::make_unique<FtpServer>(options);
            ASSERT_TRUE(OpenSession(*ftp, *pyftpdlib));
        } else {
            vsftpd = std::make_unique<VsftpdServer>(root.path());
            ASSERT_TRUE(ftp->Connect(sf::IPAddress("127.0.0.1"), vsftpd->port()).IsOk()) << vsftpd->log();
            ASSERT_TRUE(ftp->Login("anonymous", "x").IsOk()) << vsftpd->log();
        }
    }

    Kind kind = Kind::Scripted;
    bool scriptedKind = false;
    TempDir root;
    TempDir aside;
    TempDir local;
    std::unique_ptr<ScriptedFtpServer> scripted;
    std::unique_ptr<FtpServer> pyftpdlib;
    std::unique_ptr<VsftpdServer> vsftpd;
    std::unique_ptr<sf::Ftp> ftp = MakeClient();
};

// The walk's way into a folder: CWD, EPSV and the listing in one write. After a refused CWD
// the listing is of the folder the session is still in: it is dropped, never taken for the
// next folder's, and the session stays in step; so does a listing that another command (or a
// listing of another folder) comes before. MLSD that the server announces but refuses while in
// flight falls back to LIST.
TEST_P(ListingAhead, AListingSentWithItsCwdIsTheFoldersOwnOrDropped)
{
    ASSERT_TRUE(Fetch(*ftp, local.path(), "/top.txt", 3).IsOk()); // the session's first EPSV
    const std::set<std::string> rootNames { "sub", "top.txt" };
    const std::set<std::string> subNames
        = scriptedKind ? std::set<std::string> {} : std::set<std::string> { "inner.txt" };

    ftp->ExpectListing();
    EXPECT_GE(ftp->ChangeDirectory("/missing").GetStatus(), 500);
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
    ftp->ExpectListing();
    ASSERT_TRUE(ftp->ChangeDirectory("/sub").IsOk());
    EXPECT_EQ(Names(*ftp), subNames);
    ftp->ExpectListing();
    ASSERT_TRUE(ftp->ChangeDirectory("/").IsOk());
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/"); // settles the listing in flight
    EXPECT_EQ(Names(*ftp), rootNames);
    ftp->ExpectListing();
    ASSERT_TRUE(ftp->ChangeDirectory("/sub").IsOk());
    EXPECT_EQ(Names(*ftp, "/"), rootNames);
    EXPECT_TRUE(Fetch(*ftp, local.path(), "/sub/inner.txt", 5).IsOk());
    EXPECT_EQ(ReadFile(local.path() / "inner.txt"), "inner");
    EXPECT_TRUE(Leftovers(local.path()).empty());
    if (scripted) {
        const std::string verb = kind == Kind::ScriptedRefusingMlsd ? "MLSD" : "LIST";
        EXPECT_EQ(ReadsWithCwd(scripted->log()),
            (std::vector<std::vector<std::string>> { { "CWD /missing", "EPSV", verb },
                { "CWD /sub", "EPSV", verb }, { "CWD /", "EPSV", "LIST" }, { "CWD /sub", "EPSV", "LIST" } }))
            << scripted->log();
    }
}

// The times of a listing's files go out as soon as its data has ended, before its final reply
// is read. ModificationTimes of those paths takes their answers; another command, or the times
// of other paths, first drops them, and the session stays in step.
TEST_P(ListingAhead, TimesSentWithAListingAreTakenOrDropped)
{
    std::vector<std::string> listed;
    const auto wanting = [&listed](std::vector<std::string> paths) {
        return [&listed, paths](const std::vector<sf::Info>& entries) {
            for (const sf::Info& entry : entries)
                listed.push_back(entry.name);
            return paths;
        };
    };
    std::vector<std::string> times;
    ASSERT_TRUE(ftp->GetDirectoryListing("", wanting({ "/top.txt", "/missing.txt" })).IsOk());
    EXPECT_EQ(
        std::set<std::string>(listed.begin(), listed.end()), (std::set<std::string> { "sub", "top.txt" }));
    ASSERT_TRUE(ftp->ModificationTimes({ "/top.txt", "/missing.txt" }, times).IsOk());
    EXPECT_EQ(times, (std::vector<std::string> { kOldText, "" }));
    ASSERT_TRUE(ftp->GetDirectoryListing("", wanting({ "/top.txt" })).IsOk());
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
    ASSERT_TRUE(ftp->GetDirectoryListing("", wanting({ "/sub/inner.txt" })).IsOk());
    ASSERT_TRUE(ftp->ModificationTimes({ "/top.txt" }, times).IsOk());
    EXPECT_EQ(times, (std::vector<std::string> { kOldText }));
    EXPECT_TRUE(Fetch(*ftp, local.path(), "/sub/inner.txt", 5).IsOk());
    EXPECT_EQ(ReadFile(local.path() / "inner.txt"), "inner");
    if (kind == Kind::Scripted)
        EXPECT_EQ(Commands(scripted->log()),
            (std::vector<std::string> { "EPSV", "LIST", "MDTM /top.txt", "MDTM /missing.txt", "EPSV", "LIST",
                "MDTM /top.txt", "PWD", "EPSV", "LIST", "MDTM /sub/inner.txt", "MDTM /top.txt", "TYPE I",
                "EPSV", "RETR /sub/inner.txt" }))
            << scripted->log();
}

INSTANTIATE_TEST_SUITE_P(Servers, Pipeline,
    testing::Values(Row { "Scripted", Kind::Scripted },
        Row { "ScriptedAnswering50msLate", Kind::SlowScripted }, Row { "Pyftpdlib", Kind::Pyftpdlib },
        Row { "Vsftpd", Kind::Vsftpd }),
    RowName);

INSTANTIATE_TEST_SUITE_P(Servers, ListingAhead,
    testing::Values(Row { "Scripted", Kind::Scripted },
        Row { "ScriptedAnswering50msLate", Kind::SlowScripted },
        Row { "ScriptedRefusingMlsd", Kind::ScriptedRefusingMlsd }, Row { "Pyftpdlib", Kind::Pyftpdlib },
        Row { "Vsftpd", Kind::Vsftpd }),
    RowName);
