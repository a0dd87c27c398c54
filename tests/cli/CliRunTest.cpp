// `vornbackup-cli run` as a user runs it: the real command against a real FTP server, with
// the project in a real database file.
#include "StoreTestSupport.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Finished {
    std::optional<int> exitCode;
    std::vector<std::string> lines;
    std::string err;
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A database file holding one Ftp->Local project for `server`.
std::string StoreProject(
    const TempFolder& folder, const FtpServer& server, const std::string& name, const std::string& password)
{
    const std::string path = folder.File("projects.db");
    auto opened = ProjectDb::Open(path);
    BackupProject project;
    project.ftpname = name;
    project.ftpdest = folder.File("dest");
    project.ftpip = server.host();
    project.ftpuser = server.options().user;
    project.ftppassword = password;
    project.ftpport = std::to_string(server.port());
    project.ftpbackmode = 1;
    project.ftptype = 1;
    project.ftprule = "File Rule(.txt .bin)\xA1\xA2Modify Time Any\xA1\xA2"
                      "File Size Any^";
    EXPECT_TRUE(opened.db && InsertProject(opened.db.get(), project)) << opened.error;
    return path;
}

std::string StoredStatus(const std::string& db, const std::string& name)
{
    const Rows rows = RawQuery(db, "select ftpstatus from gm_ftp_plantable where ftpname = '" + name + "'");
    return rows.empty() ? "(no row)" : rows[0][0];
}

// "time<TAB>path<TAB>size<TAB>status" lines by path, as (size, status); other lines are
// returned in `rest`.
std::map<std::string, std::pair<std::string, std::string>> FileLines(
    const std::vector<std::string>& lines, std::vector<std::string>& rest)
{
    // A failed file's line has a fifth field, its reason.
    static const std::regex fileLine("\\d\\d:\\d\\d:\\d\\d\t([^\t]*)\t([^\t]*)\t([^\t]*)(?:\t[^\t]+)?");
    std::map<std::string, std::pair<std::string, std::string>> files;
    for (const std::string& line : lines) {
        std::smatch match;
        if (std::regex_match(line, match, fileLine))
            EXPECT_TRUE(files.emplace(match[1], std::make_pair(match[2], match[3])).second)
                << "twice: " << line;
        else
            rest.push_back(line);
    }
    return files;
}

} // namespace

TEST(VornbackupCliRun, PrintsEachFileOnceThenTheResultLineAndExitsByOutcome)
{
    FtpServer server;
    WriteFile(server.root() / "a.txt", "hello");
    WriteFile(server.root() / "skip.doc", "ignored");
    WriteFile(server.root() / "docs" / "tab\there.txt", "tabbed");
    struct Case {
        const char* what;
        std::string name, password;
        int exitCode;
        std::string result, stored;
        std::size_t fileLines;
    };
    const Case cases[] = {
        { "success", "Web site", "secret", 0,
            "Transmission Results: Folder(s):2, File(s):2, Failed Folder(s):0, Failed File(s):0.", "Success",
            3 },
        { "wrong password", "Web site", "wrong", 1, "Transmission Results: Failed!", "Fail", 0 },
        { "no such project", "Other", "secret", 2, "Transmission Results: Failed!", "(no row)", 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TempFolder folder;
        const std::string db = StoreProject(folder, server, "Web site", c.password);
        Subprocess cli({ VORN_CLI_PATH, "--db", db, "run", c.name }, folder.File("stderr"));
        const auto out = cli.ReadAll(30s);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(cli.Wait(10s), c.exitCode);

        std::vector<std::string> rest;
        const auto files = FileLines(Lines(*out), rest);
        EXPECT_EQ(rest, std::vector<std::string> { c.result }) << *out;
        EXPECT_EQ(files.size(), c.fileLines) << *out;
        EXPECT_EQ(StoredStatus(db, c.name), c.stored);
        const std::string err = ReadWholeFile(folder.File("stderr"));
        if (c.exitCode == 2) {
            EXPECT_NE(err.find("no project named \"Other\""), std::string::npos) << err;
        } else if (c.exitCode == 1) {
            EXPECT_EQ(err, "vornbackup-cli: Login refused: 530 Authentication failed.\n");
        } else {
            EXPECT_EQ(err, ""); // no progress line when stderr is no terminal
        }
        if (c.exitCode == 0) {
            using Line = std::pair<std::string, std::string>;
            EXPECT_EQ(files.at("/a.txt"), Line("5 B", "Success"));
            EXPECT_EQ(files.at("/skip.doc"), Line("7 B", "Ignore"));
            // A tab in a name is written as \t, so the line keeps its four fields.
            EXPECT_EQ(files.at("/docs/tab\\there.txt"), Line("6 B", "Success"));
            EXPECT_EQ(ReadWholeFile(folder.File("dest/docs/tab\there.txt")), "tabbed");
        }
    }
}

TEST(VornbackupCliRun, InterruptOrTerminateStopsTheRunAndStoresStop)
{
    FtpServerOptions slow;
    slow.slowDataBytesPerSecond = 256 * 1024;
    FtpServer server(slow);
    WriteFile(server.root() / "first.txt", "first");
    MakeRandomFile(server.root() / "big" / "huge.bin", 16 << 20, 7);
    for (const int signal : { SIGINT, SIGTERM }) {
        SCOPED_TRACE(strsignal(signal));
        const TempFolder folder;
        const std::string db = StoreProject(folder, server, "Web site", "secret");
        Subprocess cli({ VORN_CLI_PATH, "--db", db, "run", "Web site" }, folder.File("stderr"));
        // The root's file comes first; the big file is under way once its temporary copy exists.
        const auto first = cli.ReadLine(30s);
        ASSERT_TRUE(first.has_value());
        EXPECT_NE(first->find("\t/first.txt\t5 B\tSuccess"), std::string::npos) << *first;
        const fs::path big = folder.File("dest/big");
        ASSERT_TRUE(WaitFor([&] { return fs::exists(big) && !fs::is_empty(big); }, 30s));

        const auto signalled = std::chrono::steady_clock::now();
        ASSERT_EQ(kill(cli.pid(), signal), 0);
        EXPECT_EQ(cli.Wait(10s), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 3s);
        const auto out = cli.ReadAll(5s);
        ASSERT_TRUE(out.has_value());
        std::vector<std::string> rest;
        const auto files = FileLines(Lines(*out), rest);
        EXPECT_EQ(rest, std::vector<std::string> { "Transmission Results: stopped!" });
        EXPECT_EQ(files.at("/big/huge.bin").second, "Failed");
        EXPECT_EQ(StoredStatus(db, "Web site"), "Stop");
        EXPECT_TRUE(fs::is_empty(big)); // no partial copy
    }
}

TEST(VornbackupCliRun, OnATerminalAProgressLineGoesToStderrOnly)
{
    FtpServerOptions slow;
    slow.slowDataBytesPerSecond = 256 * 1024;
    FtpServer server(slow);
    MakeRandomFile(server.root() / "half.bin", 512 * 1024, 8);
    const TempFolder folder;
    const std::string db = StoreProject(folder, server, "Web site", "secret");
    // script(1) gives the command a terminal; its stdout goes to a file, so what comes
    // through the terminal is stderr alone.
    const std::string command = std::string("'") + VORN_CLI_PATH + "' --db '" + db + "' run 'Web site' >'"
        + folder.File("stdout") + "'";
    Subprocess terminal({ "/usr/bin/script", "-qec", command, "/dev/null" }, folder.File("stderr"));
    const auto shown = terminal.ReadAll(60s);
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(terminal.Wait(10s), 0);

    EXPECT_TRUE(std::regex_search(*shown, std::regex("\r\033\\[K *[0-9.]+%  [0-9.]+ (B|KB|MB)/s"))) << *shown;
    EXPECT_TRUE(shown->ends_with("\r\033[K")) << "the progress line is cleared at the end";
    const std::string out = ReadWholeFile(folder.File("stdout"));
    EXPECT_EQ(out.find('\033'), std::string::npos) << out;
    EXPECT_NE(out.find("\t/half.bin\t512.0 KB\tSuccess\n"), std::string::npos) << out;
}
