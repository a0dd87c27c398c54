#pragma once

#include "ftpclient/Error.h"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>

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

    // Runs handlers until `done` becomes true. On a deadline or a cancel the operation is
    // still pending: the caller must abort it (close its socket) and then call Drain.
    [[nodiscard]] Error Run(const bool& done, Clock::time_point deadline);

    // Runs the handlers of aborted operations so none is left holding the caller's state.
    void Drain(const bool& done);

private:
    boost::asio::io_context io_;
    std::atomic<bool> cancelled_{false};
};

} // namespace vorn::ftp
