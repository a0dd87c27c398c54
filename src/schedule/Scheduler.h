#pragma once

#include "schedule/Clock.h"
#include "schedule/DuePlan.h"
#include "schedule/SchedulerHost.h"

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vorn {

// Starts due projects automatically. The host drives it once a second through Poll() (or
// through Reload/Tick/MidnightTick from timers of its own); the scheduler keeps the list of
// projects due today and runs them one after another through SchedulerHost::RunProject.
//
// Locking: one mutex guards every member below. A pass marks itself active and owns the
// structure of `duePlans` until it ends; the mutex is released only around the run. A
// reload during a pass therefore never rebuilds the list under it: its fresh list waits and
// replaces the old one when the pass ends. Reload never waits for a run, so a timer thread
// calling it is never blocked, and a second pass is refused while one is active.
//
// Changed plans are taken up at once: the host's database stamp is read once a second and,
// when it moved, the plans query is read again; plans that did not change keep their progress
// (a one-shot plan started today is not started again, an interval plan keeps its next time).
//
// Start, Poll, Reload, ReloadIfChanged, ReloadChangedPlans, Tick, MidnightTick and
// CheckDuePlans may be called from any thread.
class Scheduler {
public:
    // Worker: Tick hands the pass to a thread owned by the Scheduler and returns at once.
    // Caller: Tick runs the pass, and the projects, on the calling thread.
    enum class PassThread { Worker, Caller };

    Scheduler(SchedulerHost& host, const Clock& clock, PassThread passThread = PassThread::Worker);
    // Lets a run in progress end, starts no further project and joins the worker; the host
    // stops its run first when it wants to leave quickly.
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Arms the first reload five seconds from now (what window creation does).
    void Start();
    // Once a second: an armed reload whose time has come, changed plans, the midnight watch,
    // the host's upkeep once a minute after the first reload, the check.
    void Poll();

    // Rebuilds the list from the plans query for today and arms the midnight watch.
    void Reload();
    // Reads the plans again and takes up what changed since the last load, keeping the
    // progress of the plans that did not change. Does nothing before the first reload (which
    // will read everything) or when the query fails. Returns whether the list changed.
    bool ReloadChangedPlans();
    // ReloadChangedPlans when the host's database stamp moved since the last look.
    bool ReloadIfChanged();
    // While projects are pending, no run is active or paused and no pass is active, starts
    // a check pass. Returns whether it started (or, with PassThread::Caller, ran) one.
    bool Tick();
    // In the minute after midnight, (re)arms a reload five seconds later. Also arms one when
    // the local date has changed since the last load without the watch seeing midnight (the
    // machine slept through it). Does nothing before the first reload.
    void MidnightTick();
    // Reloads when the reload armed by Start or MidnightTick is due (what Poll does first), so
    // that a host driving the scheduler from its own timers gets the midnight reload too.
    void ReloadIfDue();
    // One check pass on the calling thread; false when another pass is active.
    bool CheckDuePlans();
    // Works out the next backup time of `name` from its stored schedule and reports it.
    void RefreshNextBackupTime(const std::string& name);

    [[nodiscard]] std::vector<DuePlan> DuePlans() const;
    [[nodiscard]] std::int32_t PendingCount() const;
    [[nodiscard]] bool PassActive() const;

private:
    // Plans read while a pass was active, installed when it ends.
    struct WaitingLoad {
        std::vector<PlanRow> rows;
        std::time_t at = 0;
        bool keepProgress = false;
    };

    void Install(std::vector<PlanRow> rows, std::time_t at, bool keepProgress);
    void RequestHousekeeping();
    void RunHousekeeping(std::unique_lock<std::mutex>& lock);
    void RunClaimedPass();
    void StartProject(std::unique_lock<std::mutex>& lock, const std::string& name);
    void FinishPass();
    void WorkerLoop();

    SchedulerHost& host_;
    const Clock& clock_;
    const PassThread passThread_;

    mutable std::mutex mutex_;
    std::vector<DuePlan> duePlans_;
    std::int32_t pendingCount_ = 0;
    bool passActive_ = false;
    std::optional<WaitingLoad> waiting_;
    std::vector<PlanRow> loadedRows_;
    std::optional<ChangeStamp> seenStamp_;
    std::optional<std::time_t> reloadAt_;
    bool midnightWatch_ = false;
    int loadedYear_ = 0;
    int loadedYearDay_ = 0;
    // The host's upkeep (SchedulerHost::Housekeeping) runs in a pass once a minute.
    std::optional<std::time_t> lastHousekeeping_;
    bool housekeepingDue_ = false;
    bool firstHousekeeping_ = true;

    std::condition_variable wake_;
    bool passRequested_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace vorn
