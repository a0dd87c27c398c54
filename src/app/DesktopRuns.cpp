#include "app/DesktopRuns.h"

#include "app/MainFrame.h"
#include "engine/BackupRun.h"
#include "gui/OffThreadJobs.h"
#include "notify/AlertObserver.h"
#include "runner/ProjectDbSchedulerHost.h"
#include "schedule/Scheduler.h"
#include "schedule/SchedulerLock.h"
#include "store/ProjectDb.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>

namespace {

constexpr int kSchedulerPeriodMs = 1000;
constexpr int kFirstReloadDelayMs = 5000;
constexpr std::time_t kLockRetrySeconds = 60;

} // namespace

// The scheduler's view of the window: plans, schedules and the run itself come from the
// shared host over the store and the engine; the run slot comes from the RunController, so a
// project claimed by the Run command but not started yet counts as running.
class DesktopRuns::WindowSchedulerHost final : public vorn::SchedulerHost {
public:
    WindowSchedulerHost(vorn::ProjectDbSchedulerHost& inner, vorn::RunController& controller)
        : inner_(inner)
        , controller_(controller)
    {
    }

    std::vector<vorn::PlanRow> QueryPlans() override { return inner_.QueryPlans(); }
    std::optional<std::vector<vorn::PlanRow>> TryQueryPlans() override { return inner_.TryQueryPlans(); }
    std::optional<vorn::ChangeStamp> DatabaseStamp() override { return inner_.DatabaseStamp(); }
    std::optional<vorn::ScheduleTexts> QuerySchedule(const std::string& name) override
    {
        return inner_.QuerySchedule(name);
    }
    int RunState() const override
    {
        // The scheduler's number: a run claimed but not begun counts as running.
        const int state = inner_.RunState();
        const bool claimed = vorn::RunStateFromNumber(state) == vorn::RunState::Idle && controller_.busy();
        return claimed ? vorn::RunStateNumber(vorn::RunState::Running) : state;
    }
    void RunProject(const std::string& name) override
    {
        (void)controller_.RunScheduled([&] { inner_.RunProject(name); });
    }
    void OnNextBackupTime(const std::string& name, const std::string& nextTime) override
    {
        inner_.OnNextBackupTime(name, nextTime);
    }

private:
    vorn::ProjectDbSchedulerHost& inner_;
    vorn::RunController& controller_;
};

DesktopRuns::DesktopRuns(CMainFrame* frame, vorn::ProjectDb* db, const vorn::Clock* clock)
    : QObject(frame)
    , frame_(frame)
    , db_(db)
    , clock_(clock ? *clock : systemClock_)
    , controller_(frame->runControl())
    , manualObserver_(frame, false)
    , scheduledObserver_(frame, true)
{
    // The hooks may outlive this object (it can be deleted before the window): they check.
    CMainFrame::Hooks& hooks = frame_->hooks();
    const QPointer<DesktopRuns> self(this);
    hooks.startRun = [self](const QString& name) {
        if (self)
            (void)self->StartRun(name);
    };
    hooks.shutdownRuns = [self] {
        if (self)
            self->Shutdown();
    };
    // One named timer per step of the scheduler.
    schedulerCheck_ = MakeTimer("schedulerCheckTimer", &DesktopRuns::OnSchedulerCheck);
    planReload_ = MakeTimer("planReloadTimer", &DesktopRuns::OnPlanReload);
    midnight_ = MakeTimer("midnightTimer", &DesktopRuns::OnMidnight);
    StartScheduler();
}

DesktopRuns::~DesktopRuns()
{
    // The window may be half destroyed by now: nothing here touches it.
    Shutdown();
}

void DesktopRuns::StartScheduler()
{
    if (!db_ || shutDown_)
        return;
    vorn::SchedulerLock::AcquireResult acquired = vorn::AcquireSchedulerLock(*db_);
    if (!acquired.lock) {
        // A line that fits status pane 0; the whole reason, with the file, in its tool tip.
        frame_->SetIdleStatusText("Scheduled backups are off: another scheduler uses this database",
            QString::fromStdString(acquired.error) + " This window tries again every minute.");
        RetryLockLater();
        return;
    }
    if (lockRetry_)
        lockRetry_->stop();
    lock_ = std::move(acquired.lock);
    // Taken over from a scheduler that stopped: the window's notice goes, the first load of
    // the plans comes as at start-up.
    frame_->SetIdleStatusText({});
    planReload_->start(kFirstReloadDelayMs);
    CMainFrame* frame = frame_;
    host_ = std::make_unique<vorn::ProjectDbSchedulerHost>(
        vorn::RunEnvironment { db_, &scheduledObserver_, &frame_->runControl(), &frame_->figures(),
            !frame_->transferModeActive() },
        [frame](const std::string& name, const std::string& nextTime) {
            vorn::PostToReceiver(frame,
                [frame, name = QString::fromStdString(name), nextTime = QString::fromStdString(nextTime)] {
                    frame->OnNextBackupTime(name, nextTime);
                });
        });
    windowHost_ = std::make_unique<WindowSchedulerHost>(*host_, controller_);
    scheduler_ = std::make_unique<vorn::Scheduler>(*windowHost_, clock_, vorn::Scheduler::PassThread::Worker);
    // The window's own New, Modify and Delete take effect at once, not a second later.
    connect(frame_, &CMainFrame::projectsChanged, this, &DesktopRuns::OnProjectsChanged);
    connect(frame_, &CMainFrame::transferModeChanged, this, [this](bool active) {
        if (host_)
            host_->SetPassive(!active);
    });
}

void DesktopRuns::RetryLockLater()
{
    nextLockTry_ = clock_.Now() + kLockRetrySeconds;
    if (lockRetry_)
        return;
    // On the scheduler's clock, looked at every second, so a machine that slept retries at once.
    lockRetry_ = new QTimer(this);
    connect(lockRetry_, &QTimer::timeout, this, [this] {
        if (clock_.Now() >= nextLockTry_)
            StartScheduler();
    });
    lockRetry_->start(kSchedulerPeriodMs);
}

bool DesktopRuns::StartRun(const QString& name)
{
    const vorn::RunEnvironment env { db_, &manualObserver_, &frame_->runControl(), &frame_->figures(),
        !frame_->transferModeActive() };
    const std::string project = name.toStdString();
    return controller_.StartManual(project, [env, project] {
        vorn::AlertObserver alerts(env.observer, env.db);
        vorn::RunEnvironment alerted = env;
        alerted.observer = &alerts;
        (void)vorn::RunProject(project, alerted);
    });
}

void DesktopRuns::Shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    // In this order: no scheduled project starts any more, the run in progress (of either
    // kind) is stopped and the manual worker joined, then the pass thread is joined.
    if (host_)
        host_->Shutdown();
    for (QTimer* timer : { schedulerCheck_, planReload_, midnight_ })
        timer->stop();
    controller_.Shutdown();
    scheduler_.reset();
    windowHost_.reset();
    host_.reset();
    // Another window or the headless service may schedule from now on.
    lock_.reset();
}

void DesktopRuns::OnProjectsChanged()
{
    if (!scheduler_)
        return;
    if (scheduler_->ReloadChangedPlans())
        ResumeChecks();
}

QTimer* DesktopRuns::MakeTimer(const char* name, void (DesktopRuns::*step)())
{
    auto* timer = new QTimer(this);
    timer->setObjectName(QString::fromLatin1(name));
    connect(timer, &QTimer::timeout, this, step);
    return timer;
}

void DesktopRuns::ResumeChecks()
{
    if (scheduler_->PendingCount() != 0 && !schedulerCheck_->isActive())
        schedulerCheck_->start(kSchedulerPeriodMs);
}

void DesktopRuns::OnPlanReload()
{
    planReload_->stop();
    if (!scheduler_)
        return;
    midnight_->stop();
    scheduler_->Reload();
    schedulerCheck_->start(kSchedulerPeriodMs);
    midnight_->start(kSchedulerPeriodMs);
}

void DesktopRuns::OnSchedulerCheck()
{
    if (!scheduler_) {
        schedulerCheck_->stop();
        return;
    }
    (void)scheduler_->Tick();
    // Every plan of the list started as a one-shot: nothing to check until a reload.
    if (scheduler_->PendingCount() == 0 && !scheduler_->PassActive())
        schedulerCheck_->stop();
}

void DesktopRuns::OnMidnight()
{
    if (!scheduler_) {
        midnight_->stop();
        return;
    }
    // The scheduler arms the reload after midnight (or after a night the machine slept
    // through) on its own clock and carries it out here.
    scheduler_->ReloadIfDue();
    // Plans changed by another program (or another window) count from this second on.
    scheduler_->ReloadIfChanged();
    scheduler_->MidnightTick();
    ResumeChecks();
}
