// Runs that transfer on several sessions at once, against real servers on 127.0.0.1: every
// file arrives whichever session fetched it, the counts and the history are those of a run on
// one session, an archive is packed in the order of the walk, a server that refuses further
// sessions is left with those it took, and Stop ends every session.
#include "RunHarness.h"
#include "store/ProjectOptions.h"
#include "store/RunHistory.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <regex>
#include <set>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kListedTime = 1331821537; // 2012-03-15 14:25:37 UTC

void SetConnections(RunHarness& h, int connections)
{
    ProjectOptions options;
    ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", options));
    options.connections = connections;
    ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));
}

// Three folders of files of different sizes, one of them refused by the server.
Tree SiteTree()
{
    Tree tree;
    for (int folder = 0; folder < 3; ++folder)
        for (int file = 0; file < 6; ++file)
            tree["d" + std::to_string(folder) + "/f" + std::to_string(file) + ".bin"]
                = Random(std::size_t(1000 + 3001 * file + 20011 * folder), std::uint32_t(folder * 10 + file));
    tree["d1/sub/same.bin"] = "deeper";
    tree["d2/same.bin"] = "other folder, same name";
    tree["locked.txt"] = "refused";
    return tree;
}

// The client ports of the sessions that fetched a file, from the server's command log.
// The client ports of the sessions that sent `verb` (RETR, MLSD, ...).
std::set<std::string> SessionsSending(const std::string& log, const std::string& verb)
{
    std::set<std::string> ports;
    const std::regex retr(R"(127\.0\.0\.1:(\d+)-\S* <- )" + verb + R"(\b)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), retr); it != std::sregex_iterator(); ++it)
        ports.insert((*it)[1]);
    return ports;
}

std::string ResultLine(int folders, int files, int failedFiles)
{
    return "Transmission Results: Folder(s):" + std::to_string(folders) + ", File(s):" + std::to_string(files)
        + ", Failed Folder(s):0, Failed File(s):" + std::to_string(failedFiles) + ".";
}

// The entry names of an archive in the order they are stored.
std::vector<std::string> ArchiveOrder(const fs::path& zip, const std::string& password)
{
    std::string output;
    EXPECT_EQ(SevenZip({ "l", "-slt", "-p" + password, zip.string() }, &output), 0) << output;
    std::vector<std::string> names;
    const std::regex path(R"(\nPath = ([^\r\n]+))");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), path); it != std::sregex_iterator();
         ++it)
        if ((*it)[1] != zip.string())
            names.push_back((*it)[1]);
    return names;
}

fs::path OnlyArchive(const fs::path& folder)
{
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".zip")
            return entry.path();
    return {};
}

} // namespace

// The same site through each way a file travels, on one session and on four: the copies,
// the rows (each with one final status), the counts and the history agree; with four, the
// files came over several sessions at once. An archive made on four sessions holds its
// entries in the order the one-session archive has them.
TEST(ParallelRun, FourSessionsCopyWhatOneSessionCopies)
{
    enum class Way { Folder, Archive, Server };
    const Tree tree = SiteTree();
    Tree expected = FilesOnly(tree);
    expected.erase("locked.txt");
    for (const Way way : { Way::Folder, Way::Archive, Way::Server }) {
        std::vector<std::string> orderOnOne;
        for (const int connections : { 1, 4 }) {
            SCOPED_TRACE("way " + std::to_string(int(way)) + ", connections " + std::to_string(connections));
            FtpServerOptions options;
            options.logCommands = true;
            options.refuseRetr = "locked.txt";
            options.slowDataBytesPerSecond = 400 * 1024; // files overlap in time on four sessions
            FtpServer server(options);
            FtpServer second;
            MakeTree(server.root(), tree, kListedTime);
            RunHarness h;
            const fs::path dest = h.dir() / "dest";
            BackupProject project = RunHarness::LocalProject(server, "", dest.string());
            project.ftpiscompress = way == Way::Archive;
            project.ftpcompass = "pw";
            if (way == Way::Server)
                ToSecondServer(project, second, "copy");
            h.Store(project);
            SetConnections(h, connections);

            ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

            EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(5, 20, 1) });
            std::map<std::string, std::string> rows;
            for (const auto& row : h.observer.record().rows) {
                EXPECT_EQ(row.statusChanges, 1) << row.path;
                rows[row.path] = row.status;
            }
            EXPECT_EQ(rows.size(), 21u);
            EXPECT_EQ(rows.at("/locked.txt"), "Failed");
            EXPECT_EQ(
                std::count_if(rows.begin(), rows.end(), [](const auto& r) { return r.second == "Success"; }),
                20);
            const auto runs = QueryRuns(h.db(), FindProjectId(h.db(), "nightly").value());
            ASSERT_EQ(runs.size(), 1u);
            EXPECT_EQ(runs[0].filesCopied, 20u);
            EXPECT_EQ(runs[0].filesFailed, 1u);

            if (way == Way::Archive) {
                const fs::path zip = OnlyArchive(dest);
                std::string output;
                EXPECT_EQ(
                    SevenZip({ "x", "-ppw", "-o" + (h.dir() / "out").string(), zip.string() }, &output), 0)
                    << output;
                EXPECT_EQ(FilesOnly(ReadTree(h.dir() / "out")), expected);
                const std::vector<std::string> order = ArchiveOrder(zip, "pw");
                if (connections == 1)
                    orderOnOne = order;
                else
                    EXPECT_EQ(order, orderOnOne);
                // The archive is all that is left: the staging folders are gone.
                std::set<std::string> names;
                for (const auto& entry : fs::directory_iterator(dest))
                    names.insert(entry.path().filename().string());
                EXPECT_EQ(names.size(), 1u);
            } else {
                EXPECT_EQ(FilesOnly(ReadTree(way == Way::Server ? second.root() / "copy" : dest)), expected);
            }
            // The walk lists on a session of its own, also with one connection, so that no
            // transfer waits for a listing; with four it takes files too once it has listed.
            const std::set<std::string> retrieving = SessionsSending(server.log(), "RETR");
            EXPECT_EQ(retrieving.size() > 1, connections > 1) << server.log();
            if (connections == 1)
                for (const std::string& lister : SessionsSending(server.log(), "MLSD"))
                    EXPECT_EQ(retrieving.count(lister), 0u) << lister << "\n" << server.log();
        }
    }
}

// A server that takes only some of the sessions leaves the run with those it took: with
// room for two sessions the walk and one more transfer; with room for one login only, the
// walk's own session transfers everything. Either way every file arrives and the user is
// told how many sessions the server took. With one connection the extra session only takes
// the listing off the transfers' path: a server that takes one session is used with it, and
// nothing is said.
TEST(ParallelRun, AServerRefusingFurtherSessionsLeavesTheRunWithThoseItTook)
{
    struct Case {
        const char* limit;
        int connections;
        const char* told; // "": no message
    };
    for (const Case& c : { Case { R"("sessions": 2)", 4, "The server took 1 of 4 transfer connections" },
             Case { R"("logins": 1)", 4, "The server took 0 of 4 transfer connections" },
             Case { R"("sessions": 1)", 1, "" }, Case { R"("logins": 1)", 1, "" } }) {
        SCOPED_TRACE(std::string(c.limit) + " connections=" + std::to_string(c.connections));
        VirtualFtpServer server(std::string("{") + c.limit + R"(, "tree": {"a": {"folder": {
            "1.txt": {"data": "one"}, "2.txt": {"data": "two"}, "3.txt": {"data": "three"}}},
            "4.txt": {"data": "x", "repeat": 70000}}})");
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        h.Store(RunHarness::LocalProject(server, "", dest.string()));
        SetConnections(h, c.connections);

        ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

        EXPECT_EQ(FilesOnly(ReadTree(dest)),
            (Tree { { "a/1.txt", "one" }, { "a/2.txt", "two" }, { "a/3.txt", "three" },
                { "4.txt", std::string(70000, 'x') } }));
        EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(2, 4, 0) });
        const auto messages = h.observer.record().messages;
        ASSERT_EQ(messages.size(), *c.told ? 1u : 0u);
        if (*c.told)
            EXPECT_TRUE(messages[0].starts_with(c.told)) << messages[0];
    }
}

// The walk's session does not wait while the pool's queue is full: it takes the next waiting
// file itself, and lists the next folder after it. Every file arrives once.
TEST(ParallelRun, TheWalksSessionTakesFilesWhileThePoolIsFull)
{
    Tree tree;
    for (const char* folder : { "d1", "d2" })
        for (int i = 0; i < 16; ++i)
            tree[std::string(folder) + "/f" + std::to_string(i) + ".txt"] = std::string(30000, char('a' + i));
    FtpServerOptions options;
    options.logCommands = true;
    options.slowDataBytesPerSecond = 300 * 1024; // the two workers cannot keep up with the walk
    FtpServer server(options);
    MakeTree(server.root(), tree, kListedTime);
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "", dest.string()));
    SetConnections(h, 2);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

    EXPECT_EQ(FilesOnly(ReadTree(dest)), tree);
    EXPECT_EQ(h.observer.record().rows.size(), 32u);
    const std::set<std::string> listers = SessionsSending(server.log(), "MLSD");
    ASSERT_EQ(listers.size(), 1u) << server.log();
    // On the walk's session, in the order sent: a file fetched before the last folder listed.
    const std::string log = server.log();
    const std::regex walkCommand(R"(127\.0\.0\.1:)" + *listers.begin() + R"(-\S* <- (RETR|MLSD)\b)");
    std::vector<std::string> sent;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), walkCommand); it != std::sregex_iterator();
         ++it)
        sent.push_back((*it)[1]);
    const auto firstRetr = std::find(sent.begin(), sent.end(), "RETR");
    ASSERT_NE(firstRetr, sent.end()) << log;
    EXPECT_NE(std::find(firstRetr, sent.end(), "MLSD"), sent.end()) << log;
}

// Stop while four sessions are each in the middle of a slow file, for each way a file travels
// (into folders, into an archive, to a second server): the run ends stopped, every row that
// was under way ends "Failed" with the stop as its reason, no file waiting its turn gets a
// row, the run is recorded as stopped, and no partial or temporary file, no archive and no
// thread is left.
TEST(ParallelRun, StopEndsEverySessionAndLeavesNoPartialFile)
{
    enum class Way { Folder, Archive, Server };
    std::string files;
    for (int i = 0; i < 8; ++i)
        files += (i ? ", " : "")
            + ("\"f" + std::to_string(i)
                + ".bin\": {\"data\": \"z\", \"repeat\": 400000, "
                  "\"rate\": 20000}");
    for (const Way way : { Way::Folder, Way::Archive, Way::Server }) {
        SCOPED_TRACE("way " + std::to_string(int(way)));
        VirtualFtpServer server(R"({"tree": {)" + files + "}}");
        FtpServer second;
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        fs::create_directory(dest);
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        project.ftpiscompress = way == Way::Archive;
        project.ftpcompass = "pw";
        if (way == Way::Server)
            ToSecondServer(project, second, "copy");
        h.Store(project);
        SetConnections(h, 4);
        const int threadsBefore = ThreadCount();
        const auto underWay = [&] {
            const auto rows = h.observer.record().rows;
            return std::count_if(rows.begin(), rows.end(), [](const auto& r) { return r.status == "..."; });
        };
        {
            BackgroundRun run(h, "nightly");
            // At 20 kB/s each file takes 20 s: five rows under way at once are the four
            // workers' sessions and the walk's, which takes files once it has listed the folder.
            ASSERT_TRUE(WaitFor([&] { return underWay() == 5; }, 30s)) << server.log();
            ASSERT_TRUE(WaitFor([&] { return h.figures.transferredBytes.load() > 0; }, 30s));
            h.control.Stop();
            ASSERT_TRUE(run.WaitDone(30s));
            EXPECT_EQ(run.outcome(), RunOutcome::Stopped);
        }
        EXPECT_EQ(ThreadCount(), threadsBefore);
        EXPECT_EQ(h.control.runState(), vorn::RunState::Idle);
        const auto rows = h.observer.record().rows;
        EXPECT_EQ(rows.size(), 5u);
        for (const auto& row : rows) {
            EXPECT_EQ(row.status, "Failed") << row.path;
            EXPECT_EQ(row.reason, "The run was stopped.") << row.path;
        }
        EXPECT_EQ(ReadTree(dest), Tree {});
        // A stopped upload leaves nothing on the destination server: neither a partial file
        // under its own name nor its temporary file.
        if (way == Way::Server)
            EXPECT_EQ(FilesOnly(ReadTree(second.root())), Tree {});
        const auto runs = QueryRuns(h.db(), FindProjectId(h.db(), "nightly").value());
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].outcome, "Stop");
        EXPECT_EQ(h.Stored("nightly").first, "Stop");
    }
}
