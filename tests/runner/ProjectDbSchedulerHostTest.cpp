// The scheduler on its real host: plans from a real SQLite file, runs through the real
// engine against a real FTP server on 127.0.0.1; only the clock is moved by hand.
#include "runner/ProjectDbSchedulerHost.h"

#include "StoreTestSupport.h"
#include "TestTime.h"
#include "engine/RunControl.h"
#include "engine/TransferFigures.h"
#include "schedule/Scheduler.h"
#include "support/FtpServer.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <stdexcept>

using vorn::BackupProject;
using vorn::Scheduler;
using vorn::test::At;
using namespace std::chrono_literals;

namespace {

class ManualClock : public vorn::Clock {
public:
    std::time_t Now() const override { return now; }
    std::atomic<std::time_t> now { 0 };
};

// The runs' reports as "kind:name=value" lines, and the next backup times; a worker pass
// reports on its own thread while the test reads.
class Recorder : public vorn::RunObserver {
public:
    void OnRunStarted(const std::string& name) override
    {
        Note("started:" + name);
        if (throwOnStart.exchange(false))
            throw std::runtime_error("observer failure");
    }
    void OnProjectStatus(const std::string& name, vorn::ProjectStatus status) override
    {
        Note("status:" + name + "=" + std::string(vorn::ProjectStatusText(status)));
    }
    void OnResultText(const std::string& text) override { Note("result:" + text); }
    void OnRunFinished(const std::string& name, vorn::RunOutcome outcome) override
    {
        Note("finished:" + name + "=" + std::string(vorn::RunOutcomeText(outcome)));
    }
    void Note(const std::string& line)
    {
        std::lock_guard lock(mutex_);
        log_ += line + "\n";
    }
    bool Saw(const std::string& line) const
    {
        std::lock_guard lock(mutex_);
        return log_.find(line + "\n") != std::string::npos;
    }
    std::string Log() const
    {
        std::lock_guard lock(mutex_);
        return log_;
    }
    std::atomic<bool> throwOnStart { false };

private:
    mutable std::mutex mutex_;
    std::string log_;
};

// A database in a fresh folder, the host on it and a scheduler on a hand-moved clock; local
// time is UTC.
struct Rig {
    vorn::test::ScopedZone zone { "UTC0" };
    vorn::test::TempFolder folder;
    std::unique_ptr<vorn::ProjectDb> db;
    vorn::RunControl control;
    vorn::TransferFigures figures;
    Recorder recorder;
    std::unique_ptr<vorn::ProjectDbSchedulerHost> host;
    ManualClock clock;
    std::unique_ptr<Scheduler> scheduler;

    Rig(const std::string& start, Scheduler::PassThread thread)
    {
        db = vorn::ProjectDb::Open(folder.File("gm_ftp_database.db")).db;
        host = std::make_unique<vorn::ProjectDbSchedulerHost>(
            vorn::RunEnvironment { db.get(), &recorder, &control, &figures, true },
            [this](const std::string& name, const std::string& next) {
                recorder.Note("next:" + name + "=" + next);
            });
        clock.now = At(start);
        scheduler = std::make_unique<Scheduler>(*host, clock, thread);
        scheduler->Start();
    }
    // One Poll per clock second, as the service's loop does.
    void PollUntil(const std::string& end)
    {
        for (const std::time_t last = At(end); clock.now < last;) {
            ++clock.now;
            scheduler->Poll();
        }
    }
    std::string Stored(const std::string& name)
    {
        const auto rows = vorn::test::RawQuery(
            db->path(), "select ftpstatus from gm_ftp_plantable where ftpname = '" + name + "'");
        return rows.empty() ? "<no row>" : rows.front().front();
    }
};

BackupProject Plan(const std::string& name, std::int32_t planMode, std::vector<std::int32_t> plan,
    std::int32_t hour, std::int32_t minute, std::int32_t dayMode)
{
    return { .ftpname = name,
        .ftptype = 1,
        .ftpplanmode = planMode,
        .ftpplan = std::move(plan),
        .ftphour = hour,
        .ftpminute = minute,
        .ftpdaymode = dayMode };
}

// A daily 10:00 Ftp->Local copy of the server's root into the rig's folder `name`.
BackupProject DailyCopy(const std::string& name, const vorn::test::FtpServer& server, const Rig& rig)
{
    BackupProject project = Plan(name, 3, {}, 10, 0, 3);
    project.ftpip = server.host();
    project.ftpport = std::to_string(server.port());
    project.ftpuser = server.options().user;
    project.ftppassword = server.options().password;
    project.ftpsource = "/";
    project.ftpdest = rig.folder.File(name);
    project.ftpbackmode = 1;
    return project;
}

TEST(ProjectDbSchedulerHost, StoredPlansFeedTheDueListOfTheDay)
{
    Rig rig("2024-05-15 08:00:00", Scheduler::PassThread::Caller); // a Wednesday
    // Each due row as the scheduler holds it: plan mode, hour:minute, day mode.
    const std::pair<BackupProject, const char*> rows[] = {
        { Plan("days 1 and 15", 1, { 1021, 1035 }, 9, 30, 0), "1 9:30 0" },
        { Plan("day 16", 1, { 1036 }, 9, 30, 0), nullptr },
        { Plan("wednesday", 2, { 1058 }, 22, 5, 0), "2 22:5 0" },
        { Plan("sunday", 2, { 1062 }, 22, 5, 0), nullptr },
        { Plan("every 2 hours", 3, {}, 2, 0, 1), "3 2:0 1" },
        { Plan("every 7 minutes", 3, {}, 0, 7, 2), "3 0:7 2" },
        { Plan("daily 23:45", 3, {}, 23, 45, 3), "3 23:45 3" },
        { Plan("never set", 0, {}, 0, 0, 0), nullptr },
    };
    std::vector<std::string> expected;
    for (const auto& [project, due] : rows) {
        ASSERT_TRUE(vorn::InsertProject(rig.db.get(), project));
        if (due)
            expected.push_back(project.ftpname + " " + due);
    }
    rig.PollUntil("2024-05-15 08:00:05");
    std::vector<std::string> loaded;
    for (const vorn::DuePlan& p : rig.scheduler->DuePlans())
        loaded.push_back(p.name + " " + std::to_string(p.planMode) + " " + std::to_string(p.hour) + ":"
            + std::to_string(p.minute) + " " + std::to_string(p.dayMode));
    EXPECT_EQ(loaded, expected);
}

// Changes made after the list was loaded count at once: those of another program (another
// connection to the file) and those made through the scheduler's own connection.
TEST(ProjectDbSchedulerHost, DueProjectsRunThroughTheEngineAndChangedPlansCountAtOnce)
{
    vorn::test::FtpServer server;
    vorn::test::MakeRandomFile(server.root() / "img" / "logo one.png", 70'000, 1);
    Rig rig("2024-05-15 09:58:50", Scheduler::PassThread::Caller);
    BackupProject site = DailyCopy("site", server, rig);
    site.ftphour = 9;
    site.ftpminute = 59;
    ASSERT_TRUE(vorn::InsertProject(rig.db.get(), DailyCopy("gone", server, rig)));
    ASSERT_TRUE(vorn::InsertProject(rig.db.get(), site));
    rig.PollUntil("2024-05-15 09:58:58");
    ASSERT_EQ(rig.scheduler->DuePlans().size(), 2u);

    auto other = vorn::ProjectDb::Open(rig.db->path()).db;
    ASSERT_TRUE(other);
    ASSERT_TRUE(vorn::DeleteProject(other.get(), "gone"));
    ASSERT_TRUE(vorn::InsertProject(other.get(), DailyCopy("late", server, rig)));
    site.ftphour = 10;
    site.ftpminute = 0;
    ASSERT_TRUE(vorn::UpdateProject(rig.db.get(), "site", site));
    rig.PollUntil("2024-05-15 09:59:59");
    EXPECT_EQ(rig.recorder.Log(), "");
    rig.PollUntil("2024-05-15 10:00:00");

    EXPECT_EQ(rig.recorder.Log().find("gone"), std::string::npos) << rig.recorder.Log();
    EXPECT_EQ(rig.Stored("gone"), "<no row>");
    // Both projects of the minute back up the site; a daily plan is next due at the same
    // time tomorrow.
    for (const std::string name : { "site", "late" }) {
        EXPECT_TRUE(rig.recorder.Saw("status:" + name + "=Success")) << rig.recorder.Log();
        EXPECT_TRUE(rig.recorder.Saw("next:" + name + "=05/16/2024 10:00:00")) << rig.recorder.Log();
        EXPECT_EQ(rig.Stored(name), "Success");
        EXPECT_TRUE(vorn::test::ReadFile(rig.folder.path() / name / "img" / "logo one.png")
            == vorn::test::ReadFile(server.root() / "img" / "logo one.png"));
    }
    EXPECT_EQ(rig.control.runState(), vorn::RunState::Idle);
}

TEST(ProjectDbSchedulerHost, RunThatThrowsDoesNotWedgeTheScheduler)
{
    vorn::test::FtpServer server;
    vorn::test::WriteFile(server.root() / "a.txt", "alpha");
    Rig rig("2024-05-15 09:59:50", Scheduler::PassThread::Worker);
    rig.recorder.throwOnStart = true;
    ASSERT_TRUE(vorn::InsertProject(rig.db.get(), DailyCopy("first", server, rig)));
    ASSERT_TRUE(vorn::InsertProject(rig.db.get(), DailyCopy("second", server, rig)));
    rig.PollUntil("2024-05-15 10:00:00");

    // The broken run is reported and stored as failed, and the next one still runs.
    ASSERT_TRUE(vorn::test::WaitFor([&] { return rig.recorder.Saw("finished:second=Success"); }, 30s))
        << rig.recorder.Log();
    EXPECT_TRUE(
        rig.recorder.Saw("status:first=Fail\nresult:Transmission Results: Failed!\nfinished:first=Fail"))
        << rig.recorder.Log();
    EXPECT_EQ(rig.Stored("first"), "Fail");
    EXPECT_TRUE(vorn::test::WaitFor([&] { return !rig.scheduler->PassActive(); }, 30s));
    EXPECT_EQ(rig.control.runState(), vorn::RunState::Idle);
}

TEST(ProjectDbSchedulerHost, NothingStartsAfterShutdown)
{
    Rig rig("2024-05-15 09:59:50", Scheduler::PassThread::Caller);
    ASSERT_TRUE(vorn::InsertProject(rig.db.get(), Plan("due", 3, {}, 10, 0, 3)));
    rig.PollUntil("2024-05-15 09:59:59");
    rig.host->Shutdown();
    rig.PollUntil("2024-05-15 10:00:00");
    // Not even started and stopped at once: that would store "Stop" over the last outcome.
    EXPECT_EQ(rig.recorder.Log().find("started:due"), std::string::npos) << rig.recorder.Log();
    EXPECT_EQ(rig.Stored("due"), "");
    EXPECT_EQ(rig.control.runState(), vorn::RunState::Idle);
}

} // namespace
