#include "app/cli/CliSchedule.h"

#include "app/cli/ConsoleObserver.h"
#include "app/cli/StopSignals.h"
#include "engine/RunControl.h"
#include "engine/TransferFigures.h"
#include "runner/ProjectDbSchedulerHost.h"
#include "schedule/Clock.h"
#include "schedule/Scheduler.h"
#include "store/ProjectDb.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <ostream>
#include <string>

namespace vorn {

namespace {

using std::chrono::steady_clock;

void Say(std::ostream& err, std::mutex& outputMutex, const std::string& text)
{
    std::lock_guard lock(outputMutex);
    err << "vornbackup-cli: " << text << '\n';
    err.flush();
}

// Polls once a second until a stop signal comes; returns its number.
int PollUntilStopSignal(Scheduler& scheduler)
{
    auto nextPoll = steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        const auto now = steady_clock::now();
        if (now >= nextPoll) {
            scheduler.Poll();
            nextPoll += std::chrono::seconds(1);
            // After a suspended machine wakes up: one poll, not one for every missed second.
            if (nextPoll < now)
                nextPoll = now + std::chrono::seconds(1);
        }
        const auto wait
            = std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - steady_clock::now());
        if (const int signal = WaitForStopSignal(std::max(wait, std::chrono::milliseconds(0))))
            return signal;
    }
}

} // namespace

int ScheduleVerb(
    ProjectDb& db, std::ostream& out, std::ostream& err, bool passive, std::chrono::milliseconds timeout)
{
    // Before any thread starts, so that every thread inherits the mask and the signals wait
    // for this thread's sigtimedwait instead of ending the process in the middle of a run.
    BlockStopSignals blocked;
    std::mutex outputMutex;
    const SchedulerLock::AcquireResult acquired = AcquireSchedulerLock(db);
    if (!acquired.lock) {
        Say(err, outputMutex, acquired.error);
        return 1;
    }

    RunControl control;
    TransferFigures figures;
    ConsoleObserver observer(out, err, outputMutex, ConsoleObserver::Style::Service);
    RunEnvironment env { &db, &observer, &control, &figures, passive };
    env.timeout = timeout;
    ProjectDbSchedulerHost host(env, [&observer](const std::string& name, const std::string& nextTime) {
        observer.PrintProjectLine(name, "Next Backup Time: " + (nextTime.empty() ? "none" : nextTime));
    });
    const SystemClock clock;
    {
        Scheduler scheduler(host, clock, Scheduler::PassThread::Worker);
        scheduler.Start();
        Say(err, outputMutex,
            "scheduling the projects of \"" + db.path()
                + "\" (first check in 5 seconds; SIGINT or SIGTERM stops)");
        const int signal = PollUntilStopSignal(scheduler);
        const std::string running = control.runProjectName();
        Say(err, outputMutex,
            std::string(signal == SIGINT ? "SIGINT" : "SIGTERM") + ": stopping"
                + (running.empty() ? std::string() : " the run of \"" + running + "\""));
        host.Shutdown();
        // The Scheduler joins its worker here, once the stopped run has stored "Stop".
    }
    Say(err, outputMutex, "scheduler stopped");
    return 0;
}

} // namespace vorn
