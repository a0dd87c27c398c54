#pragma once

#include <ctime>

namespace vorn {

// Source of the current time for the scheduler, so tests can move time by hand.
// Now() may be called from any thread.
class Clock {
public:
    virtual ~Clock() = default;
    [[nodiscard]] virtual std::time_t Now() const = 0;
};

class SystemClock final : public Clock {
public:
    [[nodiscard]] std::time_t Now() const override { return std::time(nullptr); }
};

} // namespace vorn
