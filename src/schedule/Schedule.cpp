#include "schedule/Schedule.h"

#include "common/DecimalText.h"
#include "common/TimeText.h"

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace vorn {

namespace {

constexpr std::int32_t MonthDayBase = 1020; // code 1021 is day 1
constexpr std::int32_t WeekdayBase = 1055; // code 1056 is Monday
constexpr const char* NextTimeFormat = "%m/%d/%Y %H:%M:%S";

// The stored plan text: every code is closed by "|"; a last piece without one is dropped.
// Kept here rather than borrowed from the store so this library reads the text on its own.
std::vector<std::int64_t> ReadPlanCodes(const std::string& text)
{
    std::vector<std::int64_t> codes;
    const std::string_view view(text);
    std::size_t start = 0;
    for (std::size_t bar = view.find('|'); bar != std::string_view::npos; bar = view.find('|', start)) {
        codes.push_back(ParseDecimal32(view.substr(start, bar - start)));
        start = bar + 1;
    }
    return codes;
}

// Monday 1 ... Sunday 7.
int Weekday(const std::tm& tm)
{
    return tm.tm_wday == 0 ? 7 : tm.tm_wday;
}

// Codes come from a text column, so a corrupt row may hold any 32-bit value; arithmetic on
// them runs in 64 bits and is clamped before it reaches the int fields of std::tm.
int ClampToInt(std::int64_t value)
{
    if (value > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (value < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return int(value);
}

// Local time of calendar day `day` of month `today.tm_mon + monthOffset` at hour:minute:00.
// mktime normalises out-of-range fields (day 31 of April is 1 May) and, with tm_isdst -1,
// picks the daylight-saving state of that day, so adding days keeps the wall-clock time.
std::string FormatDayAt(const std::tm& today, int monthOffset, std::int64_t day, int hour, int minute)
{
    std::tm tm {};
    tm.tm_year = today.tm_year;
    tm.tm_mon = today.tm_mon + monthOffset;
    tm.tm_mday = ClampToInt(day);
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    const std::time_t when = std::mktime(&tm);
    if (when == std::time_t(-1))
        return {};
    return FormatLocalTime(when, NextTimeFormat);
}

std::string NextMonthDay(
    const std::vector<std::int64_t>& codes, const std::tm& now, int hour, int minute, bool aheadToday)
{
    if (codes.empty())
        return {};
    for (const std::int64_t code : codes) {
        const std::int64_t day = code - MonthDayBase;
        if (day == now.tm_mday && aheadToday)
            return FormatDayAt(now, 0, day, hour, minute);
        if (day > now.tm_mday)
            return FormatDayAt(now, 0, day, hour, minute);
    }
    return FormatDayAt(now, 1, codes.front() - MonthDayBase, hour, minute);
}

std::string NextWeekday(
    const std::vector<std::int64_t>& codes, const std::tm& now, int hour, int minute, bool aheadToday)
{
    if (codes.empty())
        return {};
    const int today = Weekday(now);
    for (const std::int64_t code : codes) {
        const std::int64_t weekday = code - WeekdayBase;
        if (weekday == today && aheadToday)
            return FormatDayAt(now, 0, now.tm_mday, hour, minute);
        if (weekday > today)
            return FormatDayAt(now, 0, now.tm_mday + (weekday - today), hour, minute);
    }
    return FormatDayAt(now, 0, now.tm_mday + (codes.front() - WeekdayBase - today + 7), hour, minute);
}

} // namespace

std::string ComputeNextBackupTime(const std::string& planModeText, const std::string& planText,
    const std::string& hourText, const std::string& minuteText, const std::string& dayModeText,
    std::time_t now)
{
    const std::int32_t planMode = ParseDecimal32(planModeText);
    const std::int32_t hour = ParseDecimal32(hourText);
    const std::int32_t minute = ParseDecimal32(minuteText);
    const std::tm local = LocalTm(now);
    const bool aheadToday = hour > local.tm_hour || (hour == local.tm_hour && minute > local.tm_min);

    switch (planMode) {
    case 1:
        return NextMonthDay(ReadPlanCodes(planText), local, hour, minute, aheadToday);
    case 2:
        return NextWeekday(ReadPlanCodes(planText), local, hour, minute, aheadToday);
    case 3:
        switch (ParseDecimal32(dayModeText)) {
        case 1:
            return FormatLocalTime(now + std::time_t(std::int64_t(hour) * 3600), NextTimeFormat);
        case 2:
            return FormatLocalTime(now + std::time_t(std::int64_t(minute) * 60), NextTimeFormat);
        case 3:
            return FormatDayAt(local, 0, local.tm_mday + (aheadToday ? 0 : 1), hour, minute);
        default:
            return {};
        }
    default:
        return {};
    }
}

std::string ComputeNextBackupTime(const std::string& planMode, const std::string& plan,
    const std::string& hour, const std::string& minute, const std::string& dayMode)
{
    return ComputeNextBackupTime(planMode, plan, hour, minute, dayMode, std::time(nullptr));
}

std::string DescribeSchedule(const std::string& planModeText, const std::string& planText,
    const std::string& hour, const std::string& minute, const std::string& dayModeText)
{
    static constexpr const char* WeekdayNames[]
        = { "Monday", "Tuesday", "Wennesday", "Thursday", "Friday", "Saturday", "Sunday" };
    const std::int32_t planMode = ParseDecimal32(planModeText);
    if (planMode == 1 || planMode == 2) {
        const std::vector<std::int64_t> codes = ReadPlanCodes(planText);
        if (codes.empty())
            return "No backup scheme.";
        std::string text = planMode == 1 ? "Every month: " : "Every week: ";
        for (std::size_t i = 0; i < codes.size(); ++i) {
            if (i > 0)
                text += ", ";
            if (planMode == 1)
                text += std::to_string(codes[i] - MonthDayBase);
            else if (codes[i] > WeekdayBase && codes[i] <= WeekdayBase + 7)
                text += WeekdayNames[codes[i] - WeekdayBase - 1];
        }
        return text + "; " + hour + ":" + minute + " auto backup.";
    }
    if (planMode != 3)
        return {};
    switch (ParseDecimal32(dayModeText)) {
    case 1:
        return "Every day: every " + hour + " hour(s) auto backup.";
    case 2:
        return "Every day: every " + minute + " minute(s) auto backup. ";
    case 3:
        return "Every day: " + hour + ":" + minute + " auto backup.";
    default:
        return "Every day: ";
    }
}

bool IsDueOnDay(const std::string& planModeText, const std::string& planText, std::time_t now)
{
    const std::tm local = LocalTm(now);
    switch (ParseDecimal32(planModeText)) {
    case 1:
        for (const std::int64_t code : ReadPlanCodes(planText))
            if (code - MonthDayBase == local.tm_mday)
                return true;
        return false;
    case 2:
        for (const std::int64_t code : ReadPlanCodes(planText))
            if (code - WeekdayBase == Weekday(local))
                return true;
        return false;
    case 3:
        return true;
    default:
        return false;
    }
}

} // namespace vorn
