// `vornbackup-cli schedule` as a user runs it: the real command against a real database and
// a real FTP server on 127.0.0.1, stopped by real signals.
#include "StoreTestSupport.h"
#include "schedule/SchedulerLock.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

using namespace std::chrono_literals;
using vorn::test::FtpServer;
using vorn::test::Subprocess;

namespace {

// The first reload comes 5 s after the start; a run under the sanitizers takes a few more.
constexpr auto kFirstRunTimeout = 60s;
constexpr auto kExitTimeout = 30s;

// A database whose projects copy the server's root into folders of their own name, every 0
// minutes: due at once after the first reload, again after each run within that minute.
struct Projects {
    vorn::test::TempFolder folder;
    std::string db = folder.File("gm_ftp_database.db");

    Projects(const FtpServer& server, const std::vector<std::string>& names)
    {
        for (const std::string& name : names)
            Add(server, name);
    }
    // Through a connection of its own, as another program would.
    void Add(const FtpServer& server, const std::string& name) const
    {
        auto opened = vorn::ProjectDb::Open(db);
        EXPECT_TRUE(vorn::InsertProject(opened.db.get(),
            { .ftpname = name,
                .ftpsource = "/",
                .ftpdest = folder.File(name),
                .ftpip = server.host(),
                .ftpuser = server.options().user,
                .ftppassword = server.options().password,
                .ftpport = std::to_string(server.port()),
                .ftpbackmode = 1,
                .ftptype = 1,
                .ftpplanmode = 3,
                .ftpminute = 0,
                .ftpdaymode = 2 }));
    }
    std::string Stored(const std::string& name) const
    {
        const auto rows = vorn::test::RawQuery(
            db, "select ftpstatus from gm_ftp_plantable where ftpname = '" + name + "'");
        return rows.empty() ? "<no row>" : rows.front().front();
    }
};

// One `schedule` process and every stdout line read from it so far.
struct Service {
    vorn::test::TempFolder logs;
    Subprocess process;
    std::string out;

    explicit Service(const std::string& db)
        : process({ VORN_CLI_PATH, "--db", db, "schedule" }, logs.File("err"))
    {
    }
    // Reads lines until one starts with `prefix`.
    bool ReadUntil(const std::string& prefix, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (const auto line = process.ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now()))) {
            out += *line + "\n";
            if (line->starts_with(prefix))
                return true;
        }
        return false;
    }
    std::optional<int> StopWith(int signal)
    {
        kill(process.pid(), signal);
        const std::optional<int> status = process.Wait(kExitTimeout);
        out += process.ReadAll(30s).value_or("<output not closed>");
        return status;
    }
    std::string Errors() const { return vorn::test::ReadFile(logs.File("err")); }
    bool Has(const std::string& line) const
    {
        return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
    }
    // The last "Transfer Status" printed for the name as shown.
    std::string LastStatus(const std::string& shown) const
    {
        const std::string key = shown + "\tTransfer Status: ";
        std::string status;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with(key))
                status = line.substr(key.size());
        return status;
    }
};

TEST(VornbackupCliSchedule, BacksUpTheDueProjectRefusesASecondSchedulerAndStopsOnSigterm)
{
    FtpServer server;
    vorn::test::MakeRandomFile(server.root() / "index.html", 100'000, 11);
    vorn::test::WriteFile(server.root() / "docs" / "read me.txt", "hello\n");
    // A tab in the project's name must not split the lines that start with it.
    Projects projects(server, { "Web\tsite" });
    const std::string shown = "Web\\tsite";
    Service service(projects.db);
    ASSERT_TRUE(vorn::test::WaitFor([&] { return !service.Errors().empty(); }, 20s));

    // A second scheduler on the same database, even spelt through a link, is refused.
    const std::string link = projects.folder.File("link.db");
    std::filesystem::create_symlink(projects.db, link);
    for (const std::string& path : { projects.db, link }) {
        Subprocess second({ VORN_CLI_PATH, "--db", path, "schedule" }, projects.folder.File("second.err"));
        EXPECT_EQ(second.Wait(kExitTimeout), 1) << path;
        EXPECT_EQ(second.ReadAll(30s), "") << path;
    }
    const std::string refusal = "vornbackup-cli: Another scheduler already owns the database "
        + std::filesystem::canonical(projects.db).string() + ".\n";
    EXPECT_EQ(vorn::test::ReadFile(projects.folder.File("second.err")), refusal + refusal);

    // The run's lines, each after the name: status changes, one line per file once final,
    // the result line, then the refreshed next backup time.
    ASSERT_TRUE(service.ReadUntil(shown + "\tNext Backup Time: ", kFirstRunTimeout))
        << service.out << service.Errors();
    EXPECT_TRUE(std::regex_match(service.out, std::regex(R"(Web\\tsite\tTransfer Status: Running
(Web\\tsite\t\d\d:\d\d:\d\d\t(/index.html|/docs/read me.txt)\t[^\t\n]+\tSuccess
){2}Web\\tsite\tTransfer Status: Success
Web\\tsite\tTransmission Results: Folder\(s\):2, File\(s\):2, Failed Folder\(s\):0, Failed File\(s\):0.
Web\\tsite\tNext Backup Time: \d\d/\d\d/\d{4} \d\d:\d\d:\d\d
)"))) << service.out;
    for (const char* file : { "index.html", "docs/read me.txt" })
        EXPECT_TRUE(vorn::test::ReadFile(projects.folder.path() / "Web\tsite" / file)
            == vorn::test::ReadFile(server.root() / file))
            << file;

    EXPECT_EQ(service.StopWith(SIGTERM), 0) << service.Errors();
    EXPECT_NE(service.Errors().find("SIGTERM: stopping"), std::string::npos) << service.Errors();
    // Another run of the minute may have been under way: it ended, said how, and the database
    // holds what it said.
    const std::string last = service.LastStatus(shown);
    EXPECT_TRUE(last == "Success" || last == "Stop") << service.out;
    EXPECT_EQ(projects.Stored("Web\tsite"), last);
    // Nothing is left holding the database: a new scheduler may start.
    EXPECT_TRUE(vorn::SchedulerLock::Acquire(std::filesystem::canonical(projects.db).string()).lock);
}

TEST(VornbackupCliSchedule, SignalDuringATransferStoresStopAndStartsNothingMore)
{
    for (const int signal : { SIGTERM, SIGINT }) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
        vorn::test::FtpServerOptions options;
        options.slowDataBytesPerSecond = 64 * 1024;
        FtpServer server(options);
        vorn::test::MakeRandomFile(server.root() / "big.bin", 4 * 1024 * 1024, 21);
        Projects projects(server, { "Slow", "Next" });
        Service service(projects.db);
        ASSERT_TRUE(service.ReadUntil("Slow\tTransfer Status: Running", kFirstRunTimeout))
            << service.Errors();
        // Under way (at the server's rate the file takes about a minute) once the partial
        // file holds data; gone again after the stop.
        const auto partialBytes = [&] {
            std::uintmax_t bytes = 0;
            std::error_code e;
            for (std::filesystem::recursive_directory_iterator it(projects.folder.File("Slow"), e), end;
                 !e && it != end; it.increment(e))
                bytes += it->is_regular_file(e) ? it->file_size(e) : 0;
            return bytes;
        };
        ASSERT_TRUE(vorn::test::WaitFor([&] { return partialBytes() > 0; }, 30s));

        EXPECT_EQ(service.StopWith(signal), 0) << service.Errors();
        EXPECT_NE(service.Errors().find("stopping the run of \"Slow\""), std::string::npos)
            << service.Errors();
        EXPECT_TRUE(service.Has("Slow\tTransfer Status: Stop")) << service.out;
        EXPECT_TRUE(service.Has("Slow\tTransmission Results: stopped!")) << service.out;
        EXPECT_EQ(projects.Stored("Slow"), "Stop");
        EXPECT_EQ(partialBytes(), 0u);
        // The project due after it in the same pass never starts.
        EXPECT_EQ(service.out.find("Next\t"), std::string::npos) << service.out;
        EXPECT_EQ(projects.Stored("Next"), "");
    }
}

// A project stored by another program while the service runs is scheduled from the next
// second on, not from the next day's load.
TEST(VornbackupCliSchedule, TakesUpAProjectStoredWhileItRuns)
{
    FtpServer server;
    vorn::test::WriteFile(server.root() / "a.txt", "alpha\n");
    Projects projects(server, { "First" });
    Service service(projects.db);
    // Its first run shows that the plans of the day are loaded.
    ASSERT_TRUE(service.ReadUntil("First\tNext Backup Time: ", kFirstRunTimeout)) << service.Errors();
    projects.Add(server, "Second");
    ASSERT_TRUE(service.ReadUntil("Second\tNext Backup Time: ", kFirstRunTimeout))
        << service.out << service.Errors();
    EXPECT_TRUE(service.Has("Second\tTransfer Status: Success")) << service.out;
    EXPECT_EQ(vorn::test::ReadFile(projects.folder.path() / "Second" / "a.txt"), "alpha\n");
    EXPECT_EQ(service.StopWith(SIGTERM), 0) << service.Errors();
}

} // namespace

TEST(VornbackupCliSchedule, PrintsWhyFilesAndRunsFailedAsRunDoes)
{
    vorn::test::FtpServerOptions options;
    options.refuseRetr = "locked.txt";
    FtpServer server(options);
    vorn::test::WriteFile(server.root() / "open.txt", "open");
    vorn::test::WriteFile(server.root() / "locked.txt", "locked");
    Projects projects(server, { "Files", "Login" });
    vorn::test::RawExecute(
        projects.db, "update gm_ftp_plantable set ftppassword = 'wrong' where ftpname = 'Login'");
    Service service(projects.db);
    ASSERT_TRUE(vorn::test::WaitFor(
        [&] {
            (void)service.ReadUntil("", 1s);
            return service.out.find("Files\tNext Backup Time: ") != std::string::npos
                && service.out.find("Login\tNext Backup Time: ") != std::string::npos;
        },
        kFirstRunTimeout))
        << service.out << service.Errors();
    EXPECT_TRUE(std::regex_search(service.out,
        std::regex(
            "\nFiles\t\\d\\d:\\d\\d:\\d\\d\t/locked.txt\t6 B\tFailed\t550 Permission denied: locked.txt is "
            "not readable.\n")))
        << service.out;
    EXPECT_NE(service.Errors().find("Login\tLogin refused: 530 Authentication failed.\n"), std::string::npos)
        << service.Errors();
    EXPECT_EQ(service.StopWith(SIGTERM), 0) << service.Errors();
}
