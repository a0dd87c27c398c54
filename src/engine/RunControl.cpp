#include "engine/RunControl.h"

namespace vorn {

void RunControl::setRunState(RunState state)
{
    {
        std::lock_guard lock(mutex_);
        runState_.store(state);
    }
    resumed_.notify_all();
}

std::string RunControl::runProjectName() const
{
    std::lock_guard lock(mutex_);
    return runProjectName_;
}

void RunControl::setRunProjectName(const std::string& name)
{
    std::lock_guard lock(mutex_);
    runProjectName_ = name;
}

void RunControl::Begin()
{
    // Under the same lock as Shutdown: either its flag is seen here, or its Stop comes after.
    std::lock_guard lock(mutex_);
    stop_.store(shutdown_);
}

bool RunControl::Pause()
{
    std::lock_guard lock(mutex_);
    if (runState_.load() != RunState::Running)
        return false;
    runState_.store(RunState::Paused);
    return true;
}

bool RunControl::Resume()
{
    {
        std::lock_guard lock(mutex_);
        if (runState_.load() != RunState::Paused)
            return false;
        runState_.store(RunState::Running);
    }
    resumed_.notify_all();
    return true;
}

void RunControl::Stop()
{
    // Held while the actions run, so that RemoveCancelAction cannot return (and its owner
    // cannot destroy what an action refers to) while a copy of the action is still running.
    std::lock_guard running(actionsRunning_);
    std::vector<std::function<void()>> actions;
    {
        std::lock_guard lock(mutex_);
        stop_.store(true);
        for (auto& entry : cancelActions_)
            actions.push_back(entry.second);
    }
    resumed_.notify_all();
    // Run outside mutex_: an action may call back into this object (state queries).
    for (auto& action : actions)
        action();
}

void RunControl::Shutdown()
{
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
    }
    Stop();
}

bool RunControl::WaitWhilePaused()
{
    std::unique_lock lock(mutex_);
    const auto released = [this] { return stop_.load() || runState_.load() != RunState::Paused; };
    if (!released()) {
        ++heldAtGate_;
        resumed_.wait(lock, released);
        --heldAtGate_;
    }
    return !stop_.load();
}

bool RunControl::Wait(std::chrono::milliseconds delay)
{
    {
        std::unique_lock lock(mutex_);
        // Stop notifies resumed_ under the same mutex, so the wait cannot miss it.
        resumed_.wait_for(lock, delay, [this] { return stop_.load(); });
    }
    return WaitWhilePaused();
}

RunControl::Token RunControl::AddCancelAction(std::function<void()> action)
{
    std::unique_lock lock(mutex_);
    const Token token = nextToken_++;
    cancelActions_.emplace_back(token, action);
    if (stop_.load()) {
        lock.unlock();
        action();
    }
    return token;
}

void RunControl::RemoveCancelAction(Token token)
{
    std::lock_guard running(actionsRunning_);
    std::lock_guard lock(mutex_);
    std::erase_if(cancelActions_, [token](const auto& entry) { return entry.first == token; });
}

CancelRegistration::CancelRegistration(RunControl* control, std::function<void()> action)
    : control_(control)
{
    if (control_)
        token_ = control_->AddCancelAction(std::move(action));
}

CancelRegistration::~CancelRegistration()
{
    if (control_)
        control_->RemoveCancelAction(token_);
}

} // namespace vorn
