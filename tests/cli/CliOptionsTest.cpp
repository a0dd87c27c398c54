// `vornbackup-cli options` and `run --dry-run`: the real command, a real database file and,
// for the dry run, a real FTP server on 127.0.0.1.
#include "StoreTestSupport.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace vorn;
using namespace vorn::test;
using namespace std::chrono_literals;

namespace {

struct Outcome {
    std::optional<int> exitCode;
    std::string out;
    std::string err;
};

Outcome Cli(const TempFolder& folder, std::vector<std::string> args)
{
    args.insert(args.begin(), { VORN_CLI_PATH, "--db", folder.File("projects.db") });
    const std::string errFile = folder.File("stderr");
    std::filesystem::remove(errFile);
    Subprocess cli(args, errFile);
    Outcome outcome;
    outcome.out = cli.ReadAll(60s).value_or("(timed out)");
    outcome.exitCode = cli.Wait(10s);
    outcome.err = ReadWholeFile(errFile);
    return outcome;
}

void StoreProject(const TempFolder& folder, const FtpServer* server)
{
    auto opened = ProjectDb::Open(folder.File("projects.db"));
    ASSERT_TRUE(opened.db) << opened.error;
    BackupProject project;
    project.ftpname = "site";
    project.ftpdest = folder.File("dest");
    project.ftpip = server ? server->host() : "127.0.0.1";
    project.ftpuser = server ? server->options().user : "";
    project.ftppassword = server ? server->options().password : "";
    project.ftpport = server ? std::to_string(server->port()) : "21";
    project.ftpbackmode = 1;
    project.ftptype = 1;
    ASSERT_TRUE(InsertProject(opened.db.get(), project));
}

const std::string kDefaults
    = "incremental=off\nfull-every=7\nkeep-archives=0\nverify-archive=on\nretries=3\nconnections=1\n"
      "notify=failure\nmail-to=\nhook-url=\ncatch-up=0\nalert-after-days=0\nssh-key=\nfollow-links=0\nverify="
      "size\nexclude=\ncharset=auto\n";

} // namespace

TEST(VornbackupCliOptions, PrintsAndSetsAllOrNothing)
{
    const TempFolder folder;
    StoreProject(folder, nullptr);
    Outcome shown = Cli(folder, { "options", "site" });
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out, kDefaults);

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message; // part of stderr
    };
    const Case refused[] = {
        { { "options", "nowhere" }, 2, "no project named \"nowhere\"" },
        { { "options", "site", "retries=4", "full-every=0" }, 2,
            "full-every must be a whole number from 1 to 365, not '0'; nothing was changed" },
        { { "options", "site", "keep-archives=1001" }, 2,
            "keep-archives must be a whole number from 0 to 1000" },
        { { "options", "site", "verify-archive=maybe" }, 2, "verify-archive must be on or off" },
        { { "options", "site", "colour=blue" }, 2, "unknown option 'colour'" },
        { { "options", "--dry-run", "site" }, 2, "--dry-run goes with 'run' and 'restore' only" },
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.args.back());
        const Outcome run = Cli(folder, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    EXPECT_EQ(Cli(folder, { "options", "site" }).out, kDefaults);

    const Outcome set = Cli(folder,
        { "options", "site", "incremental=on", "full-every=30", "keep-archives=5", "verify-archive=off",
            "retries=0", "connections=10", "notify=always", "mail-to=ops@example.org", "catch-up=1",
            "alert-after-days=3", "ssh-key=/keys/id", "follow-links=1", "verify=checksum", "exclude=cache/ *.log",
            "charset=GBK" });
    EXPECT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(Cli(folder, { "options", "site" }).out,
        "incremental=on\nfull-every=30\nkeep-archives=5\nverify-archive=off\nretries=0\nconnections=10\n"
        "notify=always\nmail-to=ops@example.org\nhook-url=\ncatch-up=1\nalert-after-days=3\n"
        "ssh-key=/keys/id\nfollow-links=1\nverify=checksum\nexclude=cache/ *.log\ncharset=GBK\n");
    // incremental is the project's backup mode, kept where other readers of the file see it.
    EXPECT_EQ(
        RawQuery(folder.File("projects.db"), "select ftpbackmode from gm_ftp_plantable"), (Rows { { "2" } }));
}

TEST(VornbackupCliOptions, DryRunPrintsWhatWouldBeCopiedAndChangesNothing)
{
    FtpServer server;
    WriteFile(server.root() / "a.txt", "hello");
    WriteFile(server.root() / "docs" / "b.txt", "world");
    const TempFolder folder;
    StoreProject(folder, &server);
    ASSERT_EQ(Cli(folder, { "options", "site", "incremental=on" }).exitCode, 0);
    const std::string before = ReadWholeFile(folder.File("projects.db"));

    Outcome dry = Cli(folder, { "run", "site", "--dry-run" });
    EXPECT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_NE(dry.out.find("\t/a.txt\t5 B\tWould copy\n"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("\t/docs/b.txt\t5 B\tWould copy\n"), std::string::npos) << dry.out;
    EXPECT_FALSE(std::filesystem::exists(folder.File("dest")));
    EXPECT_EQ(ReadWholeFile(folder.File("projects.db")), before);

    const Outcome real = Cli(folder, { "run", "site" });
    EXPECT_EQ(real.exitCode, 0) << real.err;
    EXPECT_NE(
        real.out.find("Transmission Results: Folder(s):2, File(s):2, Failed Folder(s):0, Failed File(s):0, "
                      "Unchanged File(s):0.\n"),
        std::string::npos)
        << real.out;
    WriteFile(server.root() / "a.txt", "hello again");
    dry = Cli(folder, { "run", "site", "--dry-run" });
    EXPECT_EQ(dry.out,
        dry.out.substr(0, 9) + "/a.txt\t11 B\tWould copy\n"
            + "Dry Run Results: Folder(s):2, Would Copy File(s):1, Unchanged File(s):1, Failed Folder(s):0, "
              "Failed File(s):0.\n");
    EXPECT_EQ(ReadFile(folder.path() / "dest" / "a.txt"), "hello");
}
