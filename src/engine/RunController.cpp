#include "engine/RunController.h"

#include "engine/RunControl.h"

namespace vorn {

RunController::RunController(RunControl& control)
    : control_(control)
{
}

RunController::~RunController()
{
    Shutdown();
}

bool RunController::StartManual(const std::string& name, std::function<void()> run)
{
    std::lock_guard lock(mutex_);
    if (busy_ || shutdown_ || control_.runState() != RunState::Idle)
        return false;
    // The previous worker released the slot as its last step, so this join is immediate.
    if (worker_.joinable())
        worker_.join();
    busy_ = true;
    control_.setRunProjectName(name);
    worker_ = std::thread([this, run = std::move(run)] {
        try {
            run();
        } catch (...) {
            // Thread edge: a run that threw must not leave runState at 1 for good, or no
            // project would start again until the program is restarted.
            control_.setRunProjectName("");
            control_.setRunState(RunState::Idle);
        }
        Release();
    });
    return true;
}

bool RunController::RunScheduled(const std::function<void()>& run)
{
    {
        std::unique_lock lock(mutex_);
        released_.wait(lock, [this] { return !busy_ || shutdown_; });
        if (shutdown_)
            return false;
        busy_ = true;
    }
    try {
        run();
    } catch (...) {
        Release();
        throw;
    }
    Release();
    return true;
}

bool RunController::busy() const
{
    std::lock_guard lock(mutex_);
    return busy_;
}

void RunController::Shutdown()
{
    std::thread worker;
    {
        std::lock_guard lock(mutex_);
        // Once is enough, and the second call (from the destructor) may come after the
        // RunControl is gone: the window's destructor shuts down before its members go.
        if (shutdown_)
            return;
        shutdown_ = true;
        worker = std::move(worker_);
    }
    released_.notify_all();
    control_.Shutdown();
    if (worker.joinable())
        worker.join();
}

void RunController::Release()
{
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    released_.notify_all();
}

} // namespace vorn
