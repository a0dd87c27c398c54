#include "schedule/Schedule.h"

#include "TestTime.h"

#include <gtest/gtest.h>

using vorn::test::At;
using vorn::test::kBerlin;
using vorn::test::ScopedZone;

namespace {

struct Plan {
    const char* planMode;
    const char* plan;
    const char* hour;
    const char* minute;
    const char* dayMode;
};

TEST(Schedule, NextBackupTimeTable)
{
    const struct {
        const char* zone;
        const char* now;
        Plan plan;
        const char* expected; // "*": any time at all
    } rows[] = {
        { "UTC0", "2011-04-15 09:29:59", { "1", "1015|1035|", "9", "30", "0" }, "04/15/2011 09:30:00" },
        { "UTC0", "2011-04-15 09:30:00", { "1", "1035|", "9", "30", "0" }, "05/15/2011 09:30:00" },
        { "UTC0", "2011-04-20 10:00:00", { "1", "1030|1051|", "9", "30", "0" }, "05/01/2011 09:30:00" },
        { "UTC0", "2011-02-10 10:00:00", { "1", "1050|", "8", "0", "0" }, "03/02/2011 08:00:00" },
        { "UTC0", "2011-12-20 10:00:00", { "1", "1025|", "9", "30", "0" }, "01/05/2012 09:30:00" },
        { "UTC0", "2011-04-18 10:00:00", { "2", "1056|", "9", "30", "0" }, "04/25/2011 09:30:00" }, // Monday
        { "UTC0", "2011-04-21 10:00:00", { "2", "1058|1062|", "9", "30", "0" }, "04/24/2011 09:30:00" },
        { "UTC0", "2011-04-24 10:00:00", { "2", "1058|1062|", "9", "30", "0" }, "04/27/2011 09:30:00" },
        { "UTC0", "2011-12-29 10:00:00", { "2", "1057|", "6", "15", "0" }, "01/03/2012 06:15:00" },
        { "UTC0", "2011-04-20 23:10:45", { "3", "", "2", "0", "1" }, "04/21/2011 01:10:45" },
        { "UTC0", "2011-04-20 23:10:45", { "3", "", "0", "0", "2" }, "04/20/2011 23:10:45" },
        { "UTC0", "2011-04-20 13:59:59", { "3", "", "14", "0", "3" }, "04/20/2011 14:00:00" },
        { "UTC0", "2011-04-20 14:00:00", { "3", "", "14", "0", "3" }, "04/21/2011 14:00:00" },
        // Calendar days, not 24-hour periods: the wall-clock time survives a daylight-saving
        // change; hour intervals are elapsed time.
        { kBerlin, "2011-03-25 10:00:00", { "2", "1062|", "9", "30", "0" }, "03/27/2011 09:30:00" },
        { kBerlin, "2011-10-29 15:00:00", { "3", "", "9", "30", "3" }, "10/30/2011 09:30:00" },
        { kBerlin, "2011-03-27 01:30:00", { "3", "", "2", "0", "1" }, "03/27/2011 04:30:00" },
        { "UTC0", "2011-04-20 10:00:00", { "1", "", "9", "30", "0" }, "" },
        { "UTC0", "2011-04-20 10:00:00", { "2", "1056", "9", "30", "0" }, "" },
        { "UTC0", "2011-04-20 10:00:00", { "3", "", "9", "30", "0" }, "" },
        { "UTC0", "2011-04-20 10:00:00", { "0", "1021|", "9", "30", "3" }, "" },
        // Corrupt rows must not overflow the day arithmetic.
        { "UTC0", "2011-04-20 10:00:00", { "2", "2147483647|", "9", "30", "0" }, "*" },
        { "UTC0", "2011-04-20 10:00:00", { "1", "-2147483648|", "9", "30", "0" }, "*" },
    };
    for (const auto& row : rows) {
        const ScopedZone zone(row.zone);
        const Plan& p = row.plan;
        const std::string next
            = vorn::ComputeNextBackupTime(p.planMode, p.plan, p.hour, p.minute, p.dayMode, At(row.now));
        if (std::string(row.expected) == "*")
            EXPECT_FALSE(next.empty()) << row.now << " " << p.plan;
        else
            EXPECT_EQ(next, row.expected) << row.now << " " << p.plan;
    }
}

TEST(Schedule, DescriptionTable)
{
    const struct {
        Plan plan;
        const char* expected;
    } rows[] = {
        { { "1", "1021|1035|1051|", "9", "30", "0" }, "Every month: 1, 15, 31; 9:30 auto backup." },
        { { "2", "1056|1058|1062|", "22", "0", "0" },
            "Every week: Monday, Wennesday, Sunday; 22:0 auto backup." },
        { { "2", "1057|1099|", "8", "5", "0" }, "Every week: Tuesday, ; 8:5 auto backup." },
        { { "1", "", "8", "30", "0" }, "No backup scheme." },
        { { "2", "1056", "8", "30", "0" }, "No backup scheme." },
        { { "3", "", "2", "30", "1" }, "Every day: every 2 hour(s) auto backup." },
        { { "3", "", "2", "15", "2" }, "Every day: every 15 minute(s) auto backup. " },
        { { "3", "", "9", "5", "3" }, "Every day: 9:5 auto backup." },
        { { "3", "", "9", "5", "0" }, "Every day: " },
        { { "0", "1021|", "9", "5", "3" }, "" },
    };
    for (const auto& row : rows) {
        const Plan& p = row.plan;
        EXPECT_EQ(vorn::DescribeSchedule(p.planMode, p.plan, p.hour, p.minute, p.dayMode), row.expected);
    }
}

} // namespace
