#pragma once

#include "engine/BackupRun.h"
#include "engine/ForwardingObserver.h"
#include "engine/RunObserver.h"
#include "schedule/SchedulerHost.h"
#include "schedule/SchedulerLock.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// The scheduler's host over the program's database and the backup engine, shared by the
// desktop window and the headless service: plans and schedules come from the store, a due
// project runs through RunProject with the environment given, on the pass thread.
//
// Shutdown: the Scheduler lets a run in progress end before it joins, so a program that
// wants to leave calls Shutdown() first. From then on no project starts, and the run in
// progress is stopped; it stores "Stop" itself.
class ProjectDbSchedulerHost final : public SchedulerHost {
public:
    // Receives the refreshed next backup time after a scheduled run; called on the pass thread.
    using NextTimeListener = std::function<void(const std::string& name, const std::string& nextTime)>;

    // env.db, env.control and env.figures must be set and outlive the host; env.observer
    // (may be null) receives every run's reports on the pass thread.
    explicit ProjectDbSchedulerHost(const RunEnvironment& env, NextTimeListener onNextTime = {});
    ProjectDbSchedulerHost(const ProjectDbSchedulerHost&) = delete;
    ProjectDbSchedulerHost& operator=(const ProjectDbSchedulerHost&) = delete;

    [[nodiscard]] std::vector<PlanRow> QueryPlans() override;
    [[nodiscard]] std::optional<std::vector<PlanRow>> TryQueryPlans() override;
    [[nodiscard]] std::optional<ChangeStamp> DatabaseStamp() override;
    [[nodiscard]] std::optional<ScheduleTexts> QuerySchedule(const std::string& name) override;
    [[nodiscard]] int RunState() const override;
    void RunProject(const std::string& name) override;
    void OnNextBackupTime(const std::string& name, const std::string& nextTime) override;
    // Missed runs, the note that a scheduler runs, stale projects (runner/Unattended.h).
    [[nodiscard]] std::vector<std::string> Housekeeping(std::time_t now, bool first) override;

    // The data-connection mode of the runs that start from now on. Safe from any thread.
    void SetPassive(bool passive);

    // Starts no further project and stops the one running. Safe from any thread.
    void Shutdown();
    [[nodiscard]] bool shuttingDown() const;

private:
    // Forwards the run's reports to the program's observer and notes when the run has
    // reported its final status, which a run that throws keeps.
    class OutcomeWatch : public ForwardingObserver {
    public:
        explicit OutcomeWatch(ProjectDbSchedulerHost& host)
            : ForwardingObserver(host.env_.observer)
            , host_(host)
        {
        }
        void OnProjectStatus(const std::string& projectName, ProjectStatus status) override;

    private:
        ProjectDbSchedulerHost& host_;
    };

    void RecoverFromThrownRun(const std::string& name);

    RunEnvironment env_;
    NextTimeListener onNextTime_;
    OutcomeWatch watch_ { *this };
    mutable std::mutex mutex_;
    bool shutdown_ = false;
    bool runReachedStatus_ = false; // the current run has reported its final status
};

// SchedulerLock::Acquire on the database's canonical path, so that two spellings of one file
// (relative and absolute, or through a symbolic link) share one lock. Every program that
// schedules takes it before it starts its Scheduler.
[[nodiscard]] SchedulerLock::AcquireResult AcquireSchedulerLock(const ProjectDb& db);

} // namespace vorn
