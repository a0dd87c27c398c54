#pragma once

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace vorn::test {

// Sets TZ for the lifetime of the guard and restores the previous value afterwards, so a
// zone chosen by one test never leaks into the next.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) {
            hadOld_ = true;
            old_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (hadOld_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

private:
    bool hadOld_ = false;
    std::string old_;
};

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
