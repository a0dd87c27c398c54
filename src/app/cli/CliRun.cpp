#include "app/cli/CliRun.h"

#include "app/cli/ConsoleObserver.h"
#include "app/cli/StopSignals.h"
#include "engine/BackupRun.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"
#include "notify/AlertObserver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace vorn {

namespace {

// A stop signal may come before RunProject has reset the run control for its start; the
// flag keeps it, and the start applies it.
struct StopRequest {
    RunControl& control;
    std::atomic<bool> signalled { false };

    void Signal()
    {
        signalled = true;
        control.Stop();
    }
};

// The shared console lines, plus the stop that a signal may have requested before
// RunProject reset the run control for its start.
class RunVerbObserver : public ConsoleObserver {
public:
    RunVerbObserver(std::ostream& out, std::ostream& err, std::mutex& outputMutex, StopRequest& stop)
        : ConsoleObserver(out, err, outputMutex)
        , stop_(stop)
    {
    }

    void OnRunStarted(const std::string& projectName) override
    {
        if (stop_.signalled)
            stop_.control.Stop();
        ConsoleObserver::OnRunStarted(projectName);
    }

private:
    StopRequest& stop_;
};

std::string SpeedText(float speed)
{
    char text[32];
    if (speed < 1024.f)
        std::snprintf(text, sizeof text, "%.0f B/s", double(speed));
    else if (speed < 1048576.f)
        std::snprintf(text, sizeof text, "%.1f KB/s", double(speed) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MB/s", double(speed) / 1048576.0);
    return text;
}

// Waits for SIGINT or SIGTERM (blocked in every thread) and stops the run; shows a progress
// line on a terminal. Ends when told to, within a fraction of a second.
class RunCompanion {
public:
    RunCompanion(StopRequest& stop, TransferFigures& figures, std::mutex& outputMutex, bool showProgress)
        : stop_(stop)
        , figures_(figures)
        , outputMutex_(outputMutex)
        , showProgress_(showProgress)
        , thread_([this] { Loop(); })
    {
    }
    ~RunCompanion()
    {
        done_ = true;
        // A stop signal sent to the loop's own thread ends its wait now rather than at the next
        // tick, which added up to 0.2 s to every run; with done_ set it stops nothing.
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
        if (showProgress_) {
            std::lock_guard lock(outputMutex_);
            std::fputs("\r\033[K", stderr);
        }
    }

private:
    void Loop()
    {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        const timespec wait { 0, 200'000'000 };
        while (!done_) {
            if (sigtimedwait(&signals, nullptr, &wait) > 0 && !done_)
                stop_.Signal();
            if (showProgress_ && !done_) {
                std::lock_guard lock(outputMutex_);
                std::fprintf(stderr, "\r\033[K%5.1f%%  %s", double(figures_.progressInfo.percent.load()),
                    SpeedText(figures_.transferSpeed.load()).c_str());
                std::fflush(stderr);
            }
        }
    }

    StopRequest& stop_;
    TransferFigures& figures_;
    std::mutex& outputMutex_;
    bool showProgress_;
    std::atomic<bool> done_ { false };
    std::thread thread_;
};

} // namespace

int RunProjectVerb(const std::string& name, ProjectDb& db, std::ostream& out, std::ostream& err, bool passive,
    std::chrono::milliseconds timeout, bool dryRun)
{
    BlockStopSignals blocked;
    std::mutex outputMutex;
    RunControl control;
    StopRequest stop { control };
    TransferFigures figures;
    RunVerbObserver observer(out, err, outputMutex, stop);
    const bool showProgress = isatty(STDERR_FILENO) == 1;
    observer.SetClearsProgressLine(showProgress);
    RunOutcome outcome;
    {
        RunCompanion companion(stop, figures, outputMutex, showProgress);
        // A dry run stores nothing and tells no one.
        AlertObserver alerts(&observer, &db);
        RunEnvironment env { &db, dryRun ? static_cast<RunObserver*>(&observer) : &alerts, &control, &figures,
            passive };
        env.dryRun = dryRun;
        env.timeout = timeout;
        outcome = RunProject(name, env);
    }
    // A result that could not be stored (or a stored value the run could not use) was told on
    // the error stream; the exit status says it too.
    if (observer.HadProblem() && outcome != RunOutcome::Failed)
        return 1;
    switch (outcome) {
    case RunOutcome::Success:
        // The end was reached; a cron job still learns that something was left behind.
        return observer.failedItems() > 0 ? 3 : 0;
    case RunOutcome::Failed:
        err << "vornbackup-cli: no project named \"" << name << "\"\n";
        return 2;
    default:
        return 1;
    }
}

} // namespace vorn
