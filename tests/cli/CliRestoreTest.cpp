// `vornbackup-cli restore` as a user runs it: backups made by the real command against a real
// FTP server on 127.0.0.1, brought back by the real command, with and without the database.
#include "StoreTestSupport.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;
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
    fs::remove(errFile);
    Subprocess cli(args, errFile);
    Outcome outcome;
    outcome.out = cli.ReadAll(120s).value_or("(timed out)");
    outcome.exitCode = cli.Wait(10s);
    outcome.err = ReadWholeFile(errFile);
    return outcome;
}

// Lines of `text` with their first field (the time of day) cut off.
std::vector<std::string> OutputRows(const std::string& text)
{
    std::vector<std::string> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        rows.push_back(line.size() > 9 && line[2] == ':' && line[8] == '\t' ? line.substr(9) : line);
    return rows;
}

std::map<std::string, std::string> Files(const fs::path& root)
{
    std::map<std::string, std::string> files;
    if (!fs::exists(root))
        return files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).generic_string()] = ReadWholeFile(entry.path().string());
    return files;
}

// A compressed incremental project "site" with two runs of the real command: the tree of
// the first run, then a change and an addition.
struct TwoRuns {
    explicit TwoRuns(const FtpServer& server)
    {
        WriteFile(server.root() / "a.txt", "one");
        WriteFile(server.root() / "docs" / "b.txt", "two");
        {
            auto opened = ProjectDb::Open(folder.File("projects.db"));
            EXPECT_TRUE(opened.db) << opened.error;
            BackupProject project;
            project.ftpname = "site";
            project.ftpdest = folder.File("dest");
            project.ftpip = server.host();
            project.ftpuser = server.options().user;
            project.ftppassword = server.options().password;
            project.ftpport = std::to_string(server.port());
            project.ftptype = 1;
            project.ftpiscompress = true;
            project.ftpcompass = "secret";
            EXPECT_TRUE(InsertProject(opened.db.get(), project));
        }
        EXPECT_EQ(Cli(folder, { "options", "site", "incremental=on" }).exitCode, 0);
        EXPECT_EQ(Cli(folder, { "run", "site" }).exitCode, 0);
        const std::time_t now = std::time(nullptr);
        EXPECT_TRUE(WaitFor([&] { return std::time(nullptr) != now; }, 10s));
        WriteFile(server.root() / "a.txt", "one, changed");
        WriteFile(server.root() / "c.txt", "three");
        EXPECT_EQ(Cli(folder, { "run", "site" }).exitCode, 0);
    }
    TempFolder folder;
};

} // namespace

// Points in time, what a point holds, a restore of the newest and of an older point,
// selection, the overwrite rule and a dry run; each restore is in the history.
TEST(VornbackupCliRestore, ListsPointsRestoresThemAndKeepsTheRunInTheHistory)
{
    FtpServer server;
    TwoRuns p(server);
    const Outcome points = Cli(p.folder, { "restore", "site", "--points" });
    ASSERT_EQ(points.exitCode, 0) << points.err;
    const auto pointRows = OutputRows(points.out);
    ASSERT_EQ(pointRows.size(), 2u) << points.out;
    EXPECT_TRUE(pointRows[0].ends_with("\tfull")) << pointRows[0];
    EXPECT_TRUE(pointRows[1].ends_with("\tincremental")) << pointRows[1];

    const Outcome list = Cli(p.folder, { "restore", "site", "--list", "--at", "2" });
    ASSERT_EQ(list.exitCode, 0) << list.err;
    const auto listed = OutputRows(list.out);
    ASSERT_EQ(listed.size(), 2u) << list.out;
    EXPECT_TRUE(listed[0].starts_with("a.txt\t3\t")) << listed[0];
    EXPECT_TRUE(listed[1].starts_with("docs/b.txt\t3\t")) << listed[1];

    const std::string newest = p.folder.File("newest");
    const std::map<std::string, std::string> now { { "a.txt", "one, changed" }, { "c.txt", "three" },
        { "docs/b.txt", "two" } };
    const Outcome dry = Cli(p.folder, { "restore", "site", "--to", newest, "--dry-run" });
    EXPECT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_FALSE(fs::exists(newest));
    EXPECT_EQ(OutputRows(dry.out).back(),
        "Dry Run Restore Results: Would Restore File(s):3, Kept File(s):0, Failed File(s):0.");

    const Outcome restored = Cli(p.folder, { "restore", "site", "--to", newest });
    ASSERT_EQ(restored.exitCode, 0) << restored.err;
    EXPECT_EQ(Files(newest), now);
    const std::vector<std::string> expectedRows { "a.txt\t12 B\tSuccess", "c.txt\t5 B\tSuccess",
        "docs/b.txt\t3 B\tSuccess", "Restore Results: File(s):3, Kept File(s):0, Failed File(s):0." };
    auto rows = OutputRows(restored.out);
    std::sort(rows.begin(), rows.end() - 1);
    EXPECT_EQ(rows, expectedRows);

    const Outcome again = Cli(p.folder, { "restore", "site", "--to", newest });
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(OutputRows(again.out).back(), "Restore Results: File(s):0, Kept File(s):3, Failed File(s):0.");

    const std::string older = p.folder.File("older");
    ASSERT_EQ(
        Cli(p.folder, { "restore", "site", "--at", "2", "--include", "*.txt", "--to", older }).exitCode, 0);
    EXPECT_EQ(
        Files(older), (std::map<std::string, std::string> { { "a.txt", "one" }, { "docs/b.txt", "two" } }));

    const vorn::test::Rows kinds
        = RawQuery(p.folder.File("projects.db"), "select kind, outcome from vorn_runs order by id");
    ASSERT_EQ(kinds.size(), 5u);
    EXPECT_EQ(kinds[1], (std::vector<std::string> { "backup", "Success" }));
    EXPECT_EQ(kinds[4], (std::vector<std::string> { "restore", "Success" }));
    // `history` tells the two kinds apart in its last field.
    const auto history = OutputRows(Cli(p.folder, { "history", "site" }).out);
    ASSERT_EQ(history.size(), 5u);
    EXPECT_TRUE(history[0].ends_with("\trestore")) << history[0];
    EXPECT_TRUE(history[4].ends_with("\tbackup")) << history[4];
}

// A bare archive folder comes back with the password from a file; a wrong password, an
// unknown project and a refused option say so with their exit status.
TEST(VornbackupCliRestore, ArchiveFolderWithoutDatabaseAndRefusals)
{
    FtpServer server;
    TwoRuns p(server);
    WriteFile(p.folder.path() / "pw", "secret\n");
    WriteFile(p.folder.path() / "wrong", "not it\n");
    const std::string target = p.folder.File("bare");
    const Outcome bare = Cli(p.folder,
        { "restore", "--archives", p.folder.File("dest"), "--password-file", p.folder.File("pw"), "--to",
            target });
    ASSERT_EQ(bare.exitCode, 0) << bare.err;
    EXPECT_EQ(Files(target).size(), 3u);
    EXPECT_EQ(Files(target)["a.txt"], "one, changed");

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    };
    const Case cases[] = {
        { { "restore", "--archives", p.folder.File("dest"), "--password-file", p.folder.File("wrong"), "--to",
              target },
            1, "password does not open" },
        { { "restore", "nosuch", "--to", target }, 2, "no project named \"nosuch\"" },
        { { "restore", "site", "--to", target, "--overwrite", "sometimes" }, 2, "--overwrite takes never" },
        { { "restore", "site" }, 2, "needs --to DIR" },
        { { "list", "--at", "1" }, 2, "belongs to 'restore'" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const Outcome outcome = Cli(p.folder, c.args);
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_NE(outcome.err.find(c.err), std::string::npos) << outcome.err;
    }
}
