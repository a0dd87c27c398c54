#pragma once

#include "app/QueuedRunObserver.h"
#include "engine/RunController.h"
#include "schedule/Clock.h"

#include <QObject>
#include <QString>
#include <ctime>
#include <memory>

class CMainFrame;
class QTimer;

namespace vorn {
class ProjectDb;
class ProjectDbSchedulerHost;
class Scheduler;
class SchedulerLock;
} // namespace vorn

// The runs and the scheduler of the main window: the Run command's worker, the scheduler
// (its check, plan reload and midnight timers) with its pass thread, and the reports of both,
// queued to the window.
// Both kinds of run go through the window's RunControl and one RunController, so a manual run
// and a scheduled one never overlap.
//
// A child of the window, installed through its hooks. The window calls Shutdown from its
// destructor (and when the user leaves), so every worker is joined while the widgets exist.
class DesktopRuns : public QObject {
public:
    // `clock` (the system clock when null) drives the scheduler and must outlive this object.
    // When another scheduler (a second window, the headless service) owns the database, the
    // window says so in status pane 0 and schedules nothing, so no backup runs twice.
    DesktopRuns(CMainFrame* frame, vorn::ProjectDb* db, const vorn::Clock* clock = nullptr);
    ~DesktopRuns() override;
    DesktopRuns(const DesktopRuns&) = delete;
    DesktopRuns& operator=(const DesktopRuns&) = delete;

    // Starts the project on a worker of its own; false while a run is active or claimed.
    bool StartRun(const QString& name);

    // Stops the run, starts no further one and joins every worker. Idempotent.
    void Shutdown();

    // Null when this window does not schedule (another scheduler owns the database).
    [[nodiscard]] vorn::Scheduler* scheduler() const { return scheduler_.get(); }
    // The scheduler's timers: the one-second check, the plans' reload, the midnight step.
    [[nodiscard]] QTimer* schedulerCheckTimer() const { return schedulerCheck_; }
    [[nodiscard]] QTimer* planReloadTimer() const { return planReload_; }
    [[nodiscard]] QTimer* midnightTimer() const { return midnight_; }

private:
    class WindowSchedulerHost;

    // Takes the scheduler lock and starts the scheduler; when another scheduler holds the
    // database, says so and tries again a minute later (RetryLockLater).
    void StartScheduler();
    void RetryLockLater();
    QTimer* MakeTimer(const char* name, void (DesktopRuns::*step)());
    void OnPlanReload();
    void OnSchedulerCheck();
    void OnMidnight();
    // The window stored, changed or deleted a project: its plan counts from now on.
    void OnProjectsChanged();
    // Restarts the one-second check when plans are pending again.
    void ResumeChecks();

    CMainFrame* frame_;
    vorn::ProjectDb* db_;
    vorn::SystemClock systemClock_;
    const vorn::Clock& clock_;
    vorn::RunController controller_;
    QueuedRunObserver manualObserver_;
    QueuedRunObserver scheduledObserver_;
    std::unique_ptr<vorn::SchedulerLock> lock_;
    std::unique_ptr<vorn::ProjectDbSchedulerHost> host_;
    std::unique_ptr<WindowSchedulerHost> windowHost_;
    std::unique_ptr<vorn::Scheduler> scheduler_;
    bool shutDown_ = false;
    QTimer* schedulerCheck_ = nullptr;
    QTimer* planReload_ = nullptr;
    QTimer* midnight_ = nullptr;
    QTimer* lockRetry_ = nullptr;
    std::time_t nextLockTry_ = 0;
};
