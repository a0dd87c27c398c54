#include "ftpclient/IoLoop.h"

#include <boost/asio/post.hpp>

namespace vorn::ftp {

void IoLoop::Cancel()
{
    cancelled_ = true;
    // Wakes a thread blocked in run_one_until at once instead of at its deadline.
    boost::asio::post(io_, [] {});
}

Error IoLoop::Run(const bool& done, Clock::time_point deadline)
{
    while (!done) {
        if (cancelled_)
            return {Error::Code::Cancelled, "The operation was cancelled."};
        if (Clock::now() >= deadline)
            return {Error::Code::TimedOut, "timed out"};
        if (io_.stopped())
            io_.restart();
        io_.run_one_until(deadline);
    }
    return {};
}

void IoLoop::Drain(const bool& done)
{
    // Aborted operations complete at once; the bound only guards against a library fault.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done && Clock::now() < deadline) {
        if (io_.stopped())
            io_.restart();
        io_.run_one_until(deadline);
    }
}

} // namespace vorn::ftp
