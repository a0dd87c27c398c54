#pragma once

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace vorn::test {

// Every test that reads local time names its zone first, so no test depends on the machine's.
inline void UseZone(const char* zone)
{
    setenv("TZ", zone, 1);
    tzset();
}

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
