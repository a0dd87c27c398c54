// Commands sent ahead against real servers on 127.0.0.1: EPSV with RETR in one write, the next
// file's download sent as the data of the current one ends, and MDTM of a whole folder in one
// batch. Each server must answer them in order, a refusal in the middle must leave the session
// in step, and a server that answers slowly must change nothing but the time.
#include "ClientFixture.h"
#include "support/Requirement.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/VsftpdServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
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

enum class Kind { Scripted, SlowScripted, Pyftpdlib, Vsftpd };

struct Row {
    const char* name;
    Kind kind;
};

class Pipeline : public testing::TestWithParam<Row> { };

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

INSTANTIATE_TEST_SUITE_P(Servers, Pipeline,
    testing::Values(Row { "Scripted", Kind::Scripted },
        Row { "ScriptedAnswering50msLate", Kind::SlowScripted }, Row { "Pyftpdlib", Kind::Pyftpdlib },
        Row { "Vsftpd", Kind::Vsftpd }),
    [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });
