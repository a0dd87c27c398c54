#pragma once

#include "store/ChangeStamp.h"
#include "store/ProjectDb.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// What the scheduler needs from the program that hosts it (the main window or the console):
// the two database queries, the run state, the run itself, and where the refreshed next
// backup time goes. Each method says on which thread the Scheduler calls it.
class SchedulerHost {
public:
    virtual ~SchedulerHost() = default;

    // Rows of the plans query; empty when the query fails. Called on the thread that calls
    // Scheduler::Reload (or Poll).
    [[nodiscard]] virtual std::vector<PlanRow> QueryPlans() = 0;

    // The same rows, but nullopt when the query fails, so that a database that is busy for a
    // moment never reads as "every project deleted". Called where QueryPlans is.
    [[nodiscard]] virtual std::optional<std::vector<PlanRow>> TryQueryPlans() { return QueryPlans(); }

    // Moves whenever the plans may have changed (store/ChangeStamp.h); nullopt when it cannot
    // be read, and then no change is looked for. Called on the thread that calls
    // Scheduler::Poll (or ReloadIfChanged).
    [[nodiscard]] virtual std::optional<ChangeStamp> DatabaseStamp() { return std::nullopt; }

    // The schedule of one project; nullopt when the query fails or the project is gone.
    // Called on the pass thread.
    [[nodiscard]] virtual std::optional<ScheduleTexts> QuerySchedule(const std::string& name) = 0;

    // runState: 0 idle, 1 running, 2 paused. A pass starts only while it is 0. Called on the
    // thread that calls Scheduler::Tick (or Poll).
    [[nodiscard]] virtual int RunState() const = 0;

    // Sets runState to 1 and runProjectName to `name`, runs the project and returns when the
    // run has ended and runState is 0 again. A project that cannot be loaded is the run's to
    // report ("Failed"). Called on the pass thread; must not throw.
    virtual void RunProject(const std::string& name) = 0;

    // The scheduler's own upkeep, about once a minute: `first` on the first call after the
    // scheduler started, when runs missed while no scheduler ran are recorded. Returns the
    // projects to run once now (missed runs to catch up). Called on the pass thread, before
    // the due projects; must not throw.
    [[nodiscard]] virtual std::vector<std::string> Housekeeping(std::time_t now, bool first) { return {}; }

    // The next backup time of `name` after its scheduled run ("" when it never fires again).
    // Not called when the project's schedule can no longer be read. Called on the pass thread.
    virtual void OnNextBackupTime(const std::string& name, const std::string& nextTime) { }
};

} // namespace vorn
