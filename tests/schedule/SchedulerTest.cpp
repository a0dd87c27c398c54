#include "schedule/Scheduler.h"

#include "TestTime.h"
#include "common/TimeText.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using vorn::DuePlan;
using vorn::PlanRow;
using vorn::Scheduler;
using vorn::ScheduleTexts;
using vorn::test::At;
using vorn::test::ScopedZone;
using namespace std::chrono_literals;

namespace {

template <class Predicate> bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout = 30s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return predicate();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The clock and the host in one: plans and schedules as the database would give them, and a
// log of queries, runs and reported next times ("name@HH:MM:SS"). A run marks runState and
// calls `during`, which may move the clock or block.
class FakeHost : public vorn::Clock, public vorn::SchedulerHost {
public:
    void AddPlan(const std::string& name, ScheduleTexts schedule)
    {
        std::lock_guard lock(mutex_);
        plans_.push_back({ name, schedule });
        schedules_[name] = schedule;
        ++writes_;
    }
    void ChangePlan(const std::string& name, ScheduleTexts schedule)
    {
        std::lock_guard lock(mutex_);
        for (PlanRow& row : plans_)
            if (row.name == name)
                row.schedule = schedule;
        schedules_[name] = schedule;
        ++writes_;
    }
    void DeleteProject(const std::string& name)
    {
        std::lock_guard lock(mutex_);
        std::erase_if(plans_, [&](const PlanRow& row) { return row.name == name; });
        schedules_.erase(name);
        ++writes_;
    }
    std::string Log(const std::string& kind) const
    {
        std::lock_guard lock(mutex_);
        const auto found = log_.find(kind);
        return found == log_.end() ? "" : found->second.substr(1);
    }

    std::time_t Now() const override { return now; }
    std::vector<PlanRow> QueryPlans() override
    {
        Note("query", "");
        std::lock_guard lock(mutex_);
        return plans_;
    }
    std::optional<ScheduleTexts> QuerySchedule(const std::string& name) override
    {
        std::lock_guard lock(mutex_);
        const auto found = schedules_.find(name);
        return found == schedules_.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::vector<PlanRow>> TryQueryPlans() override
    {
        if (queriesFail)
            return std::nullopt;
        return QueryPlans();
    }
    // Off unless a test turns it on: then every write moves the stamp, as a database's does.
    std::optional<vorn::ChangeStamp> DatabaseStamp() override
    {
        std::lock_guard lock(mutex_);
        return stamps ? std::optional(vorn::ChangeStamp { writes_, 0 }) : std::nullopt;
    }
    int RunState() const override { return runState; }
    void RunProject(const std::string& name) override
    {
        runState = 1;
        Note("run", name);
        if (during)
            during(name);
        runState = 0;
    }
    void OnNextBackupTime(const std::string& name, const std::string& nextTime) override
    {
        Note("next", name + "=" + nextTime);
    }

    std::atomic<std::time_t> now { 0 };
    std::atomic<int> runState { 0 };
    std::function<void(const std::string&)> during;
    std::atomic<bool> stamps { false };
    std::atomic<bool> queriesFail { false };

private:
    void Note(const std::string& kind, const std::string& what)
    {
        std::lock_guard lock(mutex_);
        log_[kind] += " " + (kind == "next" ? what : what + "@" + vorn::FormatLocalTime(now, "%H:%M:%S"));
    }

    mutable std::mutex mutex_;
    std::vector<PlanRow> plans_;
    std::map<std::string, ScheduleTexts> schedules_;
    std::map<std::string, std::string> log_;
    std::int64_t writes_ = 0;
};

ScheduleTexts Monthly(const char* plan, const char* h, const char* m)
{
    return { "1", plan, h, m, "0" };
}
ScheduleTexts Weekly(const char* plan, const char* h, const char* m)
{
    return { "2", plan, h, m, "0" };
}
ScheduleTexts Daily(const char* dayMode, const char* h, const char* m)
{
    return { "3", "", h, m, dayMode };
}

std::string Names(const std::vector<DuePlan>& plans)
{
    std::string text;
    for (const DuePlan& plan : plans)
        text += plan.name;
    return text;
}

// A host and a scheduler on it; one per test or per table row.
struct Rig {
    ScopedZone zone; // first: the times below are read in it
    FakeHost host;
    std::unique_ptr<Scheduler> scheduler;

    explicit Rig(const std::string& start, Scheduler::PassThread thread = Scheduler::PassThread::Caller,
        const char* zoneRule = "UTC0")
        : zone(zoneRule)
    {
        host.now = At(start);
        scheduler = std::make_unique<Scheduler>(host, host, thread);
        scheduler->Start();
    }
    // One Poll per second, as the host's timer does; runs that move the clock are respected.
    void PollUntil(const std::string& end)
    {
        for (const std::time_t last = At(end); host.now < last;) {
            ++host.now;
            scheduler->Poll();
        }
    }
    void RunsTake(std::time_t seconds)
    {
        host.during = [this, seconds](const std::string&) { host.now += seconds; };
    }
};

TEST(Scheduler, OneShotPlansStartOnceInTheirMinuteOnTheirDay)
{
    Rig rig("2012-09-30 09:29:00");
    rig.host.AddPlan("b", Monthly("1050|", "9", "30"));
    rig.host.AddPlan("a", Monthly("1051|", "9", "30")); // day 31: never in September
    rig.host.AddPlan("c", Weekly("1062|", "9", "30"));
    rig.host.AddPlan("d", Weekly("1061|", "9", "30"));
    rig.host.AddPlan("e", Daily("3", "9", "30"));
    rig.host.AddPlan("f", Daily("3", "9", "31"));
    rig.host.AddPlan("gone", Daily("3", "9", "31"));
    rig.PollUntil("2012-09-30 09:29:10");
    // Deleted after the load: still run (the run reports the failure), no next time shown.
    rig.host.DeleteProject("gone");
    rig.PollUntil("2012-09-30 09:33:00");
    EXPECT_EQ(rig.host.Log("query"), "@09:29:05");
    EXPECT_EQ(rig.host.Log("run"), "b@09:30:00 c@09:30:00 e@09:30:00 f@09:31:00 gone@09:31:00");
    EXPECT_EQ(rig.host.Log("next"),
        "b=10/30/2012 09:30:00 c=10/07/2012 09:30:00 e=10/01/2012 09:30:00 "
        "f=10/01/2012 09:31:00");
}

TEST(Scheduler, SecondPlanOfTheSameMinuteStartsOnlyWithinIt)
{
    const struct {
        std::time_t runSeconds;
        const char* runs;
        int pending;
    } rows[]
        = { { 20, "A@09:30:00 B@09:30:20", 0 }, { 59, "A@09:30:00 B@09:30:59", 0 }, { 60, "A@09:30:00", 2 } };
    for (const auto& row : rows) {
        Rig rig("2012-09-30 09:29:50");
        rig.host.AddPlan("A", Daily("3", "9", "30"));
        rig.host.AddPlan("B", Weekly("1056|1062|", "9", "30"));
        rig.RunsTake(row.runSeconds);
        rig.PollUntil("2012-09-30 09:35:00");
        EXPECT_EQ(rig.host.Log("run"), row.runs);
        EXPECT_EQ(rig.scheduler->PendingCount(), row.pending);
        // A pass that started every plan stops the ticks until the next reload.
        EXPECT_EQ(rig.scheduler->Tick(), row.pending != 0);
    }
}

TEST(Scheduler, IntervalPlansTable)
{
    const struct {
        ScheduleTexts schedule;
        std::time_t runSeconds;
        const char* end;
        const char* runs;
    } rows[] = {
        // A zero interval starts at once and again after each run while the minute lasts.
        { Daily("2", "7", "0"), 10, "10:05:00", "P@10:00:05 P@10:00:16 P@10:00:27 P@10:00:38 P@10:00:49" },
        { Daily("1", "0", "7"), 10, "10:05:00", "P@10:00:05 P@10:00:16 P@10:00:27 P@10:00:38 P@10:00:49" },
        { Daily("2", "0", "5"), 10, "10:16:00", "P@10:05:00 P@10:10:00 P@10:15:00" },
        // A run longer than the interval leaves the next time (10:10) behind the clock.
        { Daily("2", "0", "5"), 12 * 60, "10:40:00", "P@10:05:00" },
        { Daily("1", "1", "0"), 0, "12:30:00", "P@11:00:00 P@12:00:00" },
        // Minutes carry one hour at most; a huge interval must not overflow.
        { Daily("2", "0", "150"), 0, "13:10:00", "P@11:30:00 P@12:00:00" },
        { Daily("2", "0", "2147483647"), 0, "11:10:00", "P@11:07:00" },
        { Daily("0", "1", "0"), 0, "12:30:00", "" },
    };
    for (const auto& row : rows) {
        Rig rig("2012-09-30 10:00:00");
        rig.host.AddPlan("P", row.schedule);
        rig.RunsTake(row.runSeconds);
        rig.PollUntil(std::string("2012-09-30 ") + row.end);
        EXPECT_EQ(rig.host.Log("run"), row.runs) << row.schedule.dayMode << " " << row.schedule.minute;
    }
}

TEST(Scheduler, PlanForTheMinuteOfStartUp)
{
    const struct {
        const char* start;
        const char* minute;
        const char* runs;
    } rows[] = { { "09:30:10", "30", "P@09:30:15" }, { "09:30:56", "30", "" },
        { "09:30:56", "31", "P@09:31:01" } };
    for (const auto& row : rows) {
        Rig rig(std::string("2012-09-30 ") + row.start);
        rig.host.AddPlan("P", Daily("3", "9", row.minute));
        rig.PollUntil("2012-09-30 09:35:00");
        EXPECT_EQ(rig.host.Log("run"), row.runs) << row.start;
    }
}

TEST(Scheduler, ReloadAfterMidnightLoadsTheNewDay)
{
    Rig rig("2011-04-23 23:58:00"); // a Saturday
    rig.host.AddPlan("sat", Weekly("1061|", "0", "3"));
    rig.host.AddPlan("sun", Weekly("1062|", "0", "3"));
    rig.PollUntil("2011-04-23 23:58:30");
    // Created after the load: not started today, due from the next load on.
    rig.host.AddPlan("late", Daily("3", "23", "59"));
    rig.host.AddPlan("next", Daily("3", "0", "5"));
    rig.PollUntil("2011-04-24 00:10:00");
    EXPECT_EQ(rig.host.Log("query"), "@23:58:05 @00:01:05");
    EXPECT_EQ(rig.host.Log("run"), "sun@00:03:00 next@00:05:00");
    EXPECT_EQ(Names(rig.scheduler->DuePlans()), "sunlatenext");
}

TEST(Scheduler, SleepingThroughMidnightStillReloads)
{
    Rig rig("2011-04-23 22:00:00");
    rig.host.AddPlan("sun", Weekly("1062|", "8", "1"));
    rig.PollUntil("2011-04-23 22:00:10");
    rig.host.now = At("2011-04-24 08:00:00");
    rig.PollUntil("2011-04-24 08:02:00");
    EXPECT_EQ(rig.host.Log("query"), "@22:00:05 @08:00:06");
    EXPECT_EQ(rig.host.Log("run"), "sun@08:01:00");
}

// Across the changes of daylight saving time (Central European rules, injected clock). Plans
// follow the wall clock: on the day the clock goes back a fixed time that comes twice runs
// once; on the day it goes forward a time of day that never comes is not reached, so the plan
// waits for the next reload, as a plan whose run outlasted its interval does.
TEST(Scheduler, DaylightSavingChangesNeitherRepeatNorDropAPlan)
{
    const struct {
        const char* what;
        const char* start;
        const char* end;
        ScheduleTexts schedule;
        const char* runs;
    } rows[] = {
        // 2011-10-30 03:00 CEST is 02:00 CET: 02:30 comes twice, the plan runs the first time.
        { "fixed time in the repeated hour", "2011-10-30 01:00:00", "2011-10-30 04:00:00",
            Daily("3", "2", "30"), "P@02:30:00" },
        { "fixed time after the change back", "2011-10-30 01:00:00", "2011-10-30 10:00:00",
            Daily("3", "9", "0"), "P@09:00:00" },
        { "every hour over the repeated hour", "2011-10-30 01:30:00", "2011-10-30 04:00:00",
            Daily("1", "1", "0"), "P@02:30:00 P@03:30:00" },
        // 2011-03-27 02:00 CET is 03:00 CEST: there is no 02:30.
        { "fixed time in the skipped hour", "2011-03-27 01:00:00", "2011-03-27 04:00:00",
            Daily("3", "2", "30"), "" },
        { "fixed time after the change forward", "2011-03-27 01:00:00", "2011-03-27 04:00:00",
            Daily("3", "3", "30"), "P@03:30:00" },
        { "every hour into the skipped hour", "2011-03-27 00:30:00", "2011-03-27 04:30:00",
            Daily("1", "1", "0"), "P@01:30:00" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Rig rig(row.start, Scheduler::PassThread::Caller, vorn::test::kBerlin);
        rig.host.AddPlan("P", row.schedule);
        rig.PollUntil(row.end);
        EXPECT_EQ(rig.host.Log("run"), row.runs);
    }
}

// Interval plans across midnight: the old day's list runs up to the reload after midnight;
// then the plan starts afresh one interval after the new load (00:01:05 + 20 min).
TEST(Scheduler, IntervalPlansAcrossMidnight)
{
    const struct {
        ScheduleTexts schedule;
        const char* runs;
        const char* queries;
    } rows[] = {
        // Before the reload the old list still counts: 00:00 is the third interval since 23:00.
        { Daily("2", "0", "20"),
            "P@23:20:00 P@23:40:00 P@00:00:00 P@00:21:00 P@00:41:00 P@01:01:00 P@01:21:00",
            "@23:00:05 @00:01:05" },
        { Daily("1", "1", "0"), "P@00:00:00 P@01:01:00", "@23:00:05 @00:01:05" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.schedule.dayMode);
        Rig rig("2011-04-23 23:00:00");
        rig.host.AddPlan("P", row.schedule);
        rig.PollUntil("2011-04-24 01:30:00");
        EXPECT_EQ(rig.host.Log("run"), row.runs);
        EXPECT_EQ(rig.host.Log("query"), row.queries);
    }
}

TEST(Scheduler, ActiveOrPausedRunBlocksPasses)
{
    Rig rig("2012-09-30 09:29:00");
    rig.host.AddPlan("P", Daily("3", "9", "30"));
    rig.PollUntil("2012-09-30 09:29:10");
    for (const int state : { 1, 2 }) {
        rig.host.runState = state;
        rig.PollUntil(state == 1 ? "2012-09-30 09:30:10" : "2012-09-30 09:30:20");
        EXPECT_FALSE(rig.scheduler->Tick());
    }
    rig.host.runState = 0;
    rig.PollUntil("2012-09-30 09:31:00");
    EXPECT_EQ(rig.host.Log("run"), "P@09:30:21");
}

// The pass runs on the scheduler's worker; a run blocks until the test opens the gate.
TEST(Scheduler, ReloadDuringAPassWaitsForItsEndAndNoSecondPassStarts)
{
    Rig rig("2012-09-30 09:30:00", Scheduler::PassThread::Worker);
    std::promise<void> gate;
    rig.host.during = [opened = gate.get_future().share()](const std::string&) { opened.wait_for(30s); };
    rig.host.AddPlan("A", Daily("3", "9", "30"));
    rig.host.AddPlan("B", Daily("3", "9", "30"));
    rig.scheduler->Reload();
    ASSERT_TRUE(rig.scheduler->Tick());
    ASSERT_TRUE(WaitFor([&] { return rig.host.Log("run") == "A@09:30:00"; }));

    rig.host.DeleteProject("A");
    rig.host.DeleteProject("B");
    rig.host.AddPlan("C", Daily("3", "10", "0"));
    rig.scheduler->Reload();
    EXPECT_EQ(Names(rig.scheduler->DuePlans()), "AB");
    rig.host.runState = 0; // the race in which a tick reads 0 before the pass sets 1
    EXPECT_FALSE(rig.scheduler->Tick());
    EXPECT_FALSE(rig.scheduler->CheckDuePlans());
    EXPECT_TRUE(rig.scheduler->PassActive());

    gate.set_value();
    ASSERT_TRUE(WaitFor([&] { return !rig.scheduler->PassActive(); }));
    EXPECT_EQ(rig.host.Log("run"), "A@09:30:00 B@09:30:00");
    EXPECT_EQ(Names(rig.scheduler->DuePlans()), "C");
    EXPECT_EQ(rig.scheduler->PendingCount(), 1);
}

// Plans added, changed or deleted while the scheduler runs count from the next second on;
// plans that did not change keep their progress, also when the change lands during a pass.
TEST(Scheduler, ChangedPlansAreTakenUpAtOnceKeepingProgress)
{
    Rig rig("2012-09-30 09:29:00");
    rig.host.stamps = true;
    rig.host.AddPlan("a", Daily("3", "9", "30"));
    rig.host.AddPlan("i", Daily("2", "0", "5")); // first pass at the load, 09:29:05: next start 09:34
    rig.host.AddPlan("gone", Daily("3", "9", "33"));
    rig.PollUntil("2012-09-30 09:29:10");
    rig.host.AddPlan("new", Daily("3", "9", "31"));
    // While "a" runs, another project is stored: "a" must not start again in its minute.
    rig.host.during = [&rig](const std::string& name) {
        if (name == "a" && rig.host.Log("run") == "a@09:30:00") {
            rig.host.AddPlan("other", Daily("3", "12", "0"));
            EXPECT_TRUE(rig.scheduler->ReloadChangedPlans());
        }
    };
    rig.PollUntil("2012-09-30 09:30:40");
    rig.host.ChangePlan("a", Daily("3", "9", "32"));
    rig.PollUntil("2012-09-30 09:31:30");
    rig.host.DeleteProject("gone");
    // A query that fails keeps the list as it is until one succeeds.
    rig.host.queriesFail = true;
    rig.PollUntil("2012-09-30 09:31:40");
    EXPECT_EQ(Names(rig.scheduler->DuePlans()), "aigonenewother");
    rig.host.queriesFail = false;
    rig.PollUntil("2012-09-30 09:36:00");
    EXPECT_EQ(rig.host.Log("run"), "a@09:30:00 new@09:31:00 a@09:32:00 i@09:34:00");
    EXPECT_EQ(Names(rig.scheduler->DuePlans()), "ainewother");
    // One query at the load and one per change taken up; none while nothing changed.
    EXPECT_EQ(rig.host.Log("query"), "@09:29:05 @09:29:11 @09:30:00 @09:30:41 @09:31:41");
    // Without a stamp nothing is looked for between the daily loads.
    rig.host.stamps = false;
    rig.host.AddPlan("unseen", Daily("3", "9", "40"));
    EXPECT_FALSE(rig.scheduler->ReloadIfChanged());
    EXPECT_EQ(Names(rig.scheduler->DuePlans()), "ainewother");
}

} // namespace
