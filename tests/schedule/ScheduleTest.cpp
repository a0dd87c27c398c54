#include "schedule/Schedule.h"

#include "TestTime.h"
#include "common/TimeText.h"

#include <gtest/gtest.h>

using vorn::test::At;
using vorn::test::ZoneGuard;

namespace {

struct Plan {
    const char* planMode;
    const char* plan;
    const char* hour;
    const char* minute;
    const char* dayMode;
};

struct NextTimeRow {
    const char* why;
    const char* zone;
    const char* now;
    Plan plan;
    const char* expected;
};

const NextTimeRow NextTimeRows[] = {
    { "monthly, a minute before", "UTC", "2011-04-15 09:29:59", { "1", "1015|1035|", "9", "30", "0" },
        "04/15/2011 09:30:00" },
    { "monthly, same minute is not ahead", "UTC", "2011-04-15 09:30:00", { "1", "1035|", "9", "30", "0" },
        "05/15/2011 09:30:00" },
    { "monthly, later code this month", "UTC", "2011-04-15 10:00:00", { "1", "1035|1040|", "9", "30", "0" },
        "04/20/2011 09:30:00" },
    { "day 31 of April rolls into May", "UTC", "2011-04-20 10:00:00", { "1", "1030|1051|", "9", "30", "0" },
        "05/01/2011 09:30:00" },
    { "day 30 of February 2011", "UTC", "2011-02-10 10:00:00", { "1", "1050|", "8", "0", "0" },
        "03/02/2011 08:00:00" },
    { "next month after December", "UTC", "2011-12-20 10:00:00", { "1", "1025|", "9", "30", "0" },
        "01/05/2012 09:30:00" },
    { "a piece without bar is dropped", "UTC", "2011-04-10 10:00:00", { "1", "1021|1035", "9", "30", "0" },
        "05/01/2011 09:30:00" },
    { "weekly Monday, after its time", "UTC", "2011-04-18 10:00:00", { "2", "1056|", "9", "30", "0" },
        "04/25/2011 09:30:00" },
    { "weekly Monday, before its time", "UTC", "2011-04-18 09:00:00", { "2", "1056|", "9", "30", "0" },
        "04/18/2011 09:30:00" },
    { "weekly Wed+Sun on Thursday", "UTC", "2011-04-21 10:00:00", { "2", "1058|1062|", "9", "30", "0" },
        "04/24/2011 09:30:00" },
    { "weekly Wed+Sun on Sunday late", "UTC", "2011-04-24 10:00:00", { "2", "1058|1062|", "9", "30", "0" },
        "04/27/2011 09:30:00" },
    { "weekday wrap over the year end", "UTC", "2011-12-29 10:00:00", { "2", "1057|", "6", "15", "0" },
        "01/03/2012 06:15:00" },
    { "every 2 hours keeps seconds", "UTC", "2011-04-20 23:10:45", { "3", "", "2", "0", "1" },
        "04/21/2011 01:10:45" },
    { "every 0 minutes is now", "UTC", "2011-04-20 23:10:45", { "3", "", "0", "0", "2" },
        "04/20/2011 23:10:45" },
    { "every 90 minutes", "UTC", "2011-12-31 23:00:00", { "3", "", "0", "90", "2" }, "01/01/2012 00:30:00" },
    { "fixed time ahead", "UTC", "2011-04-20 13:59:59", { "3", "", "14", "0", "3" }, "04/20/2011 14:00:00" },
    { "fixed time reached", "UTC", "2011-04-20 14:00:00", { "3", "", "14", "0", "3" },
        "04/21/2011 14:00:00" },
    { "fixed time over the year end", "UTC", "2011-12-31 15:00:00", { "3", "", "14", "0", "3" },
        "01/01/2012 14:00:00" },
    // Calendar days, not 24-hour periods: the wall-clock time survives a daylight-saving change.
    { "weekly across spring forward", "Europe/Berlin", "2011-03-25 10:00:00",
        { "2", "1062|", "9", "30", "0" }, "03/27/2011 09:30:00" },
    { "fixed across fall back", "Europe/Berlin", "2011-10-29 15:00:00", { "3", "", "9", "30", "3" },
        "10/30/2011 09:30:00" },
    { "hours are elapsed time", "Europe/Berlin", "2011-03-27 01:30:00", { "3", "", "2", "0", "1" },
        "03/27/2011 04:30:00" },
    { "no month codes", "UTC", "2011-04-20 10:00:00", { "1", "", "9", "30", "0" }, "" },
    { "no weekday codes", "UTC", "2011-04-20 10:00:00", { "2", "", "9", "30", "0" }, "" },
    { "day mode 0", "UTC", "2011-04-20 10:00:00", { "3", "", "9", "30", "0" }, "" },
    { "plan mode never set", "UTC", "2011-04-20 10:00:00", { "0", "1021|", "9", "30", "3" }, "" },
    { "plan mode 4", "UTC", "2011-04-20 10:00:00", { "4", "1021|", "9", "30", "3" }, "" },
    // Corrupt rows must not overflow the day arithmetic ("*": any time at all).
    { "huge weekday code", "UTC", "2011-04-20 10:00:00", { "2", "2147483647|", "9", "30", "0" }, "*" },
    { "negative month code", "UTC", "2011-04-20 10:00:00", { "1", "-2147483648|", "9", "30", "0" }, "*" },
};

TEST(Schedule, NextBackupTimeTable)
{
    for (const NextTimeRow& row : NextTimeRows) {
        SCOPED_TRACE(row.why);
        ZoneGuard zone(row.zone);
        const Plan& p = row.plan;
        const std::string next
            = vorn::ComputeNextBackupTime(p.planMode, p.plan, p.hour, p.minute, p.dayMode, At(row.now));
        if (std::string(row.expected) == "*")
            EXPECT_FALSE(next.empty());
        else
            EXPECT_EQ(next, row.expected);
    }
}

TEST(Schedule, WithoutNowUsesTheCurrentTime)
{
    ZoneGuard zone("UTC");
    const std::time_t before = std::time(nullptr);
    const std::string next = vorn::ComputeNextBackupTime("3", "", "0", "0", "2");
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(next == vorn::FormatLocalTime(before, "%m/%d/%Y %H:%M:%S")
        || next == vorn::FormatLocalTime(after, "%m/%d/%Y %H:%M:%S"))
        << next;
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

TEST(Schedule, DueOnDayTable)
{
    ZoneGuard zone("UTC");
    const struct {
        const char* planMode;
        const char* plan;
        const char* day;
        bool due;
    } rows[] = {
        { "1", "1051|", "2011-04-30 12:00:00", false }, // day 31 never comes in April
        { "1", "1051|", "2011-05-31 00:00:00", true },
        { "1", "1021|1051|", "2011-05-01 23:59:59", true },
        { "2", "1062|", "2011-04-24 08:00:00", true }, // a Sunday
        { "2", "1062|", "2011-04-23 08:00:00", false },
        { "2", "1056|1062", "2011-04-24 08:00:00", false }, // the Sunday piece has no bar
        { "3", "", "2011-04-23 08:00:00", true },
        { "0", "1053|", "2011-04-23 08:00:00", false },
    };
    for (const auto& row : rows)
        EXPECT_EQ(vorn::IsDueOnDay(row.planMode, row.plan, At(row.day)), row.due)
            << row.plan << " " << row.day;
}

} // namespace
