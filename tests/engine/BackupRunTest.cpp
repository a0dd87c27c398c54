// Whole runs against real FTP servers on 127.0.0.1, with the project in a real SQLite file:
// what lands on disk, in the archive or on the second server, and what the run reports.
#include "RunHarness.h"
#include "store/CopiedFiles.h"
#include "store/ProjectOptions.h"
#include "store/RunHistory.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <atomic>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kListedTime = 1331821537; // 2012-03-15 14:25:37 UTC

std::int64_t ModificationTime(const fs::path& file)
{
    struct stat info { };
    return stat(file.c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1;
}

std::string ResultLine(int folders, int files, int failedFolders, int failedFiles)
{
    return "Transmission Results: Folder(s):" + std::to_string(folders) + ", File(s):" + std::to_string(files)
        + ", Failed Folder(s):" + std::to_string(failedFolders)
        + ", Failed File(s):" + std::to_string(failedFiles) + ".";
}

const Tree kNestedTree = {
    { "top.txt", "top" },
    { "two  spaces.txt", "2" },
    { "docs/a.txt", "alpha" },
    { "docs/deep/er/x.bin", Random(100000, 1) },
    { "docs/empty2", "/" },
    { "empty", "/" },
    { "with space/\xC3\xBC \xC3\xB1 \xE6\x97\xA5\xE6\x9C\xAC.txt", "utf" },
};

} // namespace

// The same tree through each listing form the client reads; the local copy must equal the
// remote tree (empty folders included), each file stamped with the source's time to the
// second: listings that give only the day or the minute are completed by MDTM.
TEST(BackupRun, DownloadsANestedTreeDepthFirstAndStampsEachFileWithTheSourcesTimeToTheSecond)
{
    struct Case {
        const char* listing;
        bool noMlsd, dosList;
        std::string sourceFolder, remoteSub;
        std::int64_t stamped;
    };
    const Case cases[] = {
        { "MLSD, to the second", false, false, "", "", kListedTime },
        { "Unix LIST, date with year", true, false, "/site", "site", kListedTime },
        { "DOS LIST", false, true, "site", "site", kListedTime },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.listing);
        FtpServerOptions options;
        options.noMlsd = c.noMlsd;
        options.dosList = c.dosList;
        FtpServer server(options);
        MakeTree(server.root() / c.remoteSub, kNestedTree, kListedTime);
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        h.Store(RunHarness::LocalProject(server, c.sourceFolder, dest.string()));

        ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

        EXPECT_EQ(ReadTree(dest), ReadTree(server.root() / c.remoteSub));
        for (const auto& [path, bytes] : FilesOnly(kNestedTree))
            EXPECT_EQ(ModificationTime(dest / fs::u8path(path)), c.stamped) << path;

        const std::string prefix = c.sourceFolder.empty() ? "" : "/site";
        const auto rows = h.observer.record().rows;
        ASSERT_EQ(rows.size(), 5u);
        std::map<std::string, std::size_t> position;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_TRUE(std::regex_match(rows[i].time, std::regex("\\d\\d:\\d\\d:\\d\\d"))) << rows[i].time;
            EXPECT_EQ(rows[i].status, "Success") << rows[i].path;
            EXPECT_EQ(rows[i].statusChanges, 1) << rows[i].path;
            position[rows[i].path.substr(prefix.size())] = i;
        }
        // Depth first: the root's own files, then each sub-tree in one piece.
        EXPECT_LT(std::max(position.at("/top.txt"), position.at("/two  spaces.txt")), 2u);
        EXPECT_EQ(position.at("/docs/deep/er/x.bin"), position.at("/docs/a.txt") + 1);
        EXPECT_EQ(rows[position.at("/docs/deep/er/x.bin")].size, "97.7 KB");
        EXPECT_EQ(rows[position.at("/top.txt")].size, "3 B");

        const std::string result = ResultLine(7, 5, 0, 0);
        EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { result });
        EXPECT_EQ(h.observer.record().projectStatuses, (std::vector<std::string> { "Running", "Success" }));
        ASSERT_EQ(h.observer.record().lastBackupTimes.size(), 1u);
        EXPECT_EQ(h.Stored("nightly"),
            std::make_pair(std::string("Success"), h.observer.record().lastBackupTimes[0]));
        EXPECT_EQ(h.control.runState(), vorn::RunState::Idle);
        EXPECT_EQ(h.figures.transferredBytes.load(), 100000u + 3 + 1 + 5 + 3);
    }
}

// A backslash is an ordinary character of a name here: such files and folders are copied
// under their own names, nothing lands beside the destination, and a file the rules do not
// admit is in no count.
TEST(BackupRun, BackslashNamesAreCopiedAndIgnoredFilesAreInNoCount)
{
    FtpServer server;
    MakeTree(server.root(),
        { { "ok.txt", "fine" }, { "skip.doc", "ignored" }, { "..\\evil.txt", "x" },
            { "x\\..\\y/inner.txt", "y" } },
        kListedTime);
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    BackupProject project = RunHarness::LocalProject(server, "", dest.string());
    project.ftprule = "File Rule(.txt)\xA1\xA2Modify Time Any\xA1\xA2"
                      "File Size Any^";
    h.Store(project);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

    EXPECT_EQ(ReadTree(dest),
        (Tree { { "ok.txt", "fine" }, { "..\\evil.txt", "x" }, { "x\\..\\y", "/" },
            { "x\\..\\y/inner.txt", "y" } }));
    EXPECT_EQ(h.observer.statusByPath(),
        (std::map<std::string, std::string> { { "/ok.txt", "Success" }, { "/skip.doc", "Ignore" },
            { "/..\\evil.txt", "Success" }, { "/x\\..\\y/inner.txt", "Success" } }));
    EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(2, 3, 0, 0) });
    EXPECT_EQ(h.figures.transferredBytes.load(), 6u); // the ignored file was never asked for
    std::set<std::string> beside;
    for (const auto& entry : fs::directory_iterator(h.dir()))
        beside.insert(entry.path().filename().string());
    EXPECT_EQ(beside, (std::set<std::string> { "dest", "gm_ftp_database.db" }));
}

// A compressed run: one archive that 7-Zip opens with the project's password, holding every
// file under its relative path with its listed time; a same-named file already in the
// destination folder survives. A file the archive refuses ("c:" reads as a drive) fails and
// keeps its copy, which a later file of the same name does not replace.
TEST(BackupRun, CompressedRunWritesOneArchiveThat7ZipOpensWithThePassword)
{
    const Tree tree = {
        { "c:x.txt", "root copy" },
        { "docs/c:x.txt", "docs copy" },
        { "a.txt", "remote a" },
        { "docs/a.txt", "docs a" },
        { "docs/big.bin", Random(300000, 2) },
        { "docs/empty", "/" },
        { "\xC3\xBC/\xE6\x97\xA5\xE6\x9C\xAC x.txt", "utf" },
    };
    for (const std::string password : { "s3cr'et \xC3\xBC", "" }) {
        SCOPED_TRACE("password \"" + password + "\"");
        FtpServer server;
        MakeTree(server.root(), tree, kListedTime);
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        WriteFile(dest / "a.txt", "local, keep me");
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        project.ftpiscompress = true;
        project.ftpcompass = password;
        h.Store(project);

        ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();
        EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(4, 5, 0, 1) });
        EXPECT_EQ(h.observer.statusByPath().at("/c:x.txt"), "Failed");

        std::vector<fs::path> archives, staging;
        for (const auto& entry : fs::directory_iterator(dest)) {
            if (entry.path().extension() == ".zip")
                archives.push_back(entry.path());
            else if (entry.path().filename() != "a.txt")
                staging.push_back(entry.path());
        }
        ASSERT_EQ(archives.size(), 1u);
        EXPECT_TRUE(std::regex_match(archives[0].filename().string(), std::regex("nightly_\\d{12}\\.zip")));
        EXPECT_EQ(ReadFile(dest / "a.txt"), "local, keep me");
        ASSERT_EQ(staging.size(), 1u);
        EXPECT_EQ(ReadTree(staging[0]), (Tree { { "kept", "/" }, { "kept/c:x.txt", "root copy" } }));
        Tree archived = FilesOnly(tree);
        archived.erase("c:x.txt");

        const std::string zip = archives[0].string();
        std::string output;
        EXPECT_EQ(SevenZip({ "t", "-p" + password, zip }, &output), 0) << output;
        if (!password.empty()) {
            EXPECT_NE(SevenZip({ "t", "-pwrong", zip }, &output), 0) << output;
        }
        EXPECT_EQ(SevenZip({ "x", "-p" + password, "-o" + (h.dir() / "out").string(), zip }, &output), 0)
            << output;
        EXPECT_EQ(FilesOnly(ReadTree(h.dir() / "out")), archived);

        ASSERT_EQ(SevenZip({ "l", "-slt", "-p" + password, zip }, &output), 0) << output;
        std::size_t modified = 0, encrypted = 0;
        for (std::size_t at = output.find("Modified = "); at != std::string::npos;
             at = output.find("Modified = ", at + 1)) {
            EXPECT_EQ(output.substr(at + 11, 19), "2012-03-15 14:25:37");
            ++modified;
        }
        for (std::size_t at = output.find("Encrypted = +"); at != std::string::npos;
             at = output.find("Encrypted = +", at + 1))
            ++encrypted;
        EXPECT_EQ(modified, 5u) << output;
        EXPECT_EQ(encrypted, password.empty() ? 0u : 5u) << output;
    }
}

// A new project's first compressed run makes its destination folder (one level), as an
// uncompressed run does, instead of failing on a folder it has never had.
TEST(BackupRun, CompressedRunMakesAMissingDestinationFolder)
{
    FtpServer server;
    MakeTree(server.root(), { { "docs/a.txt", "a" } }, kListedTime);
    RunHarness h;
    const fs::path dest = h.dir() / "new";
    BackupProject project = RunHarness::LocalProject(server, "", dest.string());
    project.ftpiscompress = true;
    project.ftpcompass = "pw";
    h.Store(project);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();
    std::vector<fs::path> archives;
    for (const auto& entry : fs::directory_iterator(dest))
        if (entry.path().extension() == ".zip")
            archives.push_back(entry.path());
    ASSERT_EQ(archives.size(), 1u);
    std::string output;
    EXPECT_EQ(SevenZip({ "t", "-ppw", archives[0].string() }, &output), 0) << output;
}

// Runs that cannot reach their root folder: "Fail" stored, "Failed!" shown, and nothing
// left in the destination; a project that is gone writes nothing at all.
TEST(BackupRun, RunsThatFailLeaveNoArchiveAndStoreFail)
{
    FtpServer server;
    MakeTree(server.root(), { { "a.txt", "a" } }, kListedTime);
    struct Case {
        const char* what;
        std::function<void(BackupProject&, const fs::path& dest)> change;
        bool loginExpected;
    };
    const Case cases[] = {
        { "wrong password, compressed", [](BackupProject& p, const fs::path&) { p.ftppassword = "wrong"; },
            false },
        { "source folder whose parent is missing",
            [](BackupProject& p, const fs::path&) { p.ftpsource = "/no/such"; }, true },
        { "compressed, destination folder's parent missing",
            [](BackupProject& p, const fs::path& dest) {
                p.ftpdest = (dest / "missing" / "deeper").string();
            },
            false },
        { "destination is a file",
            [](BackupProject& p, const fs::path& dest) {
                p.ftpiscompress = false;
                WriteFile(dest / "file", "x");
                p.ftpdest = (dest / "file").string();
            },
            true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FtpServer fresh; // its log tells whether a login happened
        MakeTree(fresh.root(), { { "a.txt", "a" } }, kListedTime);
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        fs::create_directory(dest);
        BackupProject project = RunHarness::LocalProject(fresh, "", dest.string());
        project.ftpiscompress = true;
        project.ftpcompass = "pw";
        c.change(project, dest);
        h.Store(project);
        const std::set<fs::path> before { fs::directory_iterator(dest), {} };

        EXPECT_EQ(h.Run("nightly"), RunOutcome::Fail);

        EXPECT_EQ(
            h.observer.record().resultTexts, std::vector<std::string> { "Transmission Results: Failed!" });
        EXPECT_EQ(h.observer.record().projectStatuses, (std::vector<std::string> { "Running", "Fail" }));
        EXPECT_EQ(h.Stored("nightly").first, "Fail");
        EXPECT_EQ((std::set<fs::path> { fs::directory_iterator(dest), {} }), before);
        EXPECT_EQ(fresh.log().find("logged in") != std::string::npos, c.loginExpected) << fresh.log();
    }

    RunHarness h;
    h.Store(RunHarness::LocalProject(server, "", (h.dir() / "dest").string()));
    EXPECT_EQ(h.Run("someone else"), RunOutcome::Failed);
    EXPECT_EQ(h.observer.record().projectStatuses, std::vector<std::string> { "Failed" });
    EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { "Transmission Results: Failed!" });
    EXPECT_TRUE(h.observer.record().lastBackupTimes.empty());
    EXPECT_EQ(h.Stored("nightly"), std::make_pair(std::string(), std::string()));
    EXPECT_EQ(h.control.runState(), vorn::RunState::Idle);
}

// Every download cut off by the server: the root folder was reached, so the run stores
// "Success" with the failures in the counts and their reasons; no partial copy is left, and
// only the bytes that really came count as transferred, not the failed files' sizes.
TEST(BackupRun, ARunWhoseEveryFileFailsStillReportsItsCounts)
{
    FtpServerOptions dropping;
    dropping.dropDataAfter = 100;
    FtpServer server(dropping);
    MakeTree(server.root(), { { "one.bin", Random(5000, 5) }, { "two.bin", Random(7000, 6) } }, kListedTime);
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "", dest.string()));
    ProjectOptions once; // one try per file, so each file's 100 bytes come once
    ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", once));
    once.retries = 0;
    ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", once));

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

    EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(1, 0, 0, 2) });
    EXPECT_EQ(h.observer.statusByPath(),
        (std::map<std::string, std::string> { { "/one.bin", "Failed" }, { "/two.bin", "Failed" } }));
    EXPECT_EQ(h.Stored("nightly").first, "Success");
    EXPECT_EQ(ReadTree(dest), Tree {});
    for (const auto& row : h.observer.record().rows)
        EXPECT_FALSE(row.reason.empty()) << row.path;
    EXPECT_EQ(h.figures.transferredBytes.load(), 200u);
}

// Stop in the middle of a large file, for each way a file travels: the run ends long before
// the file would have arrived, stores "Stop", and leaves no partial file, no archive and no
// thread behind.
TEST(BackupRun, StopInTheMiddleOfALargeFileEndsTheRunPromptlyAndCleanly)
{
    struct Case {
        const char* what;
        bool compressed;
        bool toServer;
    };
    for (const Case& c : { Case { "to a folder", false, false }, Case { "into an archive", true, false },
             Case { "to a second server", false, true } }) {
        SCOPED_TRACE(c.what);
        FtpServerOptions slow;
        slow.slowDataBytesPerSecond = 256 * 1024;
        slow.maxSessions = 1; // one session lists and copies: "later" is not reached
        FtpServer server(slow);
        FtpServer second;
        MakeTree(server.root(), { { "big.bin", Random(16 << 20, 3) }, { "later/after.txt", "never" } },
            kListedTime);
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        fs::create_directory(dest);
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        project.ftpiscompress = c.compressed;
        if (c.toServer)
            ToSecondServer(project, second, "copy");
        h.Store(project);
        const int threadsBefore = ThreadCount();

        {
            BackgroundRun run(h, "nightly");
            ASSERT_TRUE(WaitFor([&] { return h.figures.progressInfo.bytes.load() > 0; }, 30s))
                << server.log();
            h.control.Stop();
            // 16 MB at this speed take a minute: only the Stop can end the run this soon.
            ASSERT_TRUE(run.WaitDone(30s));
            EXPECT_EQ(run.outcome(), RunOutcome::Stopped);
        }
        EXPECT_EQ(ThreadCount(), threadsBefore);
        EXPECT_EQ(h.control.runState(), vorn::RunState::Idle);
        EXPECT_EQ(h.Stored("nightly").first, "Stop");
        EXPECT_EQ(h.observer.record().projectStatuses, (std::vector<std::string> { "Running", "Stop" }));
        EXPECT_EQ(
            h.observer.record().resultTexts, std::vector<std::string> { "Transmission Results: stopped!" });
        EXPECT_EQ(
            h.observer.statusByPath(), (std::map<std::string, std::string> { { "/big.bin", "Failed" } }));
        EXPECT_EQ(ReadTree(dest), Tree {});
        EXPECT_FALSE(fs::exists(second.root() / "copy" / "big.bin"));
    }
}

// The window may rename a project while its run is under way: the run keeps the row it
// started with, so the status, the run time and the history land on the renamed project and
// no row of the old name appears.
TEST(BackupRun, AProjectRenamedDuringItsRunKeepsTheRunsStatusAndHistory)
{
    struct Case {
        const char* what;
        bool incremental; // into an archive, with the copies and the archive recorded
        bool stop;
        RunOutcome outcome;
        const char* status;
    };
    for (const Case& c : { Case { "finished", false, false, RunOutcome::Success, "Success" },
             Case { "incremental, into an archive", true, false, RunOutcome::Success, "Success" },
             Case { "stopped", false, true, RunOutcome::Stopped, "Stop" } }) {
        SCOPED_TRACE(c.what);
        FtpServerOptions slow;
        slow.slowDataBytesPerSecond = 256 * 1024;
        FtpServer server(slow);
        MakeTree(server.root(), { { "big.bin", Random(1 << 20, 5) } }, kListedTime);
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        fs::create_directory(dest);
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        project.ftpiscompress = c.incremental;
        h.Store(project);
        ProjectOptions options;
        options.incremental = c.incremental;
        ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));
        project.ftpbackmode = options.incremental ? kIncrementalBackupMode : kFullBackupMode;
        const auto ftpid = FindProjectId(h.db(), "nightly");
        ASSERT_TRUE(ftpid);

        BackgroundRun run(h, "nightly");
        ASSERT_TRUE(WaitFor([&] { return h.figures.progressInfo.bytes.load() > 0; }, 30s)) << server.log();
        project.ftpname = "weekly";
        ASSERT_TRUE(UpdateProject(h.db(), "nightly", project));
        if (c.stop)
            h.control.Stop();
        ASSERT_TRUE(run.WaitDone(60s));
        EXPECT_EQ(run.outcome(), c.outcome);

        EXPECT_EQ(h.Stored("weekly").first, c.status);
        EXPECT_FALSE(h.Stored("weekly").second.empty());
        EXPECT_FALSE(ProjectExists(h.db(), "nightly"));
        EXPECT_EQ(FindProjectId(h.db(), "weekly"), ftpid);
        const auto runs = QueryRuns(h.db(), *ftpid);
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].outcome, c.status);
        EXPECT_EQ(QueryProjectList(h.db()).size(), 1u);
        EXPECT_EQ(LoadCopiedFiles(h.db(), "weekly").count("/big.bin"), c.incremental ? 1u : 0u);
        EXPECT_EQ(LoadArchiveRecords(h.db(), "weekly").size(), c.incremental ? 1u : 0u);
    }
}

// Pause holds the transfer where it is, with the connection kept; Resume completes the file.
// Pause holds each way a file travels at the run's pause gate, and Resume completes it.
TEST(BackupRun, PauseHoldsTheTransferAndResumeCompletesIt)
{
    struct Case {
        const char* what;
        bool compressed;
        bool toServer;
    };
    for (const Case& c : { Case { "to a folder", false, false }, Case { "into an archive", true, false },
             Case { "to a second server", false, true } }) {
        SCOPED_TRACE(c.what);
        // The server sends the file at 50 kB/s, so it takes 8 s whatever the machine's load:
        // the pause always comes while the file is still on its way.
        VirtualFtpServer server(R"({"tree": {"big.bin": {"data": "z", "repeat": 400000, "rate": 50000}}})");
        FtpServer second;
        const std::string bytes(400000, 'z');
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        fs::create_directory(dest);
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        project.ftpiscompress = c.compressed;
        project.ftpcompass = "pw";
        if (c.toServer)
            ToSecondServer(project, second, "copy");
        h.Store(project);
        const auto received = [&] { return h.figures.progressInfo.bytes.load(); };

        BackgroundRun run(h, "nightly");
        ASSERT_TRUE(WaitFor([&] { return received() > 0; }, 30s));
        EXPECT_FALSE(h.control.Resume());
        ASSERT_TRUE(h.control.Pause());
        EXPECT_FALSE(h.control.Pause());
        EXPECT_EQ(h.control.runState(), vorn::RunState::Paused);
        // Held at the gate, the transfer cannot move until Resume.
        ASSERT_TRUE(WaitFor([&] { return h.control.heldAtPauseGate(); }, 30s));
        const auto held = received();
        EXPECT_LT(held, bytes.size());
        EXPECT_FALSE(run.WaitDone(200ms));
        EXPECT_EQ(received(), held);

        ASSERT_TRUE(h.control.Resume());
        EXPECT_EQ(h.control.runState(), vorn::RunState::Running);
        ASSERT_TRUE(run.WaitDone(60s));
        EXPECT_EQ(run.outcome(), RunOutcome::Success);
        EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(1, 1, 0, 0) });
        if (c.toServer) {
            EXPECT_EQ(ReadFile(second.root() / "copy" / "big.bin"), bytes);
        } else if (c.compressed) {
            std::vector<fs::path> archives;
            for (const auto& entry : fs::directory_iterator(dest))
                archives.push_back(entry.path());
            ASSERT_EQ(archives.size(), 1u);
            std::string output;
            ASSERT_EQ(
                SevenZip({ "x", "-ppw", "-o" + (h.dir() / "out").string(), archives[0].string() }, &output),
                0)
                << output;
            EXPECT_EQ(ReadFile(h.dir() / "out" / "big.bin"), bytes);
        } else {
            EXPECT_EQ(ReadFile(dest / "big.bin"), bytes);
        }
    }
}

// Server to server: the tree, empty folders included, arrives below the destination folder,
// replacing older copies; a compression flag is ignored, since there is nothing local to pack.
TEST(BackupRun, FtpToFtpCopiesTheTreeBelowTheDestinationFolder)
{
    FtpServer source;
    FtpServer destination;
    MakeTree(source.root(), kNestedTree, kListedTime);
    MakeTree(source.root(), { { "skip.doc", "not copied" } }, kListedTime);
    MakeTree(destination.root(), { { "backup/site/docs/a.txt", "old" } }, kListedTime);
    RunHarness h;
    const fs::path local = h.dir() / "local";
    fs::create_directory(local);
    BackupProject project = RunHarness::LocalProject(source, "", local.string());
    ToSecondServer(project, destination, "/backup/site");
    project.ftpiscompress = true;
    project.ftpcompass = "pw";
    project.ftprule = "File Rule(.txt .bin)\xA1\xA2Modify Time Any\xA1\xA2"
                      "File Size Any^";
    h.Store(project);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << source.log() << destination.log();

    Tree expected = ReadTree(source.root());
    expected.erase("skip.doc");
    EXPECT_EQ(ReadTree(destination.root() / "backup" / "site"), expected);
    EXPECT_EQ(h.observer.statusByPath().at("/skip.doc"), "Ignore");
    EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(7, 5, 0, 0) });
    EXPECT_EQ(h.figures.transferredBytes.load(), 100000u + 3 + 1 + 5 + 3);
    EXPECT_TRUE(fs::is_empty(local));
}
