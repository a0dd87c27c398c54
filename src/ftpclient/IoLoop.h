#pragma once

#include "ftpclient/Error.h"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vorn::ftp {

// The io_context of one connection and the only place where its thread waits. Every blocking
// call of the client is an asynchronous operation run here until it completes, its deadline
// passes or Cancel() is called.
class IoLoop {
public:
    using Clock = std::chrono::steady_clock;

    IoLoop() = default;
    IoLoop(const IoLoop&) = delete;
    IoLoop& operator=(const IoLoop&) = delete;

    [[nodiscard]] boost::asio::io_context& Context() { return io_; }

    // Any thread. Makes the current wait and every later one fail with Code::Cancelled.
    void Cancel();
    [[nodiscard]] bool IsCancelled() const { return cancelled_.load(); }
    // A short clean-up that runs to its end although a Cancel came before it or comes during
    // it (a stopped upload removes its temporary file); the Cancel holds again once every
    // clean-up has ended. After a Cancel each wait of the clean-up lasts at most 5 s.
    void BeginCleanup();
    void EndCleanup();

    // Called about every 100 ms while a transfer waits; false stops the wait (Cancelled).
    // Time spent inside it (a pause) does not count against the deadline.
    using Poll = std::function<bool()>;

    // Runs handlers until `done` becomes true. On a deadline, a cancel or a stop by `poll`
    // the operation is still pending: the caller must abort it (close its socket) and then
    // call Drain.
    [[nodiscard]] Error Run(const bool& done, Clock::time_point deadline, const Poll* poll = nullptr);

    // Runs the handlers of aborted operations so none is left holding the caller's state.
    void Drain(const bool& done);

    // Read buffers of this loop's connections. A session opens a data connection per file;
    // handing the buffer of the last one to the next spares an allocation (and the page
    // faults of fresh memory) per file.
    using Buffer = std::shared_ptr<std::vector<char>>;
    [[nodiscard]] Buffer TakeBuffer(std::size_t size);
    // Keeps `buffer` for the next TakeBuffer when nothing else holds it.
    void GiveBack(Buffer buffer);

private:
    boost::asio::io_context io_;
    Buffer spare_;
    std::atomic<bool> cancelled_ { false };
    std::mutex cancelMutex_; // Cancel against the clean-ups
    bool cancelRequested_ = false;
    int cleanups_ = 0;
    std::atomic<bool> hurried_ { false }; // a Cancel came for a clean-up in progress
};

// "60 s", "0.3 s": a time-out as a message shows it.
[[nodiscard]] std::string DescribeDuration(std::chrono::milliseconds duration);

} // namespace vorn::ftp
