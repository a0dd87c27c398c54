// `vornbackup-cli schedule` as a user runs it: the real command against a real database and
// a real FTP server on 127.0.0.1, stopped by real signals.
#include "StoreTestSupport.h"
#include "schedule/SchedulerLock.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/Subprocess.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <regex>

using namespace std::chrono_literals;
using vorn::test::FtpServer;
using vorn::test::Subprocess;
using vorn::test::TempFolder;

namespace {

// The first reload comes 5 s after the start; a run under the sanitizers takes a few more.
constexpr auto kFirstRunTimeout = 60s;
constexpr auto kExitTimeout = 30s;

// One `schedule` process; keeps every stdout line it has read.
class Service {
public:
    Service(const std::string& dbPath, const std::filesystem::path& stderrFile)
        : stderrFile_(stderrFile)
        , process_({ VORN_CLI_PATH, "--db", dbPath, "schedule" }, stderrFile)
    {
    }

    // Reads lines until one satisfies `match`; false when the output ends or time runs out.
    bool ReadUntil(const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            const std::optional<std::string> line = process_.ReadLine(left);
            if (!line)
                return false;
            lines.push_back(*line);
            if (match(*line))
                return true;
        }
    }
    bool ReadUntilLine(const std::string& line, std::chrono::milliseconds timeout)
    {
        return ReadUntil([&](const std::string& l) { return l == line; }, timeout);
    }

    // Signals the service, waits for it to exit and collects the rest of its output.
    std::optional<int> StopWith(int signal)
    {
        kill(process_.pid(), signal);
        const std::optional<int> status = process_.Wait(kExitTimeout);
        if (const auto rest = process_.ReadAll(5s)) {
            std::size_t start = 0;
            for (std::size_t end; (end = rest->find('\n', start)) != std::string::npos; start = end + 1)
                lines.push_back(rest->substr(start, end - start));
        }
        return status;
    }

    [[nodiscard]] std::string Errors() const { return vorn::test::ReadFile(stderrFile_); }
    [[nodiscard]] bool Said(const std::string& text) const { return Errors().find(text) != std::string::npos; }
    [[nodiscard]] Subprocess& process() { return process_; }

    [[nodiscard]] std::string Output() const
    {
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        return text;
    }
    [[nodiscard]] bool Has(const std::string& line) const
    {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // The last "Transfer Status" the service printed for `name`.
    [[nodiscard]] std::string LastStatus(const std::string& name) const
    {
        const std::string prefix = name + "\tTransfer Status: ";
        std::string status;
        for (const std::string& line : lines)
            if (line.starts_with(prefix))
                status = line.substr(prefix.size());
        return status;
    }

    std::vector<std::string> lines;

private:
    std::filesystem::path stderrFile_;
    Subprocess process_;
};

// A database with one Ftp->Local project from `server` into `destination`, every 0 minutes:
// due at once after the first reload, and again after each run within that minute.
struct ServiceDatabase {
    TempFolder folder;
    std::string db = folder.File("gm_ftp_database.db");
    std::filesystem::path destination = folder.path() / "backup";

    ServiceDatabase(const FtpServer& server, const std::string& name)
    {
        auto opened = vorn::ProjectDb::Open(db);
        if (!opened.db)
            throw std::runtime_error(opened.error);
        vorn::BackupProject project;
        project.ftpname = name;
        project.ftptype = 1;
        project.ftpbackmode = 1;
        project.ftpip = server.host();
        project.ftpport = std::to_string(server.port());
        project.ftpuser = server.options().user;
        project.ftppassword = server.options().password;
        project.ftpsource = "/";
        project.ftpdest = destination.string();
        project.ftpplanmode = 3;
        project.ftpdaymode = 2;
        project.ftpminute = 0;
        EXPECT_TRUE(vorn::InsertProject(opened.db.get(), project));
        // Never scheduled: must never run.
        vorn::BackupProject manual = project;
        manual.ftpname = "Manual";
        manual.ftpplanmode = 0;
        EXPECT_TRUE(vorn::InsertProject(opened.db.get(), manual));
    }

    [[nodiscard]] std::string StoredStatus(const std::string& name) const
    {
        const auto rows = vorn::test::RawQuery(db, "select ftpstatus from gm_ftp_plantable where ftpname = '" + name + "'");
        return rows.empty() ? "<no row>" : rows.front().front();
    }
};

void ExpectSameTree(const std::filesystem::path& expected, const std::filesystem::path& actual)
{
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(expected)) {
        if (!entry.is_regular_file())
            continue;
        ++files;
        const auto copy = actual / std::filesystem::relative(entry.path(), expected);
        ASSERT_TRUE(std::filesystem::is_regular_file(copy)) << copy;
        EXPECT_TRUE(vorn::test::ReadFile(copy) == vorn::test::ReadFile(entry.path())) << copy;
    }
    EXPECT_GT(files, 0u);
}

// Bytes in the files of `folder` (none when it does not exist).
std::uintmax_t PartialBytes(const std::filesystem::path& folder)
{
    std::error_code error;
    std::uintmax_t bytes = 0;
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error))
            bytes += it->file_size(error);
    }
    return bytes;
}

TEST(VornbackupCliSchedule, BacksUpTheDueProjectRefusesASecondSchedulerAndStopsOnSigterm)
{
    FtpServer server;
    vorn::test::MakeRandomFile(server.root() / "index.html", 100'000, 11);
    vorn::test::WriteFile(server.root() / "docs" / "read me.txt", "hello\n");
    vorn::test::MakeRandomFile(server.root() / "docs" / "deep" / "data.bin", 300'000, 12);
    ServiceDatabase setup(server, "Site");
    const TempFolder logs;

    Service service(setup.db, logs.File("first.err"));
    ASSERT_TRUE(vorn::test::WaitFor([&] { return service.Said("scheduling the projects of"); }, 20s))
        << service.Errors();

    // A second scheduler on the same database, even spelt through a link, is refused.
    const std::string link = setup.folder.File("link.db");
    std::filesystem::create_symlink(setup.db, link);
    for (const std::string& path : std::vector<std::string> { setup.db, link }) {
        Subprocess second({ VORN_CLI_PATH, "--db", path, "schedule" }, logs.File("second.err"));
        EXPECT_EQ(second.Wait(kExitTimeout), 1) << path;
        EXPECT_EQ(second.ReadAll(5s), "") << path;
    }
    const std::string refusals = vorn::test::ReadFile(logs.File("second.err"));
    const std::string refusal = "vornbackup-cli: Another scheduler already owns the database "
        + std::filesystem::canonical(setup.db).string() + ".\n";
    EXPECT_EQ(refusals, refusal + refusal);

    ASSERT_TRUE(service.ReadUntil(
        [](const std::string& line) { return line.starts_with("Site\tTransmission Results: Folder(s):"); },
        kFirstRunTimeout))
        << service.Output() << service.Errors();
    ASSERT_TRUE(service.ReadUntil(
        [](const std::string& line) { return line.starts_with("Site\tNext Backup Time: "); }, 10s))
        << service.Output();

    // The run's lines, each after the project's name: status changes, one line per file
    // with its final status, the result line, then the refreshed next backup time.
    EXPECT_EQ(service.lines.front(), "Site\tTransfer Status: Running");
    EXPECT_TRUE(service.Has("Site\tTransfer Status: Success")) << service.Output();
    for (const char* path : { "/index.html", "/docs/read me.txt", "/docs/deep/data.bin" }) {
        const std::regex fileLine(std::string("Site\t\\d\\d:\\d\\d:\\d\\d\t") + path + "\t[^\t]+\tSuccess");
        EXPECT_EQ(std::count_if(service.lines.begin(), service.lines.end(),
                      [&](const std::string& line) { return std::regex_match(line, fileLine); }),
            1)
            << path << "\n"
            << service.Output();
    }
    EXPECT_TRUE(std::regex_match(service.lines.back(),
        std::regex("Site\tNext Backup Time: \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d")))
        << service.lines.back();
    ExpectSameTree(server.root(), setup.destination);

    const std::optional<int> status = service.StopWith(SIGTERM);
    EXPECT_EQ(status, 0) << service.Errors();
    EXPECT_TRUE(service.Said("vornbackup-cli: SIGTERM: stopping")) << service.Errors();
    EXPECT_TRUE(service.Said("vornbackup-cli: scheduler stopped\n")) << service.Errors();

    // Another run of the minute may have been under way: it ended and said how, and the
    // database holds what it said. A stopped run leaves the earlier copies intact.
    const std::string last = service.LastStatus("Site");
    EXPECT_TRUE(last == "Success" || last == "Stop") << service.Output();
    EXPECT_EQ(setup.StoredStatus("Site"), last);
    if (last == "Stop") {
        EXPECT_TRUE(service.Has("Site\tTransmission Results: stopped!")) << service.Output();
    }
    ExpectSameTree(server.root(), setup.destination);
    EXPECT_EQ(setup.StoredStatus("Manual"), "");
    EXPECT_EQ(service.Output().find("Manual"), std::string::npos) << service.Output();

    // Nothing is left holding the database: a new scheduler may start.
    EXPECT_TRUE(vorn::SchedulerLock::Acquire(std::filesystem::canonical(setup.db).string()).lock);
}

TEST(VornbackupCliSchedule, SignalDuringATransferStopsTheRunAndStoresStop)
{
    for (const int signal : { SIGTERM, SIGINT }) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
        vorn::test::FtpServerOptions options;
        options.slowDataBytesPerSecond = 64 * 1024;
        FtpServer server(options);
        vorn::test::MakeRandomFile(server.root() / "big.bin", 4 * 1024 * 1024, 21);
        ServiceDatabase setup(server, "Slow");
        const TempFolder logs;

        Service service(setup.db, logs.File("service.err"));
        ASSERT_TRUE(service.ReadUntilLine("Slow\tTransfer Status: Running", kFirstRunTimeout))
            << service.Output() << service.Errors();
        // The download is under way (at the server's rate it takes about a minute) once
        // its partial file holds data.
        ASSERT_TRUE(vorn::test::WaitFor([&] { return PartialBytes(setup.destination) > 0; }, 30s));

        EXPECT_EQ(service.StopWith(signal), 0) << service.Errors();
        EXPECT_TRUE(service.Said("stopping the run of \"Slow\"")) << service.Errors();
        EXPECT_EQ(service.LastStatus("Slow"), "Stop") << service.Output();
        EXPECT_TRUE(service.Has("Slow\tTransmission Results: stopped!")) << service.Output();
        EXPECT_EQ(setup.StoredStatus("Slow"), "Stop");
        // Neither a copy under the file's name nor the partial file is left behind.
        EXPECT_FALSE(std::filesystem::exists(setup.destination / "big.bin"));
        EXPECT_EQ(PartialBytes(setup.destination), 0u);
    }
}

TEST(VornbackupCliSchedule, HelpAndUsageNameTheVerb)
{
    const TempFolder logs;
    Subprocess help({ VORN_CLI_PATH, "--help" }, logs.File("help.err"));
    const std::optional<std::string> text = help.ReadAll(kExitTimeout);
    ASSERT_TRUE(text);
    EXPECT_EQ(help.Wait(kExitTimeout), 0);
    for (const char* part : { "  schedule ", "SIGTERM", "Only one scheduler" })
        EXPECT_NE(text->find(part), std::string::npos) << part;

    const std::string db = logs.File("never.db");
    Subprocess extra({ VORN_CLI_PATH, "--db", db, "schedule", "now" }, logs.File("extra.err"));
    EXPECT_EQ(extra.Wait(kExitTimeout), 2);
    const std::string errors = vorn::test::ReadFile(logs.File("extra.err"));
    EXPECT_NE(errors.find("too many arguments for 'schedule'"), std::string::npos) << errors;
    EXPECT_NE(errors.find("vornbackup-cli [--db PATH] [--active] schedule"), std::string::npos) << errors;
    EXPECT_FALSE(std::filesystem::exists(db));
}

} // namespace
