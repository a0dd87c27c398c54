#pragma once

#include "remote/RemoteSession.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vorn {

// Keeps the connections of a run from being dropped as idle: every `period` it sends
// KeepAlive on `first` and, when set, on `second`. KeepAlive skips a beat while the worker
// is in a command or a transfer, so the two never interleave on a connection.
//
// Lifetime: the connections must outlive this object. Stop() (or the destructor) wakes the
// thread at once and joins it; a KeepAlive call in progress is finished first, so the
// connections are never destroyed under it.
class KeepAliveThread {
public:
    static constexpr std::chrono::milliseconds defaultPeriod { 100'000 };

    KeepAliveThread(remote::RemoteSession& first, remote::RemoteSession* second,
        std::chrono::milliseconds period = defaultPeriod);
    // Any beat: `beat` runs on the thread every `period`.
    KeepAliveThread(std::function<void()> beat, std::chrono::milliseconds period);
    ~KeepAliveThread();
    KeepAliveThread(const KeepAliveThread&) = delete;
    KeepAliveThread& operator=(const KeepAliveThread&) = delete;

    // From the owner's thread. Returns once the thread has ended.
    void Stop();

private:
    void KeepAliveLoop();

    std::function<void()> beat_;
    std::chrono::milliseconds period_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_; // last: starts once everything above is set
};

} // namespace vorn
