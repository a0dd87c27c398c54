#include "common/TimeText.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(TimeText, FormatsLocalTimeInTheGivenZone)
{
    setenv("TZ", "UTC", 1);
    tzset();
    // 2012-03-05 19:05:09 UTC
    const std::time_t when = 1330974309;
    EXPECT_EQ(vorn::FormatLocalTime(when, "%m/%d/%Y %H:%M:%S"), "03/05/2012 19:05:09");
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    EXPECT_EQ(vorn::FormatLocalTime(when, "%Y-%m-%d %H:%M:%S"), "2012-03-06 03:05:09");
    unsetenv("TZ");
    tzset();
}
