#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vorn {

class RunControl;

// The one run slot of the program, and the thread of a manual run.
//
// A manual run gets a worker thread owned here; a scheduled run uses the scheduler's pass
// thread. Both claim the slot first. runState alone cannot keep them apart: the Run command
// and the scheduler's check both see 0 before either run has set it to 1, so a run claimed
// here but not yet started still counts as busy. Plain C++: no Qt, every method callable from
// any thread.
class RunController {
public:
    explicit RunController(RunControl& control);
    // Shutdown(): stops the run and joins the worker.
    ~RunController();
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;

    // Claims the slot for `name` and starts `run` on a new worker. False (and nothing
    // started) while a run is claimed or runState is not 0, or after Shutdown.
    bool StartManual(const std::string& name, std::function<void()> run);

    // Claims the slot and runs `run` on the calling thread, waiting first for a run that
    // holds the slot. False (and `run` not called) after Shutdown.
    bool RunScheduled(const std::function<void()>& run);

    // A run holds the slot (it may not have set runState yet).
    [[nodiscard]] bool busy() const;

    // No run starts any more; the run in progress is asked to stop (RunControl::Shutdown, so
    // a run claimed but not yet begun stops too) and the manual worker is joined (a scheduled
    // run ends on its own thread). Idempotent.
    void Shutdown();

private:
    void Release();

    RunControl& control_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool busy_ = false;
    bool shutdown_ = false;
    std::thread worker_;
};

} // namespace vorn
