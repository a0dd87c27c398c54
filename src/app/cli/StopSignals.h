#pragma once

#include <chrono>
#include <csignal>

namespace vorn {

// Blocks SIGINT and SIGTERM for this thread and every thread started after it, so that they
// stay pending until a sigtimedwait picks them up; restores the mask afterwards.
class BlockStopSignals {
public:
    BlockStopSignals();
    ~BlockStopSignals();
    BlockStopSignals(const BlockStopSignals&) = delete;
    BlockStopSignals& operator=(const BlockStopSignals&) = delete;

private:
    sigset_t previous_;
};

// Waits at most `timeout` for SIGINT or SIGTERM (blocked by BlockStopSignals); returns the
// signal's number, or 0 when none came.
[[nodiscard]] int WaitForStopSignal(std::chrono::milliseconds timeout);

} // namespace vorn
