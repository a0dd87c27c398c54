#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vorn {

// runState: what the one run is doing. Its number (0, 1, 2) is what the scheduler compares
// (SchedulerHost::RunState); these two functions are the only conversion.
enum class RunState { Idle = 0, Running = 1, Paused = 2 };
[[nodiscard]] constexpr int RunStateNumber(RunState state)
{
    return static_cast<int>(state);
}
[[nodiscard]] constexpr RunState RunStateFromNumber(int number)
{
    return number == 1 ? RunState::Running : number == 2 ? RunState::Paused : RunState::Idle;
}

// Run bookkeeping shared by the commands, the run's worker and the displays, and the
// cooperative Pause/Resume/Stop of the one run that may be active.
//
// The worker sets runState to Running at its start and to Idle at its end; Pause and Resume
// switch between Running and Paused. Stop asks the worker to end; the walks check between
// files and the FTP client between transfer chunks, and registered cancel actions interrupt
// network waits at once, so a run ends within about a second.
class RunControl {
public:
    RunControl() = default;
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    [[nodiscard]] RunState runState() const { return runState_.load(); }
    void setRunState(RunState state);

    [[nodiscard]] std::string runProjectName() const;
    void setRunProjectName(const std::string& name);

    // The first step of every run: clears a stop left from an earlier run. A Shutdown is
    // kept, so a run that begins after it (or while it is being made) stops at once.
    void Begin();

    // Pause: Running -> Paused; Resume: Paused -> Running. Return false when the state did not allow it.
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
    // Whether a thread is blocked in WaitWhilePaused right now: the run is held, nothing
    // moves until Resume or Stop. Lets a caller wait for the pause to have taken effect.
    [[nodiscard]] bool heldAtPauseGate() const { return heldAtGate_.load() > 0; }
    // Waits `delay` (a back-off before a retry), then holds while paused. A Stop ends the
    // wait at once; returns false when the run is to stop.
    [[nodiscard]] bool Wait(std::chrono::milliseconds delay);

    // Cancel actions run by Stop (e.g. cancelling an FTP connection's waits). An action
    // registered after Stop runs at once. The token removes it again; RemoveCancelAction
    // waits for a Stop that is running the actions, so an action never outlives its
    // registration. Actions must not block on the worker's locks.
    using Token = std::uint64_t;
    Token AddCancelAction(std::function<void()> action);
    void RemoveCancelAction(Token token);

private:
    std::atomic<RunState> runState_ { RunState::Idle };
    std::atomic<bool> stop_ { false };
    std::atomic<int> heldAtGate_ { 0 };
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
