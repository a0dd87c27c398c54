#pragma once

#include <ctime>
#include <string>

namespace vorn {

// Local wall-clock time of `when` formatted with strftime conversions (for example
// "%m/%d/%Y %H:%M:%S"). Uses localtime_r, so it is safe on any thread.
[[nodiscard]] std::string FormatLocalTime(std::time_t when, const char* format);

// The same for the current time.
[[nodiscard]] std::string FormatLocalNow(const char* format);

// Broken-down local time of `when` (thread-safe).
[[nodiscard]] std::tm LocalTm(std::time_t when);

} // namespace vorn
