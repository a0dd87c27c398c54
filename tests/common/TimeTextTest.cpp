#include "common/TimeText.h"

#include "support/ScopedZone.h"

#include <cstdlib>
#include <gtest/gtest.h>

TEST(TimeText, FormatsLocalTimeInTheGivenZone)
{
    // 2012-03-05 19:05:09 UTC
    const std::time_t when = 1330974309;
    {
        const vorn::test::ScopedZone zone("UTC0");
        EXPECT_EQ(vorn::FormatLocalTime(when, "%m/%d/%Y %H:%M:%S"), "03/05/2012 19:05:09");
    }
    const vorn::test::ScopedZone zone("CST-8");
    EXPECT_EQ(vorn::FormatLocalTime(when, "%Y-%m-%d %H:%M:%S"), "2012-03-06 03:05:09");
}
