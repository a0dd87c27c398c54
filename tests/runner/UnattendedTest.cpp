// Runs missed while no scheduler ran, their catch-up, and the alert for a project without a
// successful run: the scheduler on its real host and database, on a clock moved by hand.
#include "runner/Unattended.h"

#include "StoreTestSupport.h"
#include "TestTime.h"
#include "common/TimeText.h"
#include "engine/RunControl.h"
#include "engine/TransferFigures.h"
#include "runner/ProjectDbSchedulerHost.h"
#include "schedule/Scheduler.h"
#include "store/ProjectOptions.h"
#include "store/RunHistory.h"
#include "store/Settings.h"
#include "support/AlertServer.h"
#include "support/FtpServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using vorn::test::At;
using namespace std::chrono_literals;

namespace {

class HandClock : public vorn::Clock {
public:
    std::time_t Now() const override { return now; }
    std::atomic<std::time_t> now { 0 };
};

struct UnattendedRig {
    vorn::test::ScopedZone zone { "UTC0" };
    vorn::test::TempFolder folder;
    std::unique_ptr<vorn::ProjectDb> db = vorn::ProjectDb::Open(folder.File("gm_ftp_database.db")).db;
    vorn::RunControl control;
    vorn::TransferFigures figures;
    vorn::RunObserver nobody;
    vorn::ProjectDbSchedulerHost host { vorn::RunEnvironment {
        db.get(), &nobody, &control, &figures, true } };
    HandClock clock;

    // A scheduler started at `start`, polled once a clock second until `end`.
    void RunScheduler(const std::string& start, const std::string& end)
    {
        clock.now = At(start);
        vorn::Scheduler scheduler(host, clock, vorn::Scheduler::PassThread::Caller);
        scheduler.Start();
        for (const std::time_t last = At(end); clock.now < last;) {
            ++clock.now;
            scheduler.Poll();
        }
    }
    void AddDaily(const std::string& name, int hour, const vorn::test::FtpServer& server,
        std::initializer_list<const char*> settings)
    {
        vorn::BackupProject project;
        project.ftpname = name;
        project.ftptype = 1;
        project.ftpbackmode = 1;
        project.ftpplanmode = 3;
        project.ftphour = hour;
        project.ftpdaymode = 3;
        project.ftpip = server.host();
        project.ftpport = std::to_string(server.port());
        project.ftpuser = server.options().user;
        project.ftppassword = server.options().password;
        project.ftpsource = "/";
        project.ftpdest = folder.File(name);
        ASSERT_TRUE(vorn::InsertProject(db.get(), project));
        vorn::ProjectOptions options;
        ASSERT_TRUE(vorn::LoadProjectOptions(db.get(), name, options));
        for (const char* setting : settings)
            ASSERT_EQ(vorn::ApplyOptionSetting(setting, options), "");
        ASSERT_TRUE(vorn::SaveProjectOptions(db.get(), name, options));
    }
    // "outcome start" of each recorded run, newest first.
    std::vector<std::string> Runs(const std::string& name)
    {
        std::vector<std::string> runs;
        for (const vorn::RunRecord& run :
            vorn::QueryRuns(db.get(), vorn::FindProjectId(db.get(), name).value()))
            runs.push_back(run.outcome == "Missed" ? "Missed " + vorn::FormatLocalTime(run.start, "%H:%M")
                                                   : run.outcome);
        return runs;
    }
};

} // namespace

TEST(Unattended, MissedRunsAreRecordedOnceAndCatchUpRunsOnceAtTheNextStart)
{
    vorn::test::FtpServer server;
    vorn::test::WriteFile(server.root() / "a.txt", "a");
    // Years ahead of the real clock, which the catch-up runs record.
    UnattendedRig rig;
    rig.AddDaily("catches up", 3, server, { "catch-up=1" });
    rig.AddDaily("only recorded", 4, server, { "catch-up=0" });
    rig.AddDaily("not due yet", 9, server, { "catch-up=1" });
    // The first scheduler ever finds nothing missed: there is no earlier one to compare with.
    rig.RunScheduler("2030-05-14 21:59:00", "2030-05-14 22:00:00");
    EXPECT_TRUE(rig.Runs("catches up").empty());

    // The machine was off from 22:00 until 08:00: the 03:00 and 04:00 runs were missed.
    rig.RunScheduler("2030-05-15 08:00:00", "2030-05-15 08:00:30");
    EXPECT_EQ(rig.Runs("catches up"), (std::vector<std::string> { "Success", "Missed 03:00" }));
    EXPECT_EQ(rig.Runs("only recorded"), (std::vector<std::string> { "Missed 04:00" }));
    EXPECT_TRUE(rig.Runs("not due yet").empty());
    EXPECT_TRUE(std::filesystem::exists(rig.folder.path() / "catches up" / "a.txt"));

    // A restart soon after misses nothing new and runs nothing again.
    rig.RunScheduler("2030-05-15 08:05:00", "2030-05-15 08:05:30");
    EXPECT_EQ(rig.Runs("catches up"), (std::vector<std::string> { "Success", "Missed 03:00" }));
    EXPECT_EQ(rig.Runs("only recorded"), (std::vector<std::string> { "Missed 04:00" }));

    // Three days away: one missed record for the latest time, one catch-up run.
    rig.RunScheduler("2030-05-18 12:00:00", "2030-05-18 12:00:30");
    EXPECT_EQ(rig.Runs("catches up"),
        (std::vector<std::string> { "Success", "Missed 03:00", "Success", "Missed 03:00" }));
    EXPECT_EQ(rig.Runs("not due yet"), (std::vector<std::string> { "Success", "Missed 09:00" }));
}

TEST(Unattended, AProjectWithoutASuccessAlertsOnceEveryNDays)
{
    vorn::test::TempFolder serverDir;
    vorn::test::AlertServer hook(vorn::test::AlertServer::Kind::Hook, serverDir.path(), {});
    vorn::test::FtpServer server;
    UnattendedRig rig;
    // notify=never keeps the missed runs' alerts out; the stale alert was asked for by itself.
    rig.AddDaily("site", 3, server, { "alert-after-days=2", "notify=never" });
    vorn::DatabaseSettings settings;
    settings.hookUrl = "http://127.0.0.1:" + std::to_string(hook.port()) + "/stale";
    ASSERT_TRUE(vorn::SaveSettings(rig.db.get(), settings));
    const std::int64_t ftpid = vorn::FindProjectId(rig.db.get(), "site").value();
    vorn::RunRecord success {
        .start = At("2024-05-10 11:00:00"), .end = At("2024-05-10 12:00:00"), .outcome = "Success"
    };
    ASSERT_TRUE(vorn::RecordRun(rig.db.get(), ftpid, success, {}));
    vorn::RunRecord failed {
        .start = At("2024-05-11 11:00:00"), .end = At("2024-05-11 11:00:01"), .outcome = "Fail"
    };
    ASSERT_TRUE(vorn::RecordRun(rig.db.get(), ftpid, failed, {}));

    // One day and 23 hours after the success: nothing yet.
    rig.RunScheduler("2024-05-12 11:00:00", "2024-05-12 11:00:30");
    EXPECT_TRUE(hook.WaitForRecords(1, 300ms).empty());
    // Three days: one alert, however often the scheduler looks or restarts.
    rig.RunScheduler("2024-05-13 12:00:00", "2024-05-13 12:03:00");
    rig.RunScheduler("2024-05-14 11:00:00", "2024-05-14 11:00:30");
    auto calls = hook.WaitForRecords(1, 10s);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].raw.find("\"outcome\":\"stale\",\"summary\":\"no successful run for 3 days\""),
        std::string::npos)
        << calls[0].raw;
    // Two further days: the second.
    rig.RunScheduler("2024-05-14 12:00:30", "2024-05-14 12:01:00");
    calls = hook.WaitForRecords(2, 10s);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[1].raw.find("no successful run for 4 days"), std::string::npos) << calls[1].raw;
}

TEST(Unattended, TheLatestScheduledTimeInAGapIsFoundForEveryKindOfPlan)
{
    vorn::test::ScopedZone zone { "UTC0" };
    const struct {
        vorn::ScheduleTexts schedule;
        const char* after;
        const char* expected; // "" when the plan did not fire in the gap
    } rows[] = {
        { { "3", "", "3", "0", "3" }, "2024-05-14 22:00:00", "2024-05-15 03:00:00" },
        { { "3", "", "3", "0", "3" }, "2024-05-15 03:30:00", "" },
        { { "3", "", "3", "0", "3" }, "2024-04-01 00:00:00", "2024-05-15 03:00:00" },
        { { "2", "1056|", "9", "30", "0" }, "2024-05-01 00:00:00", "2024-05-13 09:30:00" }, // Mondays
        { { "1", "1021|", "9", "30", "0" }, "2024-04-20 00:00:00", "2024-05-01 09:30:00" }, // the 1st
        { { "1", "1021|", "9", "30", "0" }, "2024-05-02 00:00:00", "" },
        { { "0", "", "0", "0", "0" }, "2024-05-01 00:00:00", "" }, // no schedule
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.schedule.planMode) + " " + row.schedule.plan + " after " + row.after);
        const std::time_t found
            = vorn::LastFireTimeBetween(row.schedule, At(row.after), At("2024-05-15 08:00:00"));
        EXPECT_EQ(
            found == 0 ? std::string() : vorn::FormatLocalTime(found, "%Y-%m-%d %H:%M:%S"), row.expected);
    }
}
