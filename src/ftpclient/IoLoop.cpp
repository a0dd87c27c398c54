#include "ftpclient/IoLoop.h"

#include <boost/asio/post.hpp>
#include <cstdio>

namespace vorn::ftp {

namespace {

// How long each wait of a clean-up may last once a Cancel came.
constexpr std::chrono::seconds kCleanupWait { 5 };

} // namespace

void IoLoop::Cancel()
{
    {
        const std::lock_guard lock(cancelMutex_);
        cancelRequested_ = true;
        if (cleanups_ == 0)
            cancelled_ = true;
        else
            hurried_ = true;
    }
    // Wakes a thread blocked in run_one_until at once instead of at its deadline.
    boost::asio::post(io_, [] {});
}

void IoLoop::BeginCleanup()
{
    const std::lock_guard lock(cancelMutex_);
    ++cleanups_;
    cancelled_ = false;
    hurried_ = cancelRequested_;
}

void IoLoop::EndCleanup()
{
    const std::lock_guard lock(cancelMutex_);
    if (--cleanups_ == 0 && cancelRequested_) {
        cancelled_ = true;
        hurried_ = false;
    }
}

Error IoLoop::Run(const bool& done, Clock::time_point deadline, const Poll* poll)
{
    constexpr auto pollEvery = std::chrono::milliseconds(100);
    auto nextPoll = Clock::now() + pollEvery;
    bool shortened = false;
    while (!done) {
        if (cancelled_)
            return { Error::Code::Cancelled, "The operation was cancelled." };
        const auto now = Clock::now();
        if (hurried_ && !shortened) {
            deadline = std::min(deadline, now + kCleanupWait);
            shortened = true;
        }
        if (now >= deadline)
            return { Error::Code::TimedOut, "timed out" };
        if (poll && *poll && now >= nextPoll) {
            const auto before = now;
            if (!(*poll)())
                return { Error::Code::Cancelled, "The transfer was stopped." };
            const auto after = Clock::now();
            deadline += after - before;
            nextPoll = after + pollEvery;
            continue;
        }
        if (io_.stopped())
            io_.restart();
        io_.run_one_until(poll && *poll ? std::min(deadline, nextPoll) : deadline);
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

IoLoop::Buffer IoLoop::TakeBuffer(std::size_t size)
{
    if (spare_ && spare_->size() == size)
        return std::move(spare_);
    return std::make_shared<std::vector<char>>(size);
}

void IoLoop::GiveBack(Buffer buffer)
{
    if (buffer && buffer.use_count() == 1)
        spare_ = std::move(buffer);
}

std::string DescribeDuration(std::chrono::milliseconds duration)
{
    char text[32];
    const double seconds = static_cast<double>(duration.count()) / 1000.0;
    const bool whole = duration.count() % 1000 == 0;
    std::snprintf(text, sizeof text, whole ? "%.0f s" : "%.1f s", seconds);
    return text;
}

} // namespace vorn::ftp
