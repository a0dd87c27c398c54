#include "runner/ProjectDbSchedulerHost.h"

#include "engine/RunControl.h"
#include "engine/RunOutcome.h"
#include "notify/AlertObserver.h"
#include "runner/Unattended.h"
#include "store/ProjectDb.h"

#include <filesystem>

namespace vorn {

namespace {

const char* const kFailedResult = "Transmission Results: Failed!";

} // namespace

ProjectDbSchedulerHost::ProjectDbSchedulerHost(const RunEnvironment& env, NextTimeListener onNextTime)
    : env_(env)
    , onNextTime_(std::move(onNextTime))
{
}

std::vector<PlanRow> ProjectDbSchedulerHost::QueryPlans()
{
    return vorn::QueryPlans(env_.db);
}

std::optional<std::vector<PlanRow>> ProjectDbSchedulerHost::TryQueryPlans()
{
    std::string error;
    std::vector<PlanRow> rows = vorn::QueryPlans(env_.db, &error);
    if (!error.empty())
        return std::nullopt;
    return rows;
}

std::optional<ChangeStamp> ProjectDbSchedulerHost::DatabaseStamp()
{
    return ReadChangeStamp(env_.db);
}

std::optional<ScheduleTexts> ProjectDbSchedulerHost::QuerySchedule(const std::string& name)
{
    return vorn::QuerySchedule(env_.db, name);
}

int ProjectDbSchedulerHost::RunState() const
{
    return RunStateNumber(env_.control->runState());
}

void ProjectDbSchedulerHost::RunProject(const std::string& name)
{
    RunEnvironment env;
    {
        std::lock_guard lock(mutex_);
        if (shutdown_)
            return;
        runReachedStatus_ = false;
        env = env_;
    }
    AlertObserver alerts(&watch_, env.db);
    env.observer = &alerts;
    try {
        vorn::RunProject(name, env);
    } catch (...) {
        // The pass thread is the run's edge: left as it is, runState would stay 1 and no
        // project would start again until the program is restarted.
        RecoverFromThrownRun(name);
    }
}

void ProjectDbSchedulerHost::RecoverFromThrownRun(const std::string& name)
{
    const std::string failText(RunOutcomeText(RunOutcome::Fail));
    bool statusStored;
    {
        std::lock_guard lock(mutex_);
        statusStored = runReachedStatus_;
    }
    try {
        // A run that got as far as storing its outcome keeps it; any other did not back up.
        if (!statusStored) {
            SetProjectStatus(env_.db, name, failText);
            if (env_.observer) {
                env_.observer->OnProjectStatus(name, ProjectStatus::Fail);
                env_.observer->OnResultText(kFailedResult);
            }
        }
    } catch (...) {
        // The observer broke once more; the run state below matters more than its report.
    }
    env_.control->setRunProjectName("");
    env_.control->setRunState(RunState::Idle);
    try {
        if (env_.observer)
            env_.observer->OnRunFinished(name, RunOutcome::Fail);
    } catch (...) {
    }
}

void ProjectDbSchedulerHost::OnNextBackupTime(const std::string& name, const std::string& nextTime)
{
    if (onNextTime_)
        onNextTime_(name, nextTime);
}

std::vector<std::string> ProjectDbSchedulerHost::Housekeeping(std::time_t now, bool first)
{
    try {
        return SchedulerHousekeeping(env_.db, now, first, ProgramDeliveryPolicy(),
            [this](const std::string& project, const std::string& text) {
                if (env_.observer)
                    env_.observer->OnRunNotice(NoticeSeverity::Warning, project, text);
            });
    } catch (...) {
        // The pass thread is the edge; the next minute tries again.
        return {};
    }
}

void ProjectDbSchedulerHost::SetPassive(bool passive)
{
    std::lock_guard lock(mutex_);
    env_.passive = passive;
}

void ProjectDbSchedulerHost::Shutdown()
{
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
    }
    // Kept by the control: a run that begins later stops at once.
    env_.control->Shutdown();
}

bool ProjectDbSchedulerHost::shuttingDown() const
{
    std::lock_guard lock(mutex_);
    return shutdown_;
}

void ProjectDbSchedulerHost::OutcomeWatch::OnProjectStatus(
    const std::string& projectName, ProjectStatus status)
{
    if (status != ProjectStatus::Running) {
        // Every status but Running is reported once the run's outcome is settled.
        std::lock_guard lock(host_.mutex_);
        host_.runReachedStatus_ = true;
    }
    ForwardingObserver::OnProjectStatus(projectName, status);
}

SchedulerLock::AcquireResult AcquireSchedulerLock(const ProjectDb& db)
{
    // The database is open, so the file exists and canonical() normally succeeds; should it
    // not, the path as given still locks against every program that spells it the same way.
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(db.path(), error);
    return SchedulerLock::Acquire(error ? db.path() : canonical.string());
}

} // namespace vorn
