#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vorn {

// Run bookkeeping shared by the commands, the run's worker and the displays, and the
// cooperative Pause/Resume/Stop of the one run that may be active.
//
// runState: 0 idle, 1 running, 2 paused. The worker sets 1 at its start and 0 at its end;
// Pause/Resume switch between 1 and 2. Stop asks the worker to end; the walks check between
// files and the FTP client between transfer chunks, and registered cancel actions interrupt
// network waits at once, so a run ends within about a second.
class RunControl {
public:
    RunControl() = default;
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    [[nodiscard]] int runState() const { return runState_.load(); }
    void setRunState(int state);

    [[nodiscard]] std::string runProjectName() const;
    void setRunProjectName(const std::string& name);

    // The first step of every run: clears a stop left from an earlier run. A Shutdown is
    // kept, so a run that begins after it (or while it is being made) stops at once.
    void Begin();

    // Pause: 1 -> 2; Resume: 2 -> 1. Return false when the state did not allow it.
    bool Pause();
    bool Resume();
    // Asks the run to end and interrupts its network waits. Safe from any thread.
    void Stop();
    // Stop for good: the run in progress and every run that begins later are stopped.
    void Shutdown();

    [[nodiscard]] bool stopRequested() const { return stop_.load(); }

    // Blocks while paused. Returns false when the run is to stop (at once when stopped).
    // The worker calls this between files and the FTP client between transfer chunks.
    [[nodiscard]] bool WaitWhilePaused();

    // Cancel actions run by Stop (e.g. cancelling an FTP connection's waits). An action
    // registered after Stop runs at once. The token removes it again; RemoveCancelAction
    // waits for a Stop that is running the actions, so an action never outlives its
    // registration. Actions must not block on the worker's locks.
    using Token = std::uint64_t;
    Token AddCancelAction(std::function<void()> action);
    void RemoveCancelAction(Token token);

private:
    std::atomic<int> runState_ { 0 };
    std::atomic<bool> stop_ { false };
    bool shutdown_ = false; // under mutex_
    mutable std::mutex mutex_;
    std::mutex actionsRunning_;
    std::condition_variable resumed_;
    std::string runProjectName_;
    std::vector<std::pair<Token, std::function<void()>>> cancelActions_;
    Token nextToken_ = 1;
};

// Removes a cancel action when it goes out of scope.
class CancelRegistration {
public:
    CancelRegistration(RunControl* control, std::function<void()> action);
    ~CancelRegistration();
    CancelRegistration(const CancelRegistration&) = delete;
    CancelRegistration& operator=(const CancelRegistration&) = delete;

private:
    RunControl* control_;
    RunControl::Token token_ = 0;
};

} // namespace vorn
