#include "app/cli/StopSignals.h"

#include <pthread.h>

namespace vorn {

namespace {

sigset_t StopSignalSet()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

} // namespace

BlockStopSignals::BlockStopSignals()
{
    const sigset_t signals = StopSignalSet();
    pthread_sigmask(SIG_BLOCK, &signals, &previous_);
}

BlockStopSignals::~BlockStopSignals()
{
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int WaitForStopSignal(std::chrono::milliseconds timeout)
{
    const sigset_t signals = StopSignalSet();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec wait { static_cast<time_t>(seconds.count()),
        static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count()) };
    const int signal = sigtimedwait(&signals, nullptr, &wait);
    // EAGAIN: the time passed; EINTR: another signal (a stopped and continued process).
    return signal > 0 ? signal : 0;
}

} // namespace vorn
