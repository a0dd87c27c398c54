// `vornbackup-cli run` as a user runs it: the real command against a real FTP server, with
// the project in a real database file.
#include "StoreTestSupport.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"
#include "support/VirtualFtpServer.h"
#include "support/WaitFor.h"

#include <algorithm>
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

// A database file holding one Ftp->Local project for a server at `port` on 127.0.0.1.
std::string StoreProject(const TempFolder& folder, int port, const std::string& user, const std::string& name,
    const std::string& password)
{
    const std::string path = folder.File("projects.db");
    auto opened = ProjectDb::Open(path);
    BackupProject project;
    project.ftpname = name;
    project.ftpdest = folder.File("dest");
    project.ftpip = "127.0.0.1";
    project.ftpuser = user;
    project.ftppassword = password;
    project.ftpport = std::to_string(port);
    project.ftpbackmode = 1;
    project.ftptype = 1;
    project.ftprule = "File Rule(.txt .bin)\xA1\xA2Modify Time Any\xA1\xA2"
                      "File Size Any^";
    EXPECT_TRUE(opened.db && InsertProject(opened.db.get(), project)) << opened.error;
    return path;
}

std::string StoreProject(
    const TempFolder& folder, const FtpServer& server, const std::string& name, const std::string& password)
{
    return StoreProject(folder, server.port(), server.options().user, name, password);
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
        EXPECT_EQ(cli.Wait(30s), c.exitCode);

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

        ASSERT_EQ(kill(cli.pid(), signal), 0);
        // The big file would take a minute more: only the signal can end the run this soon.
        EXPECT_EQ(cli.Wait(30s), 1);
        const auto out = cli.ReadAll(30s);
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
    EXPECT_EQ(terminal.Wait(30s), 0);

    EXPECT_TRUE(std::regex_search(*shown, std::regex("\r\033\\[K *[0-9.]+%  [0-9.]+ (B|KB|MB)/s"))) << *shown;
    EXPECT_TRUE(shown->ends_with("\r\033[K")) << "the progress line is cleared at the end";
    const std::string out = ReadWholeFile(folder.File("stdout"));
    EXPECT_EQ(out.find('\033'), std::string::npos) << out;
    EXPECT_NE(out.find("\t/half.bin\t512.0 KB\tSuccess\n"), std::string::npos) << out;
}

// With standard output on the terminal too, every file line starts on a line of its own: the
// progress line is cleared first. Its speed moves while a file is on its way, from the bytes
// that really came (a 256 KB/s server shows tens of KB/s or more, not 0 until the end).
TEST(VornbackupCliRun, OnATerminalFileLinesNeverRunIntoTheLiveProgressLine)
{
    // About two seconds each, sent in steady pieces.
    VirtualFtpServer server(R"({"tree": {"one.bin": {"data": "1", "repeat": 524288, "rate": 262144},
        "two.bin": {"data": "2", "repeat": 524288, "rate": 262144}}})");
    const TempFolder folder;
    const std::string db = StoreProject(folder, server.port(), "user", "Web site", "secret");
    const std::string command = std::string("'") + VORN_CLI_PATH + "' --db '" + db + "' run 'Web site'";
    Subprocess terminal({ "/usr/bin/script", "-qec", command, "/dev/null" }, folder.File("stderr"));
    const auto shown = terminal.ReadAll(60s);
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(terminal.Wait(10s), 0);

    EXPECT_FALSE(std::regex_search(*shown, std::regex("/s\\d\\d:\\d\\d:\\d\\d"))) << *shown;
    for (const char* file : { "/one.bin", "/two.bin" })
        EXPECT_TRUE(
            std::regex_search(*shown, std::regex(std::string("\r\033\\[K\\d\\d:\\d\\d:\\d\\d\t") + file)))
            << *shown;
    // The speed shown before the first file line, while that file was still on its way.
    std::smatch firstLine;
    ASSERT_TRUE(std::regex_search(*shown, firstLine, std::regex("\\d\\d:\\d\\d:\\d\\d\t/")));
    const std::string duringFirstFile = shown->substr(0, std::size_t(firstLine.position(0)));
    double fastest = 0;
    const std::regex speed("([0-9.]+) KB/s");
    for (auto it = std::sregex_iterator(duringFirstFile.begin(), duringFirstFile.end(), speed);
         it != std::sregex_iterator(); ++it)
        fastest = std::max(fastest, std::stod((*it)[1]));
    EXPECT_GT(fastest, 50.0) << duringFirstFile;
}

// Names are the server's data: a control byte in one reaches the terminal escaped, in `run`
// and in `list`, so no name can drive the terminal.
TEST(VornbackupCliRun, ControlBytesInNamesAreEscaped)
{
    FtpServer server;
    WriteFile(server.root() / "\x1b[2Jclear\x7f.txt", "x");
    const TempFolder folder;
    const std::string db = StoreProject(folder, server, "Web\x1b]0;owned\x07 site", "secret");
    for (const std::vector<std::string>& args :
        { std::vector<std::string> { "run", "Web\x1b]0;owned\x07 site" },
            std::vector<std::string> { "list" } }) {
        std::vector<std::string> argv { VORN_CLI_PATH, "--db", db };
        argv.insert(argv.end(), args.begin(), args.end());
        Subprocess cli(argv, folder.File("stderr"));
        const auto out = cli.ReadAll(30s);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(cli.Wait(10s), 0) << *out;
        EXPECT_EQ(out->find_first_of(std::string("\x1b\x07\x7f", 3)), std::string::npos) << *out;
        const std::string expected
            = args[0] == "run" ? "\\x1b[2Jclear\\x7f.txt" : "Web\\x1b]0;owned\\x07 site";
        EXPECT_NE(out->find(expected), std::string::npos) << *out;
    }
}

// A run whose status and time cannot be stored (another program holds the database's write
// lock past the busy time-out) says so on stderr and exits 1, not 0 with nothing stored.
TEST(VornbackupCliRun, AResultThatCannotBeStoredIsToldAndFailsTheExitStatus)
{
    FtpServer server;
    WriteFile(server.root() / "a.txt", "hello");
    const TempFolder folder;
    const std::string db = StoreProject(folder, server, "Web site", "secret");
    {
        const DatabaseLock lock(db, "begin immediate");
        Subprocess cli({ VORN_CLI_PATH, "--db", db, "run", "Web site" }, folder.File("stderr"));
        const auto out = cli.ReadAll(60s);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(cli.Wait(10s), 1) << *out;
    }
    const std::string err = ReadWholeFile(folder.File("stderr"));
    EXPECT_NE(err.find("could not be stored"), std::string::npos) << err;
    EXPECT_NE(err.find("locked"), std::string::npos) << err;
    EXPECT_EQ(StoredStatus(db, "Web site"), "");
}

// A run killed with SIGKILL in the middle of a download leaves its temporary file, named
// after its process; the next run of the project removes it, and copies the file whole.
TEST(VornbackupCliRun, TheNextRunRemovesTheTemporaryFileOfAKilledRun)
{
    VirtualFtpServer server(R"({"tree": {"big.bin": {"data": "b", "repeat": 1048576, "rate": 262144},
        "small.txt": {"data": "small"}}})");
    const TempFolder folder;
    const std::string db = StoreProject(folder, server.port(), "user", "Web site", "secret");
    const fs::path dest = folder.File("dest");
    auto temporaries = [&dest] {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(dest, ignored))
            if (entry.path().filename().string().find(".vornpart-") != std::string::npos)
                names.push_back(entry.path().filename().string());
        return names;
    };
    pid_t killed = 0;
    {
        Subprocess cli({ VORN_CLI_PATH, "--db", db, "run", "Web site" }, folder.File("stderr"));
        killed = cli.pid();
        ASSERT_TRUE(WaitFor([&] { return !temporaries().empty(); }, 30s));
        ::kill(cli.pid(), SIGKILL);
        EXPECT_EQ(cli.Wait(10s), 128 + SIGKILL);
    }
    const auto left = temporaries();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find(".vornpart-" + std::to_string(killed) + "-"), std::string::npos) << left[0];

    Subprocess again({ VORN_CLI_PATH, "--db", db, "run", "Web site" }, folder.File("stderr"));
    EXPECT_TRUE(WaitFor(
        [&] {
            const auto now = temporaries();
            return std::find(now.begin(), now.end(), left[0]) == now.end();
        },
        30s));
    EXPECT_TRUE(again.ReadAll(60s).has_value());
    EXPECT_EQ(again.Wait(10s), 0);
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(fs::file_size(dest / "big.bin"), 1048576u);
}

// --active makes every data connection active: EPRT, and PORT from a server that refuses
// EPRT. Without it the connections are passive.
TEST(VornbackupCliRun, ActiveModeOffersEprtAndFallsBackToPort)
{
    struct Case {
        const char* what;
        bool active, serverRefusesEprt;
        std::vector<std::string> sent, notSent; // commands in the server's log
    };
    const Case cases[] = {
        { "--active", true, false, { "<- EPRT" }, { "<- PORT", "<- EPSV", "<- PASV" } },
        { "--active, server without EPRT", true, true, { "<- EPRT", "<- PORT" }, { "<- EPSV", "<- PASV" } },
        { "passive", false, false, { "<- EPSV" }, { "<- EPRT", "<- PORT" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FtpServerOptions options;
        options.logCommands = true;
        options.noEprt = c.serverRefusesEprt;
        FtpServer server(options);
        WriteFile(server.root() / "a.txt", "hello");
        WriteFile(server.root() / "docs" / "b.txt", "world");
        const TempFolder folder;
        const std::string db = StoreProject(folder, server, "Web site", "secret");
        std::vector<std::string> args { VORN_CLI_PATH, "--db", db, "run", "Web site" };
        if (c.active)
            args.push_back("--active");
        Subprocess cli(args, folder.File("stderr"));
        const auto out = cli.ReadAll(60s);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(cli.Wait(30s), 0) << *out << ReadWholeFile(folder.File("stderr"));
        EXPECT_EQ(ReadWholeFile(folder.File("dest/a.txt")), "hello");
        EXPECT_EQ(ReadWholeFile(folder.File("dest/docs/b.txt")), "world");
        EXPECT_EQ(StoredStatus(db, "Web site"), "Success");
        const std::string log = server.log();
        for (const std::string& command : c.sent)
            EXPECT_NE(log.find(command), std::string::npos) << command << "\n" << log;
        for (const std::string& command : c.notSent)
            EXPECT_EQ(log.find(command), std::string::npos) << command << "\n" << log;
    }
}
