#pragma once

#include <optional>
#include <string>

namespace vorn::test {

// Sets the time zone (TZ) for the life of the object and puts back what was there, also
// when a test fails half-way: the zone is process-wide and the next test must not inherit it.
// Give zones as POSIX rules ("JST-9", "CET-1CEST,M3.5.0,M10.5.0/3"): they need no zone files,
// so a missing tzdata package cannot quietly turn them into UTC.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone);
    ~ScopedZone();
    ScopedZone(const ScopedZone&) = delete;
    ScopedZone& operator=(const ScopedZone&) = delete;

private:
    std::optional<std::string> previous_;
};

} // namespace vorn::test
