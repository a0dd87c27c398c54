#include "engine/KeepAliveThread.h"

namespace vorn {

KeepAliveThread::KeepAliveThread(sf::Ftp& first, sf::Ftp* second, std::chrono::milliseconds period)
    : first_(first)
    , second_(second)
    , period_(period)
    , thread_([this] { Loop(); })
{
}

KeepAliveThread::~KeepAliveThread() { Stop(); }

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

void KeepAliveThread::Loop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (wake_.wait_for(lock, period_, [this] { return stopping_; }))
            return;
        // Unlocked while talking to the servers, so Stop() is never held up by the wait
        // itself, only by a KeepAlive already under way (bounded by its time-out).
        lock.unlock();
        (void)first_.KeepAlive();
        if (second_)
            (void)second_->KeepAlive();
        lock.lock();
    }
}

} // namespace vorn
