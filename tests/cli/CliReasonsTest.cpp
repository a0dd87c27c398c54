// Why a run failed, as `vornbackup-cli` reports it and `history` reads it back: real
// servers misbehaving on 127.0.0.1, a real database, the real command.
#include "StoreTestSupport.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/mount.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Output {
    int exitCode = -1;
    std::vector<std::string> lines;
    std::string err;
};

Output RunCli(const TempFolder& folder, std::vector<std::string> args)
{
    args.insert(args.begin(), VORN_CLI_PATH);
    const std::string errFile = folder.File("stderr");
    fs::remove(errFile);
    Subprocess cli(args, errFile);
    Output result;
    const auto out = cli.ReadAll(60s);
    EXPECT_TRUE(out.has_value());
    result.exitCode = cli.Wait(10s).value_or(-1);
    std::istringstream in(out.value_or(""));
    for (std::string line; std::getline(in, line);)
        result.lines.push_back(line);
    result.err = ReadWholeFile(errFile);
    return result;
}

std::string StoreProject(const TempFolder& folder, const FtpServer& server, const std::string& password,
    const std::string& destination)
{
    const std::string path = folder.File("projects.db");
    auto opened = ProjectDb::Open(path);
    BackupProject project;
    project.ftpname = "Site";
    project.ftpdest = destination;
    project.ftpip = server.host();
    project.ftpuser = server.options().user;
    project.ftppassword = password;
    project.ftpport = std::to_string(server.port());
    project.ftpbackmode = 1;
    project.ftptype = 1;
    EXPECT_TRUE(opened.db && InsertProject(opened.db.get(), project)) << opened.error;
    return path;
}

// A small file system for the destination where the test may mount one (root with the
// right to mount); else nothing, and the full-disk case uses a file where a folder belongs.
class SmallDisk {
public:
    explicit SmallDisk(const fs::path& at)
        : at_(at)
    {
        fs::create_directories(at_);
        mounted_ = mount("tmpfs", at_.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallDisk()
    {
        if (mounted_)
            umount(at_.c_str());
    }
    [[nodiscard]] bool mounted() const { return mounted_; }

private:
    fs::path at_;
    bool mounted_ = false;
};

std::string FileLineReason(const std::vector<std::string>& lines, const std::string& path)
{
    static const std::regex failed("\\d\\d:\\d\\d:\\d\\d\t([^\t]*)\t[^\t]*\tFailed\t([^\t]*)");
    for (const std::string& line : lines) {
        std::smatch match;
        if (std::regex_match(line, match, failed) && match[1] == path)
            return match[2];
    }
    return "(no failed line for " + path + ")";
}

} // namespace

TEST(VornbackupCliReasons, EachFailureShowsItsReasonOnTheLineAndInTheHistory)
{
    struct Case {
        const char* what;
        FtpServerOptions server;
        std::string password = "secret";
        std::vector<std::string> options;
        int exitCode;
        std::string failedPath; // a file line with a reason, or "" for a run that failed whole
        std::string reason; // a regular expression
    };
    FtpServerOptions refusing;
    refusing.refuseRetr = "secret.bin";
    FtpServerOptions silent;
    silent.stallOnConnect = true;
    const Case cases[] = {
        { "refused RETR", refusing, "secret", {}, 3, "/secret.bin",
            "550 Permission denied: secret\\.bin is not readable\\." },
        { "refused login", {}, "wrong", {}, 1, "", "Login refused: 530 .+" },
        { "silent server", silent, "secret", { "--timeout", "2" }, 1, "",
            "No answer from 127\\.0\\.0\\.1:\\d+ within 2 s" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FtpServer server(c.server);
        WriteFile(server.root() / "a.txt", "hello");
        WriteFile(server.root() / "secret.bin", "hidden");
        const TempFolder folder;
        const std::string db = StoreProject(folder, server, c.password, folder.File("dest"));
        std::vector<std::string> args = c.options;
        args.insert(args.end(), { "--db", db, "run", "Site" });
        const Output run = RunCli(folder, args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        const std::regex reason(c.reason);
        if (c.failedPath.empty()) {
            EXPECT_TRUE(std::regex_search(run.err, std::regex("vornbackup-cli: " + c.reason + "\n")))
                << run.err;
            EXPECT_EQ(run.lines, std::vector<std::string> { "Transmission Results: Failed!" });
        } else {
            EXPECT_TRUE(std::regex_match(FileLineReason(run.lines, c.failedPath), reason))
                << run.lines.size();
        }

        const Output history = RunCli(folder, { "--db", db, "history", "Site" });
        ASSERT_EQ(history.lines.size(), 1u) << history.err;
        // A run that reached its end with a failed file says so in its outcome.
        const std::string outcome = c.exitCode == 3 ? "Success, 1 failed\t1\t1\t0\t" : "Fail\t0\t0\t0\t0";
        EXPECT_NE(history.lines[0].find("\t" + outcome), std::string::npos) << history.lines[0];
        const Output failures = RunCli(folder, { "--db", db, "history", "Site", "--failures" });
        EXPECT_EQ(failures.exitCode, 0);
        ASSERT_EQ(failures.lines.size(), 1u) << failures.err;
        const std::string item = failures.lines[0];
        const auto tab = item.find('\t');
        ASSERT_NE(tab, std::string::npos) << item;
        EXPECT_EQ(item.substr(0, tab), c.failedPath.empty() ? "/" : c.failedPath);
        EXPECT_TRUE(std::regex_match(item.substr(tab + 1), reason)) << item;
    }
}

TEST(VornbackupCliReasons, AFullDestinationSaysSo)
{
    FtpServer server;
    WriteFile(server.root() / "small.txt", "fits");
    MakeRandomFile(server.root() / "sub" / "big.bin", 256 * 1024, 3);
    const TempFolder folder;
    const SmallDisk disk(folder.path() / "dest");
    if (!disk.mounted())
        WriteFile(folder.path() / "dest" / "sub", "a file where the folder belongs");
    const std::string db = StoreProject(folder, server, "secret", folder.File("dest"));
    const Output run = RunCli(folder, { "--db", db, "run", "Site" });
    EXPECT_EQ(run.exitCode, 3) << run.err;
    std::string path, expected;
    if (disk.mounted()) {
        path = "/sub/big.bin";
        expected = "Disk full writing " + folder.File("dest/sub/big.bin");
        EXPECT_EQ(FileLineReason(run.lines, path), expected);
    } else {
        path = "/sub";
        expected = "Cannot create the folder " + folder.File("dest/sub") + ": ";
        EXPECT_NE(run.err.find("folder /sub failed: " + expected), std::string::npos) << run.err;
    }
    const Output failures = RunCli(folder, { "--db", db, "history", "Site", "--failures", "1" });
    ASSERT_EQ(failures.lines.size(), 1u) << failures.err;
    EXPECT_TRUE(failures.lines[0].starts_with(path + "\t" + expected)) << failures.lines[0];
    EXPECT_EQ(ReadWholeFile(folder.File("dest/small.txt")), "fits");
}

TEST(VornbackupCliReasons, ExitStatusTellsWhatTheRunReached)
{
    FtpServerOptions refusing;
    refusing.refuseRetr = "bad.txt";
    FtpServer server(refusing);
    WriteFile(server.root() / "good.txt", "good");
    const TempFolder folder;
    const std::string db = StoreProject(folder, server, "secret", folder.File("dest"));
    EXPECT_EQ(RunCli(folder, { "--db", db, "run", "Site" }).exitCode, 0);
    WriteFile(server.root() / "bad.txt", "bad");
    EXPECT_EQ(RunCli(folder, { "--db", db, "run", "Site" }).exitCode, 3);
    EXPECT_EQ(RunCli(folder, { "--db", db, "run", "Nothing" }).exitCode, 2);
    EXPECT_EQ(RunCli(folder, { "--db", db, "history", "Nothing" }).exitCode, 2);

    // Newest first: the run with the failure, then the clean one; --failures 2 is the clean run.
    const Output history = RunCli(folder, { "--db", db, "history", "Site" });
    ASSERT_EQ(history.lines.size(), 2u);
    const std::regex line(
        "\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\t\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\t"
        "Success(?:, 1 failed)?\t(\\d+)\t(\\d+)\t0\t(\\d+)\t0\t0\tbackup"); // a refusal is never retried
    std::smatch newest, oldest;
    ASSERT_TRUE(std::regex_match(history.lines[0], newest, line)) << history.lines[0];
    ASSERT_TRUE(std::regex_match(history.lines[1], oldest, line)) << history.lines[1];
    EXPECT_EQ(newest[1].str() + "/" + newest[2].str(), "1/1");
    EXPECT_NE(history.lines[0].find("\tSuccess, 1 failed\t"), std::string::npos);
    EXPECT_NE(history.lines[1].find("\tSuccess\t"), std::string::npos); // the clean run reads clean
    EXPECT_EQ(oldest[1].str() + "/" + oldest[2].str() + "/" + oldest[3].str(), "1/0/4");
    EXPECT_EQ(RunCli(folder, { "--db", db, "history", "Site", "--failures", "2" }).lines.size(), 0u);
    EXPECT_EQ(RunCli(folder, { "--db", db, "history", "Site", "--failures", "3" }).exitCode, 2);
    EXPECT_EQ(RunCli(folder, { "--db", db, "run", "Site", "--failures" }).exitCode, 2);
}

TEST(VornbackupCliReasons, AHistoryThatCannotBeWrittenIsReportedAndTheRunStillSucceeds)
{
    FtpServer server;
    WriteFile(server.root() / "a.txt", "hello");
    const TempFolder folder;
    const std::string db = StoreProject(folder, server, "secret", folder.File("dest"));
    RawExecute(
        db, "create trigger refuse before insert on vorn_runs begin select raise(abort, 'no room'); end");
    const Output run = RunCli(folder, { "--db", db, "run", "Site" });
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "vornbackup-cli: The run history could not be written: no room\n");
    EXPECT_EQ(ReadWholeFile(folder.File("dest/a.txt")), "hello");
    EXPECT_EQ(RawQuery(db, "select ftpstatus from gm_ftp_plantable")[0][0], "Success");
}
