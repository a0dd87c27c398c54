// What the headless command tells the user beyond the file lines: a run with failed files in
// the history, each reason once, rules that let nothing through, the version, and names that
// could drive a terminal.
#include "StoreTestSupport.h"
#include "app/cli/FieldText.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace vorn;
using namespace vorn::test;
using namespace std::chrono_literals;

namespace {

struct Output {
    int exitCode = -1;
    std::string out;
    std::string err;
};

Output Cli(const TempFolder& folder, std::vector<std::string> args)
{
    args.insert(args.begin(), VORN_CLI_PATH);
    const std::string errFile = folder.File("stderr");
    std::filesystem::remove(errFile);
    Subprocess cli(args, errFile);
    Output result;
    result.out = cli.ReadAll(60s).value_or("");
    result.exitCode = cli.Wait(10s).value_or(-1);
    result.err = ReadWholeFile(errFile);
    return result;
}

std::string Store(
    const TempFolder& folder, const FtpServer& server, const std::string& port, const std::string& rule = {})
{
    const std::string path = folder.File("projects.db");
    auto opened = ProjectDb::Open(path);
    BackupProject project;
    project.ftpname = "Site";
    project.ftpdest = folder.File("dest");
    project.ftpip = server.host();
    project.ftpuser = server.options().user;
    project.ftppassword = server.options().password;
    project.ftpport = port;
    project.ftpbackmode = 1;
    project.ftptype = 1;
    project.ftprule = rule;
    EXPECT_TRUE(opened.db && InsertProject(opened.db.get(), project)) << opened.error;
    return path;
}

std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

} // namespace

// A run that reached its end with a failed file reads "Success, 1 failed" in the history, not
// a clean "Success"; a stored port out of range is told once; --version answers.
TEST(VornbackupCliTells, FailedFilesShowInTheHistoryAndEachReasonOnce)
{
    FtpServerOptions options;
    options.refuseRetr = "secret.txt";
    FtpServer server(options);
    WriteFile(server.root() / "a.txt", "a");
    WriteFile(server.root() / "secret.txt", "s");
    const TempFolder folder;
    const std::string db = Store(folder, server, std::to_string(server.port()));
    EXPECT_EQ(Cli(folder, { "--db", db, "run", "Site" }).exitCode, 3);
    const Output history = Cli(folder, { "--db", db, "history", "Site" });
    EXPECT_EQ(history.exitCode, 0) << history.err;
    EXPECT_NE(history.out.find("\tSuccess, 1 failed\t1\t1\t0\t"), std::string::npos) << history.out;

    const TempFolder other;
    const std::string badPort = Store(other, server, "70000");
    const Output run = Cli(other, { "--db", badPort, "run", "Site" });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Occurrences(run.err, "\"70000\" is not a port number"), 1u) << run.err;

    const Output version = Cli(folder, { "--version" });
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "vornbackup-cli " VORN_VERSION "\n");
}

// "*.tmp", as other tools take it, matches nothing here: the run copies nothing and says why
// on stderr, while a rule in this program's form copies the file.
TEST(VornbackupCliTells, RulesThatLetNothingThroughSaySo)
{
    FtpServer server;
    WriteFile(server.root() / "cache.tmp", "t");
    for (const char* filter : { "*.tmp", ".tmp" }) {
        SCOPED_TRACE(filter);
        const TempFolder folder;
        const std::string rule = std::string("File Rule(") + filter
            + ")\xA1\xA2Modify Time Any\xA1\xA2"
              "File Size Any^";
        const Output run = Cli(
            folder, { "--db", Store(folder, server, std::to_string(server.port()), rule), "run", "Site" });
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const bool told
            = run.err.find("The filter rules let none of the 1 listed file(s) through") != std::string::npos;
        EXPECT_EQ(told, std::string(filter) == "*.tmp") << run.err;
        EXPECT_EQ(std::filesystem::exists(folder.File("dest/cache.tmp")), std::string(filter) == ".tmp");
    }
}

// C0 and C1 controls never reach the terminal: U+009B is a CSI to a terminal in UTF-8 mode,
// the raw byte 0x9B to one in an 8-bit mode. Other UTF-8 and other high bytes stay.
TEST(VornbackupCliTells, ControlCharactersOfEveryKindAreEscaped)
{
    const struct {
        std::string raw, shown;
    } rows[] = {
        { "a\x1b[2J", "a\\x1b[2J" },
        { "csi\xc2\x9b"
          "2J",
            "csi\\u009b2J" },
        { "nel\xc2\x85", "nel\\u0085" },
        { "raw\x9b"
          "2J",
            "raw\\x9b2J" },
        { "raw\x80", "raw\\x80" },
        { "cut\xc2", "cut\xc2" }, // a lead byte without its continuation is no C1 control
        { "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80" },
        { "nbsp\xc2\xa0", "nbsp\xc2\xa0" },
        { "gbk\xb0\xa1", "gbk\xb0\xa1" },
        { "overlong\xe0\x82\x9b", "overlong\xe0\\x82\\x9b" },
    };
    for (const auto& row : rows)
        EXPECT_EQ(EscapeField(row.raw), row.shown) << row.shown;
}
