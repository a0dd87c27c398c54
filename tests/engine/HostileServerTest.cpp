// Whole runs against a scripted server that misbehaves on purpose, and against destinations
// set up to lead writes astray: nothing lands outside the destination, a short copy is never
// taken for a whole one, every listed name is copied or reported, and every run ends.
#include "RunHarness.h"
#include "store/ProjectOptions.h"
#include "support/TestFiles.h"
#include "support/VirtualFtpServer.h"

#include <gtest/gtest.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

std::string ResultLine(int folders, int files, int failedFolders, int failedFiles)
{
    return "Transmission Results: Folder(s):" + std::to_string(folders) + ", File(s):" + std::to_string(files)
        + ", Failed Folder(s):" + std::to_string(failedFolders)
        + ", Failed File(s):" + std::to_string(failedFiles) + ".";
}

// JSON of a tree for virtual_ftp.py.
std::string Json(bool mlsd, bool size, const std::string& tree)
{
    return std::string("{\"mlsd\": ") + (mlsd ? "true" : "false") + ", \"size\": " + (size ? "true" : "false")
        + ", \"tree\": {" + tree + "}}";
}

std::map<std::string, RecordingObserver::Row> RowsByPath(const RunHarness& h)
{
    std::map<std::string, RecordingObserver::Row> rows;
    for (const auto& row : h.observer.record().rows)
        rows[row.path] = row;
    return rows;
}

// A PID that belonged to a process of ours that has ended.
pid_t GonePid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

} // namespace

// Names no file system here can hold ("/" inside) are failed rows and failed folders with a
// reason; a backslash and names of up to 255 bytes are ordinary names, copied as they are.
TEST(HostileServer, EveryListedNameIsCopiedOrReportedWithItsReason)
{
    const std::string long250 = std::string(246, 'n') + ".txt";
    const std::string long255 = std::string(251, 'm') + ".txt";
    // "shut" is listed first, so it is the last folder visited.
    const std::string tree
        = R"("shut": {"deny": true, "folder": {"s.txt": {"data": "s"}}}, "a\\b.txt": {"data": "ab"}, "sub\\dir": {"folder": {"in.txt": {"data": "in"}}},
        "../escape.txt": {"data": "e"}, "x/y": {"folder": {"z.txt": {"data": "z"}}},
        ")"
        + long250 + R"(": {"data": "250"}, ")" + long255 + R"(": {"data": "255"})";
    for (const bool mlsd : { true, false }) {
        SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
        VirtualFtpServer server(Json(mlsd, true, tree));
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        h.Store(RunHarness::LocalProject(server, "", dest.string()));

        ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

        EXPECT_EQ(ReadTree(dest),
            (Tree { { "a\\b.txt", "ab" }, { "sub\\dir", "/" }, { "sub\\dir/in.txt", "in" },
                { long250, "250" }, { long255, "255" } }));
        const auto rows = RowsByPath(h);
        EXPECT_EQ(rows.at("/../escape.txt").status, "Failed");
        EXPECT_FALSE(rows.at("/../escape.txt").reason.empty());
        EXPECT_EQ(rows.at("/x/y/").status, "Failed");
        EXPECT_FALSE(rows.at("/x/y/").reason.empty());
        EXPECT_EQ(rows.at("/" + long255).status, "Success");
        // "shut" cannot be entered: a failed folder, which ends the walk.
        EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(2, 4, 2, 1) });
        EXPECT_EQ(Names(h.dir()), (std::set<std::string> { "dest", "gm_ftp_database.db" }));
    }
}

// A link planted in the destination never leads a write elsewhere: a linked folder is a
// failed folder with its reason, a linked file is replaced by a file of its own. A link at
// the destination's own path is the user's choice and is followed.
TEST(HostileServer, SymbolicLinksInTheDestinationAreNeverWrittenThrough)
{
    VirtualFtpServer server(Json(true, true,
        R"("sub": {"folder": {"f.txt": {"data": "new"}}}, "link.txt": {"data": "fresh"},
           "top.txt": {"data": "t"})"));
    RunHarness h;
    const TempDir outside;
    WriteFile(outside.path() / "keep.txt", "mine");
    WriteFile(outside.path() / "target.txt", "precious");
    const fs::path real = h.dir() / "real";
    fs::create_directory(real);
    fs::create_directory_symlink(outside.path(), real / "sub");
    fs::create_symlink(outside.path() / "target.txt", real / "link.txt");
    fs::create_directory_symlink(real, h.dir() / "via");
    h.Store(RunHarness::LocalProject(server, "", (h.dir() / "via").string()));

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

    EXPECT_EQ(ReadTree(outside.path()), (Tree { { "keep.txt", "mine" }, { "target.txt", "precious" } }));
    EXPECT_FALSE(fs::is_symlink(real / "link.txt"));
    EXPECT_EQ(ReadFile(real / "link.txt"), "fresh");
    EXPECT_EQ(ReadFile(real / "top.txt"), "t");
    EXPECT_TRUE(fs::is_symlink(real / "sub"));
    const auto rows = RowsByPath(h);
    EXPECT_EQ(rows.at("/sub/").status, "Failed");
    EXPECT_NE(rows.at("/sub/").reason.find("symbolic link"), std::string::npos) << rows.at("/sub/").reason;
    EXPECT_EQ(rows.count("/sub/f.txt"), 0u);
    EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(1, 2, 1, 0) });
}

// A transfer that ends early (or late) while the server still answers 226 is no copy: the
// row fails with the reason and the previous copy stays, whether the size came from SIZE or
// only from the listing, for downloads and for server-to-server copies. With no size from
// anywhere the copy is kept, and the row says it could not be checked.
TEST(HostileServer, AShortOrLongTransferIsNeverTakenForACompleteCopy)
{
    struct Case {
        const char* what;
        bool mlsd, size;
        const char* file;
        const char* status;
        std::size_t copied; // the bytes that replaced the old copy; 0: the old copy stays
        bool reason; // the row says why, or that the copy is not checked
    };
    const Case cases[] = {
        { "cut off, SIZE answers", true, true, R"({"data": "x", "repeat": 1000, "send": 500})", "Failed", 0,
            true },
        { "cut off, no SIZE, MLSD size", true, false, R"({"data": "x", "repeat": 1000, "send": 500})",
            "Failed", 0, true },
        { "cut off, no SIZE, LIST size", false, false, R"({"data": "x", "repeat": 1000, "send": 500})",
            "Failed", 0, true },
        { "longer than listed, no SIZE", true, false, R"({"data": "x", "repeat": 1000, "listed": "10"})",
            "Failed", 0, true },
        // A file that grew after its folder was listed: SIZE, asked once the lengths differ,
        // agrees with the data, so the copy is whole.
        { "longer than listed, SIZE answers", false, true, R"({"data": "x", "repeat": 1000, "listed": "10"})",
            "Success", 1000, false },
        { "no size anywhere", true, false, R"({"data": "x", "repeat": 1000, "send": 500, "listed": ""})",
            "Success", 500, true },
    };
    for (const bool relay : { false, true }) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (relay ? " (Ftp->Ftp)" : " (Ftp->Local)"));
            VirtualFtpServer server(Json(c.mlsd, c.size, std::string("\"f.bin\": ") + c.file));
            FtpServer destination;
            RunHarness h;
            const fs::path dest = h.dir() / "dest";
            BackupProject project = RunHarness::LocalProject(server, "", dest.string());
            fs::path copy = dest / "f.bin";
            if (relay) {
                ToSecondServer(project, destination, "/b");
                copy = destination.root() / "b" / "f.bin";
            }
            WriteFile(copy, "old good copy");
            h.Store(project);
            // These cuts come on every try: one try tells all (RetryRunTest tries again).
            ProjectOptions once;
            ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", once));
            once.retries = 0;
            ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", once));

            ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

            const auto row = h.observer.record().rows.at(0);
            EXPECT_EQ(row.status, c.status);
            EXPECT_EQ(row.reason.empty(), !c.reason) << row.reason;
            EXPECT_EQ(ReadFile(copy), c.copied > 0 ? std::string(c.copied, 'x') : "old good copy");
            EXPECT_EQ(Names(copy.parent_path()), std::set<std::string> { "f.bin" }); // no temporary left
        }
    }
}

// A folder that lists itself ends at 100 levels below the project folder, compressed or not:
// the level beyond is a failed folder with its reason, and the run ends.
TEST(HostileServer, AFolderThatListsItselfIsBoundedAt100Levels)
{
    VirtualFtpServer server(
        Json(true, true, R"("loop": {"folder": {"loop": {"loop": true}, "a.txt": {"data": "a"}}})"));
    for (const bool compress : { false, true }) {
        SCOPED_TRACE(compress ? "compressed" : "plain");
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        project.ftpiscompress = compress;
        project.ftpcompass = "pw";
        h.Store(project);

        ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

        EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { ResultLine(101, 100, 1, 0) });
        std::string tooDeep;
        for (int i = 0; i < 101; ++i)
            tooDeep += "/loop";
        const auto rows = RowsByPath(h);
        ASSERT_EQ(rows.count(tooDeep + "/"), 1u);
        EXPECT_EQ(rows.at(tooDeep + "/").status, "Failed");
        EXPECT_NE(rows.at(tooDeep + "/").reason.find("too deep"), std::string::npos);
        if (!compress) {
            fs::path deepest = dest;
            for (int i = 0; i < 100; ++i)
                deepest /= "loop";
            EXPECT_EQ(ReadFile(deepest / "a.txt"), "a");
            EXPECT_FALSE(fs::exists(deepest / "loop"));
        }
    }
}

// The temporary files of a run that was killed are removed by the next run of the folder,
// but never those of a process still running, nor files that only look alike.
TEST(HostileServer, LeftoverTemporaryFilesOfAGoneProcessAreRemoved)
{
    VirtualFtpServer server(Json(true, true, R"("sub": {"folder": {"a.txt": {"data": "a"}}})"));
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    const std::string gone = std::to_string(GonePid());
    const std::string alive = std::to_string(getpid());
    const std::string parent = std::to_string(getppid());
    const std::set<std::string> kept { ".a.txt.vornpart-" + alive + "-0123abcd",
        ".a.txt.vornpart-" + parent + "-0123abcd", ".x.vornpart-" + gone + "-0123abcX", "a.vornpart-" + gone,
        ".x.vornpart-" + gone + "-0123abcd.txt" };
    for (const std::string& name : kept)
        WriteFile(dest / "sub" / name, "keep");
    WriteFile(dest / "sub" / (".a.txt.vornpart-" + gone + "-0123abcd"), "leftover");
    WriteFile(dest / "sub" / (".vornpart-" + gone + "-89abcdef"), "short leftover");
    h.Store(RunHarness::LocalProject(server, "", dest.string()));

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

    std::set<std::string> expected = kept;
    expected.insert("a.txt");
    EXPECT_EQ(Names(dest / "sub"), expected);
}

// A stored port that is no port fails the run before any connection, naming the value; it
// is never wrapped into another port.
TEST(HostileServer, AStoredPortThatIsNoPortFailsTheRunBeforeAnyConnection)
{
    VirtualFtpServer server(Json(true, true, R"("a.txt": {"data": "a"})"));
    for (const char* port : { "70000", "-1", "", "21x", "0" }) {
        for (const bool destinationPort : { false, true }) {
            SCOPED_TRACE(std::string(port) + (destinationPort ? " (destination)" : " (source)"));
            RunHarness h;
            BackupProject project = RunHarness::LocalProject(server, "", (h.dir() / "dest").string());
            if (destinationPort) {
                project.ftptype = 2;
                project.ftpdestip = "127.0.0.1";
                project.ftpdestpath = "/b";
                project.ftpdestport = port;
            } else {
                project.ftpport = port;
            }
            h.Store(project);

            EXPECT_EQ(h.Run("nightly"), RunOutcome::Fail);

            const auto record = h.observer.record();
            // Told once, as the run's failure (the command prints each reason once).
            EXPECT_TRUE(record.problems.empty());
            ASSERT_EQ(record.failures.size(), 1u);
            EXPECT_NE(record.failures[0].find(std::string("\"") + port + "\""), std::string::npos);
            EXPECT_TRUE(record.rows.empty());
            EXPECT_EQ(record.resultTexts, std::vector<std::string> { "Transmission Results: Failed!" });
            EXPECT_EQ(h.Stored("nightly").first, "Fail");
            EXPECT_FALSE(fs::exists(h.dir() / "dest"));
        }
    }
}

// A compressed run killed in the middle leaves its private folder in the destination; the
// next compressed run removes the downloads that were in flight there once the process is
// gone, keeps copies the archive had refused, and leaves a running process's folder alone.
TEST(HostileServer, LeftoverStagingFoldersOfAGoneCompressedRunAreCleared)
{
    VirtualFtpServer server(Json(true, true, R"("a.txt": {"data": "a"})"));
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    const std::string gone = std::to_string(GonePid());
    const std::string alive = std::to_string(getppid());
    WriteFile(dest / (".vornbackup-" + gone + "-abcdef") / "incoming" / "half.bin", "in flight");
    WriteFile(dest / (".vornbackup-" + gone + "-ghijkl") / "incoming" / ".b.vornpart-1-0123abcd", "part");
    WriteFile(dest / (".vornbackup-" + gone + "-ghijkl") / "kept" / "docs" / "c:.txt", "refused");
    WriteFile(dest / (".vornbackup-" + alive + "-mnopqr") / "incoming" / "y.bin", "running");
    BackupProject project = RunHarness::LocalProject(server, "", dest.string());
    project.ftpiscompress = true;
    project.ftpcompass = "pw";
    h.Store(project);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

    Tree left = ReadTree(dest);
    for (auto it = left.begin(); it != left.end();)
        it = it->first.ends_with(".zip") ? left.erase(it) : std::next(it);
    EXPECT_EQ(left,
        (Tree { { ".vornbackup-" + gone + "-ghijkl", "/" }, { ".vornbackup-" + gone + "-ghijkl/kept", "/" },
            { ".vornbackup-" + gone + "-ghijkl/kept/docs", "/" },
            { ".vornbackup-" + gone + "-ghijkl/kept/docs/c:.txt", "refused" },
            { ".vornbackup-" + alive + "-mnopqr", "/" }, { ".vornbackup-" + alive + "-mnopqr/incoming", "/" },
            { ".vornbackup-" + alive + "-mnopqr/incoming/y.bin", "running" } }));
}
