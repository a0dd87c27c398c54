#include "engine/KeepAliveThread.h"

namespace vorn {

KeepAliveThread::KeepAliveThread(
    remote::RemoteSession& first, remote::RemoteSession* second, std::chrono::milliseconds period)
    : KeepAliveThread(
        [&first, second] {
            // Replies do not matter: a busy or broken session shows in the run itself.
            (void)first.KeepAlive();
            if (second)
                (void)second->KeepAlive();
        },
        period)
{
}

KeepAliveThread::KeepAliveThread(std::function<void()> beat, std::chrono::milliseconds period)
    : beat_(std::move(beat))
    , period_(period)
    , thread_([this] { KeepAliveLoop(); })
{
}

KeepAliveThread::~KeepAliveThread()
{
    Stop();
}

void KeepAliveThread::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void KeepAliveThread::KeepAliveLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (wake_.wait_for(lock, period_, [this] { return stopping_; }))
            return;
        // Unlocked while talking to the servers, so Stop() is never held up by the wait
        // itself, only by a KeepAlive already under way (bounded by its time-out).
        lock.unlock();
        beat_();
        lock.lock();
    }
}

} // namespace vorn
