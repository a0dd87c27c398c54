#pragma once

#include "support/ScopedZone.h"

#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace vorn::test {

// Every test that reads local time names its zone first (a ScopedZone), so no test depends
// on the machine's. Zones with daylight saving, as POSIX rules (no zone files needed):
inline constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";

// "YYYY-MM-DD HH:MM:SS" read as local time of the current zone.
inline std::time_t At(const std::string& text)
{
    std::tm tm {};
    const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
    EXPECT_TRUE(end != nullptr && *end == '\0') << text;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

} // namespace vorn::test
