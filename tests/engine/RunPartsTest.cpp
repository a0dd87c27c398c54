// The pieces a run is made of: path joining, archive names, the result line, file stamping
// and the run control's pause and stop.
#include "engine/BackupRun.h"
#include "engine/LocalFiles.h"
#include "engine/RunControl.h"
#include "support/ScopedZone.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace vorn;
using namespace vorn::test;
using namespace std::chrono_literals;

TEST(RunParts, JoinLoginFolderKeepsTheProjectFolderBelowTheLoginFolder)
{
    struct Row {
        const char *login, *folder, *joined;
    };
    const Row rows[] = {
        { "/", "site", "/site" },
        { "/", "/site", "/site" },
        { "/", "", "/" },
        { "/home/u", "/site", "/home/u/site" },
        { "/home/u", "site/img", "/home/u/site/img" },
        { "/home/u", "", "/home/u/" },
        { "/home/u/", "/site", "/home/u/site" }, // a login folder reported with its "/"
        { "/home/u/", "site", "/home/u/site" },
        { "/home/u/", "", "/home/u/" },
    };
    for (const Row& row : rows)
        EXPECT_EQ(JoinLoginFolder(row.login, row.folder), row.joined) << row.login << " + " << row.folder;
}

TEST(RunParts, ArchivePathAndResultText)
{
    {
        const ScopedZone zone("UTC0");
        const std::time_t when = 1362665109; // 2013-03-07 14:05:09 UTC
        EXPECT_EQ(ArchivePath("/srv/Backup", "nightly", when), "/srv/Backup/nightly_130307140509.zip");
        EXPECT_EQ(ArchivePath("/srv/Backup/", "nightly", when), "/srv/Backup/nightly_130307140509.zip");
        EXPECT_EQ(ArchivePath("rel", "a/../b", when), "rel/a_.._b_130307140509.zip");
        // The name carries local time: eight hours east, the same moment is 22:05.
        const ScopedZone east("CST-8");
        EXPECT_EQ(ArchivePath("/srv/Backup", "nightly", when), "/srv/Backup/nightly_130307220509.zip");
    }

    TransferTally tally { 5000000000ull, 2, 4294967297ull, 1 };
    EXPECT_EQ(ResultText(tally),
        "Transmission Results: Folder(s):4294967297, File(s):5000000000, "
        "Failed Folder(s):1, Failed File(s):2.");
}

TEST(RunParts, StampSetsTheListedTimeAsUtcAndLeavesTheAccessTime)
{
    // A zone far from UTC: the stamp must not depend on it.
    const ScopedZone zone("CST-8");
    const TempDir dir;
    const auto file = dir.path() / "f";
    struct Row {
        const char* listed;
        bool stamped;
        std::int64_t mtime;
    };
    const Row rows[] = {
        { "2012031514:25", true, 1331821500 },
        { "20120315", true, 1331769600 },
        { "2012031523:59", true, 1331855940 },
        { "2012", false, 0 },
        { "", false, 0 },
    };
    for (const Row& row : rows) {
        WriteFile(file, "x");
        SetModificationTime(file, 1000);
        struct stat before { };
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        EXPECT_EQ(StampLocalFile(file.string(), row.listed), row.stamped) << row.listed;
        struct stat after { };
        ASSERT_EQ(stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_mtim.tv_sec, row.stamped ? row.mtime : 1000) << row.listed;
        EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec) << row.listed;
    }
    EXPECT_FALSE(StampLocalFile((dir.path() / "missing").string(), "20120315"));
}

TEST(RunParts, RunControlPausesBlocksAndStopsFromOtherThreads)
{
    RunControl control;
    EXPECT_FALSE(control.Pause()); // idle: nothing to pause
    control.setRunState(vorn::RunState::Running);
    EXPECT_TRUE(control.WaitWhilePaused());
    EXPECT_FALSE(control.heldAtPauseGate());

    ASSERT_TRUE(control.Pause());
    std::atomic<int> answer { -1 };
    std::thread worker([&] { answer = control.WaitWhilePaused() ? 1 : 0; });
    ASSERT_TRUE(WaitFor([&] { return control.heldAtPauseGate(); }, 30s));
    EXPECT_EQ(answer, -1); // held while paused
    ASSERT_TRUE(control.Resume());
    EXPECT_TRUE(WaitFor([&] { return answer == 1; }, 30s));
    EXPECT_FALSE(control.heldAtPauseGate());
    worker.join();

    // Stop releases a paused worker with "stop", runs the cancel actions once each, and an
    // action registered afterwards runs at once.
    ASSERT_TRUE(control.Pause());
    answer = -1;
    std::thread paused([&] { answer = control.WaitWhilePaused() ? 1 : 0; });
    ASSERT_TRUE(WaitFor([&] { return control.heldAtPauseGate(); }, 30s));
    std::atomic<int> cancelled { 0 };
    {
        CancelRegistration registration(&control, [&] { ++cancelled; });
        control.Stop();
        EXPECT_TRUE(WaitFor([&] { return answer == 0; }, 30s));
        EXPECT_FALSE(control.heldAtPauseGate());
        EXPECT_EQ(cancelled, 1);
        CancelRegistration late(&control, [&] { ++cancelled; });
        EXPECT_EQ(cancelled, 2);
    }
    paused.join();
    control.Stop(); // registrations are gone: nothing runs
    EXPECT_EQ(cancelled, 2);

    control.Begin();
    EXPECT_FALSE(control.stopRequested());
    // A Shutdown outlasts the begin step of every later run.
    control.Shutdown();
    control.Begin();
    EXPECT_TRUE(control.stopRequested());
}

// Each outcome has one status text, read back as the same outcome; other statuses are none.
TEST(RunParts, RunOutcomeTextsRoundTrip)
{
    const std::pair<RunOutcome, const char*> rows[] = { { RunOutcome::Success, "Success" },
        { RunOutcome::Fail, "Fail" }, { RunOutcome::Failed, "Failed" }, { RunOutcome::Stopped, "Stop" } };
    for (const auto& [outcome, text] : rows) {
        EXPECT_EQ(RunOutcomeText(outcome), text);
        EXPECT_EQ(RunOutcomeFromText(text), outcome) << text;
    }
    for (const char* other : { "Running", "", "fail", "Stopped", "Success " })
        EXPECT_EQ(RunOutcomeFromText(other), std::nullopt) << other;
}
