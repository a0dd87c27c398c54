// The scheduler on its real host: plans from a real SQLite file, runs through the real
// engine against a real FTP server on 127.0.0.1; only the clock is moved by hand.
#include "schedule/ProjectDbSchedulerHost.h"

#include "StoreTestSupport.h"
#include "TestTime.h"
#include "engine/RunControl.h"
#include "engine/TransferFigures.h"
#include "schedule/Scheduler.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

using vorn::BackupProject;
using vorn::DuePlan;
using vorn::ProjectDbSchedulerHost;
using vorn::Scheduler;
using vorn::test::At;
using namespace std::chrono_literals;

namespace {

class ManualClock : public vorn::Clock {
public:
    std::time_t Now() const override { return now; }
    std::atomic<std::time_t> now { 0 };
};

// Everything the runs report, as "kind:name=value" entries in order; thread-safe, since a
// worker pass reports on its own thread while the test reads.
class RecordingObserver : public vorn::RunObserver {
public:
    void OnRunStarted(const std::string& name) override
    {
        Note("started:" + name);
        if (throwOnStartOf == name) {
            throwOnStartOf.clear();
            throw std::runtime_error("observer failure");
        }
    }
    void OnProjectStatus(const std::string& name, const std::string& status) override
    {
        Note("status:" + name + "=" + status);
    }
    void OnFileRowInserted(std::uint64_t rowId, const std::string&, const std::string& remotePath,
        const std::string&) override
    {
        std::lock_guard lock(mutex_);
        paths_[rowId] = remotePath;
        entries_.push_back("row:" + remotePath);
    }
    void OnFileRowStatus(std::uint64_t rowId, const std::string& status) override
    {
        std::lock_guard lock(mutex_);
        entries_.push_back("file:" + paths_[rowId] + "=" + status);
    }
    void OnResultText(const std::string& text) override { Note("result:" + text); }
    void OnRunFinished(const std::string& name, const std::string& status) override
    {
        Note("finished:" + name + "=" + status);
    }

    void Note(const std::string& entry)
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    bool Saw(const std::string& entry) const
    {
        std::lock_guard lock(mutex_);
        return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
    }
    bool SawPrefix(const std::string& prefix) const
    {
        std::lock_guard lock(mutex_);
        return std::any_of(
            entries_.begin(), entries_.end(), [&](const std::string& e) { return e.starts_with(prefix); });
    }
    std::string All() const
    {
        std::lock_guard lock(mutex_);
        std::string text;
        for (const std::string& entry : entries_)
            text += entry + "\n";
        return text;
    }

    std::string throwOnStartOf; // set before the runs start

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
    std::map<std::uint64_t, std::string> paths_;
};

// A database in a fresh folder, a host on it with a recording observer, and a scheduler on
// a hand-moved clock. Local time is UTC for the whole test.
struct Rig {
    vorn::test::TempFolder folder;
    std::unique_ptr<vorn::ProjectDb> db;
    vorn::RunControl control;
    vorn::TransferFigures figures;
    RecordingObserver observer;
    std::mutex nextMutex;
    std::map<std::string, std::string> nextTimes;
    std::unique_ptr<ProjectDbSchedulerHost> host;
    ManualClock clock;
    std::unique_ptr<Scheduler> scheduler;

    explicit Rig(const std::string& start, Scheduler::PassThread thread = Scheduler::PassThread::Caller)
    {
        vorn::test::UseZone("UTC");
        auto opened = vorn::ProjectDb::Open(folder.File("gm_ftp_database.db"));
        if (!opened.db)
            throw std::runtime_error(opened.error);
        db = std::move(opened.db);
        host = std::make_unique<ProjectDbSchedulerHost>(
            vorn::RunEnvironment { db.get(), &observer, &control, &figures, true },
            [this](const std::string& name, const std::string& next) {
                std::lock_guard lock(nextMutex);
                nextTimes[name] = next;
            });
        clock.now = At(start);
        scheduler = std::make_unique<Scheduler>(*host, clock, thread);
        scheduler->Start();
    }

    void Add(const BackupProject& project) { ASSERT_TRUE(vorn::InsertProject(db.get(), project)); }

    // One Poll per clock second, as the service's loop does.
    void PollUntil(const std::string& end)
    {
        for (const std::time_t last = At(end); clock.now < last;) {
            ++clock.now;
            scheduler->Poll();
        }
    }

    std::string StoredStatus(const std::string& name)
    {
        const vorn::test::Rows rows
            = vorn::test::RawQuery(db->path(), "select ftpstatus from gm_ftp_plantable where ftpname = '" + name + "'");
        return rows.empty() ? "<no row>" : rows.front().front();
    }

    std::string NextTime(const std::string& name)
    {
        std::lock_guard lock(nextMutex);
        const auto found = nextTimes.find(name);
        return found == nextTimes.end() ? "<none>" : found->second;
    }
};

BackupProject Schedule(const std::string& name, std::int32_t planMode, std::vector<std::int32_t> plan,
    std::int32_t hour, std::int32_t minute, std::int32_t dayMode)
{
    BackupProject project;
    project.ftpname = name;
    project.ftptype = 1;
    project.ftpplanmode = planMode;
    project.ftpplan = std::move(plan);
    project.ftphour = hour;
    project.ftpminute = minute;
    project.ftpdaymode = dayMode;
    return project;
}

// A daily 10:00 Ftp->Local project that copies the server's root into `destination`.
BackupProject DailyCopy(
    const std::string& name, const vorn::test::FtpServer& server, const std::filesystem::path& destination)
{
    BackupProject project = Schedule(name, 3, {}, 10, 0, 3);
    project.ftpip = server.host();
    project.ftpport = std::to_string(server.port());
    project.ftpuser = server.options().user;
    project.ftppassword = server.options().password;
    project.ftpsource = "/";
    project.ftpdest = destination.string();
    project.ftpbackmode = 1;
    return project;
}

void ExpectSameTree(const std::filesystem::path& expected, const std::filesystem::path& actual)
{
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(expected)) {
        if (!entry.is_regular_file())
            continue;
        ++files;
        const auto copy = actual / std::filesystem::relative(entry.path(), expected);
        ASSERT_TRUE(std::filesystem::exists(copy)) << copy;
        EXPECT_TRUE(vorn::test::ReadFile(copy) == vorn::test::ReadFile(entry.path())) << copy;
    }
    EXPECT_GT(files, 0u);
}

TEST(ProjectDbSchedulerHost, StoredPlansFeedTheDueListOfTheDay)
{
    // Wednesday 15 May 2024.
    Rig rig("2024-05-15 08:00:00");
    struct Row {
        BackupProject project;
        bool due;
    };
    const Row rows[] = {
        { Schedule("days 1 and 15", 1, { 1021, 1035 }, 9, 30, 0), true },
        { Schedule("day 16", 1, { 1036 }, 9, 30, 0), false },
        { Schedule("wednesday", 2, { 1058 }, 22, 5, 0), true },
        { Schedule("sunday", 2, { 1062 }, 22, 5, 0), false },
        { Schedule("every 2 hours", 3, {}, 2, 0, 1), true },
        { Schedule("every 7 minutes", 3, {}, 0, 7, 2), true },
        { Schedule("daily 23:45", 3, {}, 23, 45, 3), true },
        { Schedule("never set", 0, {}, 0, 0, 0), false },
    };
    std::vector<std::string> expected;
    for (const Row& row : rows) {
        rig.Add(row.project);
        if (row.due)
            expected.push_back(row.project.ftpname);
    }

    rig.PollUntil("2024-05-15 08:00:05");
    const std::vector<DuePlan> plans = rig.scheduler->DuePlans();
    std::vector<std::string> names;
    for (const DuePlan& plan : plans)
        names.push_back(plan.name);
    EXPECT_EQ(names, expected);
    ASSERT_EQ(plans.size(), 5u);
    // The columns arrive in the fields the scheduler compares: hour, minute and day mode
    // from their own columns, not shifted or swapped.
    auto fields = [](const DuePlan& p) {
        return std::to_string(p.planMode) + " " + std::to_string(p.hour) + ":" + std::to_string(p.minute) + " "
            + std::to_string(p.dayMode);
    };
    EXPECT_EQ(fields(plans[0]), "1 9:30 0");
    EXPECT_EQ(fields(plans[1]), "2 22:5 0");
    EXPECT_EQ(fields(plans[2]), "3 2:0 1");
    EXPECT_EQ(fields(plans[3]), "3 0:7 2");
    EXPECT_EQ(fields(plans[4]), "3 23:45 3");
    EXPECT_EQ(rig.scheduler->PendingCount(), 5);
}

TEST(ProjectDbSchedulerHost, DueProjectsRunThroughTheEngineAndADeletedOneShowsFailed)
{
    vorn::test::FtpServer server;
    vorn::test::MakeRandomFile(server.root() / "index.html", 70'000, 1);
    vorn::test::MakeRandomFile(server.root() / "img" / "logo one.png", 4096, 2);
    vorn::test::WriteFile(server.root() / "img" / "empty.txt", "");

    Rig rig("2024-05-15 09:59:50");
    const auto destination = rig.folder.path() / "copy";
    rig.Add(DailyCopy("gone", server, rig.folder.path() / "gone"));
    rig.Add(DailyCopy("site", server, destination));

    rig.PollUntil("2024-05-15 09:59:59");
    ASSERT_EQ(rig.scheduler->DuePlans().size(), 2u);
    // Deleted after the list was loaded: it stays due until the next reload.
    ASSERT_TRUE(vorn::DeleteProject(rig.db.get(), "gone"));
    rig.PollUntil("2024-05-15 10:00:00");

    // The deleted project's run fails to load it and writes nothing back.
    EXPECT_TRUE(rig.observer.Saw("status:gone=Failed")) << rig.observer.All();
    EXPECT_TRUE(rig.observer.Saw("result:Transmission Results: Failed!")) << rig.observer.All();
    EXPECT_FALSE(rig.observer.Saw("status:gone=Running"));
    EXPECT_EQ(rig.StoredStatus("gone"), "<no row>");
    EXPECT_EQ(rig.NextTime("gone"), "<none>");
    EXPECT_FALSE(std::filesystem::exists(rig.folder.path() / "gone"));

    // The next project of the minute still runs, after it, and backs up the whole site.
    EXPECT_TRUE(rig.observer.Saw("status:site=Success")) << rig.observer.All();
    EXPECT_TRUE(rig.observer.Saw("file:/img/logo one.png=Success")) << rig.observer.All();
    EXPECT_TRUE(rig.observer.SawPrefix("result:Transmission Results: Folder(s):")) << rig.observer.All();
    ExpectSameTree(server.root(), destination);
    EXPECT_EQ(rig.StoredStatus("site"), "Success");
    // A daily plan whose minute has come is next due at the same time tomorrow.
    EXPECT_EQ(rig.NextTime("site"), "05/16/2024 10:00:00");
    EXPECT_EQ(rig.control.runState(), 0);
    EXPECT_EQ(rig.control.runProjectName(), "");
}

TEST(ProjectDbSchedulerHost, ShutdownStopsTheRunningProjectAndStartsNoOther)
{
    vorn::test::FtpServerOptions options;
    options.slowDataBytesPerSecond = 64 * 1024;
    vorn::test::FtpServer server(options);
    vorn::test::MakeRandomFile(server.root() / "big.bin", 4 * 1024 * 1024, 3);

    Rig rig("2024-05-15 09:59:50", Scheduler::PassThread::Worker);
    const auto destination = rig.folder.path() / "slow";
    rig.Add(DailyCopy("slow", server, destination));
    rig.Add(DailyCopy("after", server, rig.folder.path() / "after"));
    rig.PollUntil("2024-05-15 10:00:00");
    // The transfer of the big file is under way on the scheduler's worker.
    ASSERT_TRUE(vorn::test::WaitFor([&] { return rig.observer.Saw("row:/big.bin"); }, 30s)) << rig.observer.All();

    rig.host->Shutdown();
    EXPECT_TRUE(rig.host->shuttingDown());
    // Destroying the scheduler joins its worker; without the stop the transfer would go on
    // for about a minute.
    auto joined = std::async(std::launch::async, [&] { rig.scheduler.reset(); });
    ASSERT_EQ(joined.wait_for(30s), std::future_status::ready);

    EXPECT_TRUE(rig.observer.Saw("finished:slow=Stop")) << rig.observer.All();
    EXPECT_EQ(rig.StoredStatus("slow"), "Stop");
    EXPECT_FALSE(std::filesystem::exists(destination / "big.bin"));
    // Nothing started after the stop, though the second project was due in the same minute.
    EXPECT_FALSE(rig.observer.Saw("started:after")) << rig.observer.All();
    EXPECT_EQ(rig.StoredStatus("after"), "");
    EXPECT_EQ(rig.control.runState(), 0);

    // A later call is refused at once, and leaves the run state alone.
    rig.host->RunProject("after");
    EXPECT_FALSE(rig.observer.Saw("started:after"));
    EXPECT_EQ(rig.control.runState(), 0);
}

TEST(ProjectDbSchedulerHost, RunThatThrowsDoesNotWedgeTheScheduler)
{
    vorn::test::FtpServer server;
    vorn::test::WriteFile(server.root() / "a.txt", "alpha");

    Rig rig("2024-05-15 09:59:50", Scheduler::PassThread::Worker);
    rig.observer.throwOnStartOf = "first";
    rig.Add(DailyCopy("first", server, rig.folder.path() / "first"));
    rig.Add(DailyCopy("second", server, rig.folder.path() / "second"));
    rig.PollUntil("2024-05-15 10:00:00");

    ASSERT_TRUE(vorn::test::WaitFor([&] { return rig.observer.Saw("finished:second=Success"); }, 30s))
        << rig.observer.All();
    // The broken run is reported and stored as failed; the run state is free again.
    EXPECT_TRUE(rig.observer.Saw("status:first=Fail")) << rig.observer.All();
    EXPECT_TRUE(rig.observer.Saw("finished:first=Fail")) << rig.observer.All();
    EXPECT_EQ(rig.StoredStatus("first"), "Fail");
    EXPECT_EQ(rig.StoredStatus("second"), "Success");
    EXPECT_TRUE(vorn::test::WaitFor([&] { return !rig.scheduler->PassActive(); }, 10s));
    EXPECT_EQ(rig.control.runState(), 0);
    EXPECT_EQ(rig.control.runProjectName(), "");
}

TEST(ProjectDbSchedulerHost, OneSchedulerLockForEverySpellingOfTheDatabase)
{
    vorn::test::TempFolder folder;
    const std::string real = folder.File("gm_ftp_database.db");
    const std::string link = folder.File("link.db");
    auto opened = vorn::ProjectDb::Open(real);
    ASSERT_TRUE(opened.db) << opened.error;
    std::filesystem::create_symlink(real, link);
    auto throughLink = vorn::ProjectDb::Open(link);
    ASSERT_TRUE(throughLink.db) << throughLink.error;

    const std::string resolved = std::filesystem::canonical(real).string();

    const auto first = vorn::AcquireSchedulerLock(*throughLink.db);
    ASSERT_TRUE(first.lock) << first.error;
    EXPECT_EQ(first.lock->path(), resolved + ".scheduler.lock");

    const auto second = vorn::AcquireSchedulerLock(*opened.db);
    EXPECT_FALSE(second.lock);
    EXPECT_EQ(second.error, "Another scheduler already owns the database " + resolved + ".");
    EXPECT_FALSE(vorn::SchedulerLock::Acquire(resolved).lock);
}

} // namespace
