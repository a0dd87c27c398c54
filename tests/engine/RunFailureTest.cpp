// Runs that go wrong half-way, against real FTP servers on 127.0.0.1: a destination server
// that refuses or drops what it is sent, a source server that goes away in the middle of a
// run, and projects of a type the engine does not know. Whatever happens, every entry is
// reported, no partial copy replaces a good one and the stored status says how it ended.
#include "RunHarness.h"
#include "store/ProjectOptions.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <csignal>
#include <gtest/gtest.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using Statuses = std::map<std::string, std::string>;

std::string Bytes(std::size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 31 + i / 997);
    return bytes;
}

BackupProject ServerToServer(const FtpServer& source, const FtpServer& destination, const std::string& folder)
{
    BackupProject project = RunHarness::LocalProject(source, "", "");
    ToSecondServer(project, destination, folder);
    return project;
}

} // namespace

// The source side works; the destination refuses at each step in turn. The old copies on the
// destination stay as they were and nothing half-written is left beside them.
TEST(RunFailure, ServerToServerRunsFailingOnTheDestinationSide)
{
    const std::string big = Bytes(200000, 3);
    const Tree oldCopies = { { "copy", "/" }, { "copy/a.txt", "old a" }, { "copy/sub", "/" },
        { "copy/sub/b.bin", "old b" }, { "blocker", "not a folder" } };
    struct Row {
        const char* what;
        FtpServerOptions destination;
        std::string password, folder;
        RunOutcome outcome;
        std::string stored, result;
        Statuses statuses;
        Tree after; // the destination's tree after the run
    };
    FtpServerOptions refusesUploads, dropsUploads, locksUploads;
    refusesUploads.permissions = "elradfmMT"; // no 'w'
    dropsUploads.dropUploadAfter = 1000;
    locksUploads.noReplace = true; // so the client must move the old copy aside first ...
    locksUploads.refuseRenameOf = ".vornpart-"; // ... and then cannot move the new one in
    Tree dropped = oldCopies;
    dropped["copy/a.txt"] = "alpha";
    const Row rows[] = {
        { "login refused", {}, "wrong", "copy", RunOutcome::Fail, "Fail", "Transmission Results: Failed!", {},
            oldCopies },
        { "folder cannot be made", {}, "secret", "blocker/copy", RunOutcome::Fail, "Fail",
            "Transmission Results: Failed!", {}, oldCopies },
        { "upload refused", refusesUploads, "secret", "copy", RunOutcome::Success, "Success",
            "Transmission Results: Folder(s):2, File(s):0, Failed Folder(s):0, Failed File(s):2.",
            { { "/a.txt", "Failed" }, { "/sub/b.bin", "Failed" } }, oldCopies },
        { "destination drops mid-upload", dropsUploads, "secret", "copy", RunOutcome::Success, "Success",
            "Transmission Results: Folder(s):2, File(s):1, Failed Folder(s):0, Failed File(s):1.",
            { { "/a.txt", "Success" }, { "/sub/b.bin", "Failed" } }, dropped },
        { "the new copy cannot be moved in", locksUploads, "secret", "copy", RunOutcome::Success, "Success",
            "Transmission Results: Folder(s):2, File(s):0, Failed Folder(s):0, Failed File(s):2.",
            { { "/a.txt", "Failed" }, { "/sub/b.bin", "Failed" } }, oldCopies },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FtpServer source;
        MakeTree(source.root(), { { "a.txt", "alpha" }, { "sub/b.bin", big } }, 1331821537);
        FtpServerOptions destinationOptions = row.destination;
        destinationOptions.password = "secret";
        FtpServer destination(destinationOptions);
        MakeTree(destination.root(), oldCopies, 1331821537);
        RunHarness h;
        BackupProject project = ServerToServer(source, destination, row.folder);
        project.ftpdestpass = row.password;
        h.Store(project);

        EXPECT_EQ(h.Run("nightly"), row.outcome) << destination.log();
        EXPECT_EQ(h.Stored("nightly").first, row.stored);
        EXPECT_EQ(h.observer.record().resultTexts, std::vector<std::string> { row.result });
        EXPECT_EQ(h.observer.statusByPath(), row.statuses);
        EXPECT_EQ(ReadTree(destination.root()), row.after) << destination.log();
    }
}

// The source server dies while a large file is on its way: that file fails, no partial file
// is left, and the folders not entered yet are failed rows. Without retries the root folder
// having been listed, the run stores "Success" with the failures in its counts; with retries
// the server that cannot be logged in to again ends the run as "Fail" with the reason.
TEST(RunFailure, AConnectionLostMidRunReportsWhatWasNotCopied)
{
    for (const int retries : { 0, 1 }) {
        SCOPED_TRACE("retries=" + std::to_string(retries));
        FtpServerOptions slow;
        slow.slowDataBytesPerSecond = 256 * 1024;
        // A server that takes one session at a time: the walk lists and copies on it alone,
        // so the folders after the file are not reached.
        slow.maxSessions = 1;
        auto server = std::make_unique<FtpServer>(slow);
        MakeTree(server->root(),
            { { "m.bin", Bytes(8 << 20, 5) }, { "sub/c.txt", "charlie" }, { "zed/d.txt", "delta" } },
            1331821537);
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        h.Store(RunHarness::LocalProject(*server, "", dest.string()));
        ProjectOptions options;
        ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", options));
        options.retries = retries;
        ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));

        RunOutcome outcome = RunOutcome::Stopped;
        std::atomic<bool> done { false };
        std::thread run([&] {
            outcome = h.Run("nightly");
            done = true;
        });
        // 8 MB at this speed take half a minute: the server goes while the file is under way.
        const bool underWay = WaitFor([&] { return h.figures.progressInfo.bytes.load() > 0; }, 30s);
        kill(server->pid(), SIGKILL);
        const bool ended = WaitFor([&] { return done.load(); }, 60s);
        ASSERT_TRUE(ended) << "the run did not notice the lost connection";
        run.join();
        ASSERT_TRUE(underWay);

        const bool retried = retries > 0;
        EXPECT_EQ(outcome, retried ? RunOutcome::Fail : RunOutcome::Success);
        // The two folders the lost connection kept from being copied have rows of their own.
        EXPECT_EQ(h.observer.statusByPath(),
            (Statuses { { "/m.bin", "Failed" }, { "/sub/", "Failed" }, { "/zed/", "Failed" } }));
        EXPECT_EQ(h.observer.record().resultTexts,
            std::vector<std::string> { retried ? "Transmission Results: Failed!"
                                               : "Transmission Results: Folder(s):1, File(s):0, Failed "
                                                 "Folder(s):2, Failed File(s):1." });
        EXPECT_EQ(h.Stored("nightly").first, retried ? "Fail" : "Success");
        EXPECT_EQ(ReadTree(dest), Tree {});
        server.reset();
    }
}

// A folder the server refuses to enter is counted as failed, and the folders still waiting
// after it are copied all the same, in whatever order the listing gave them.
TEST(RunFailure, AFolderThatCannotBeEnteredDoesNotEndTheWalk)
{
    FtpServer server;
    const TempDir outside;
    MakeTree(server.root(), { { "a/one.txt", "one" }, { "z/two.txt", "two" } }, 1331821537);
    for (const char* name : { "b-escape", "y-escape" }) // CWD into a link out of the root answers 550
        fs::create_directory_symlink(outside.path(), server.root() / name);
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "", dest.string()));

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();
    EXPECT_EQ(ReadTree(dest),
        (Tree { { "a", "/" }, { "a/one.txt", "one" }, { "z", "/" }, { "z/two.txt", "two" } }));
    EXPECT_EQ(h.observer.record().resultTexts,
        std::vector<std::string> {
            "Transmission Results: Folder(s):3, File(s):2, Failed Folder(s):2, Failed File(s):0." });
}

// Only 1 (Ftp->Local) and 2 (Ftp->Ftp) are project types: any other stored value fails the
// run without touching a server or a folder.
TEST(RunFailure, AProjectOfAnUnknownTypeFailsWithoutConnecting)
{
    for (const std::int32_t type : { 0, 3, 7, -1 }) {
        SCOPED_TRACE(type);
        FtpServerOptions options;
        options.logCommands = true;
        FtpServer server(options);
        MakeTree(server.root(), { { "a.txt", "alpha" } }, 1331821537);
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        project.ftptype = type;
        h.Store(project);

        EXPECT_EQ(h.Run("nightly"), RunOutcome::Fail);
        EXPECT_EQ(h.Stored("nightly").first, "Fail");
        EXPECT_EQ(
            h.observer.record().resultTexts, std::vector<std::string> { "Transmission Results: Failed!" });
        EXPECT_TRUE(h.observer.record().rows.empty());
        EXPECT_FALSE(fs::exists(dest));
        EXPECT_EQ(server.log().find("USER"), std::string::npos) << server.log();
    }
}
