#include "ftpclient/ListingFields.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <utility>

namespace vorn::ftp::listing {

namespace {

// Time zones and clock skew: a date without a year up to this far after `now` still
// belongs to the nearer year (the server's local time may be ahead of UTC).
constexpr std::int64_t FutureAllowance = 24 * 60 * 60;

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month)
{
    static constexpr std::array<int, 12> days { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    return month == 2 && IsLeapYear(year) ? 29 : days[static_cast<std::size_t>(month - 1)];
}

bool IsCalendarDate(int year, int month, int day)
{
    return year >= 0 && year <= 9999 && month >= 1 && month <= 12 && day >= 1
        && day <= DaysInMonth(year, month);
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
std::int64_t DaysFromCivil(std::int64_t year, int month, int day)
{
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The date of a day count since 1970-01-01 (H. Hinnant's civil_from_days).
Stamp CivilFromDays(std::int64_t days)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    Stamp stamp;
    stamp.day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    stamp.month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    const std::int64_t year = yearOfEra + era * 400 + (stamp.month <= 2 ? 1 : 0);
    stamp.year = year < 0 || year > 9999 ? -1 : static_cast<int>(year);
    return stamp;
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b)
{
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

} // namespace

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::optional<std::uint64_t> ReadUnsigned(std::string_view digits)
{
    if (!AllDigits(digits))
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || ptr != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

Tokens Tokenize(std::string_view line)
{
    Tokens tokens;
    tokens.lineSize = line.size();
    std::size_t i = 0;
    while (tokens.count < MaxTokens) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i == line.size())
            break;
        const std::size_t begin = i;
        while (i < line.size() && !IsBlank(line[i]))
            ++i;
        tokens.items[tokens.count++] = { line.substr(begin, i - begin), i };
    }
    return tokens;
}
bool ReadClock(std::string_view text, Stamp& stamp)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || text.size() < colon + 3)
        return false;
    // Seconds and their fraction are read past, not kept: the stamp goes to the minute.
    const std::string_view rest = text.substr(colon + 3);
    if (!rest.empty()
        && (rest.size() < 3 || rest[0] != ':' || !AllDigits(rest.substr(1, 2))
            || (rest.size() > 3 && (rest[3] != '.' || !AllDigits(rest.substr(4))))))
        return false;
    const auto hour = ReadUnsigned(text.substr(0, colon));
    const auto minute = ReadUnsigned(text.substr(colon + 1, 2));
    if (!hour || !minute || *hour > 23 || *minute > 59)
        return false;
    stamp.hour = static_cast<int>(*hour);
    stamp.minute = static_cast<int>(*minute);
    return true;
}

std::optional<std::uint64_t> ReadSize(std::string_view text, bool approximate)
{
    if (AllDigits(text))
        return ReadUnsigned(text);
    if (text.empty() || !IsDigit(text[0]))
        return std::nullopt;
    const char last = Lower(text.back() == 'B' || text.back() == 'b' ? text[text.size() - 2] : text.back());
    const std::string_view units = "kmgt";
    if (approximate && units.find(last) != std::string_view::npos && text.size() >= 2) {
        std::string number(text.substr(0, text.find_first_not_of("0123456789.,")));
        if (number.size() + (text.back() == 'B' || text.back() == 'b' ? 2 : 1) != text.size())
            return std::nullopt;
        std::replace(number.begin(), number.end(), ',', '.');
        if (std::count(number.begin(), number.end(), '.') > 1 || number.back() == '.')
            return std::nullopt;
        const double value = std::strtod(number.c_str(), nullptr)
            * std::pow(1024.0, static_cast<double>(units.find(last) + 1));
        return value < 9.0e18 ? std::optional(static_cast<std::uint64_t>(std::llround(value))) : std::nullopt;
    }
    // Thousands separators: one kind, groups of three after the first.
    const std::size_t firstGroup = text.find_first_not_of("0123456789");
    const char separator = text[firstGroup];
    if (firstGroup > 3 || (separator != ',' && separator != '.' && separator != '\''))
        return std::nullopt;
    std::string digits(text.substr(0, firstGroup));
    for (std::size_t at = firstGroup; at < text.size(); at += 4) {
        if (text[at] != separator || at + 4 > text.size() || !AllDigits(text.substr(at + 1, 3)))
            return std::nullopt;
        digits += text.substr(at + 1, 3);
    }
    return ReadUnsigned(digits);
}

std::string FormatStamp(const Stamp& stamp)
{
    if (!IsCalendarDate(stamp.year, stamp.month, stamp.day))
        return {};
    char text[16];
    auto put2 = [&](std::size_t at, int value) {
        text[at] = static_cast<char>('0' + value / 10);
        text[at + 1] = static_cast<char>('0' + value % 10);
    };
    put2(0, stamp.year / 100);
    put2(2, stamp.year % 100);
    put2(4, stamp.month);
    put2(6, stamp.day);
    if (stamp.hour < 0)
        return std::string(text, 8);
    put2(8, stamp.hour);
    text[10] = ':';
    put2(11, stamp.minute);
    return std::string(text, 13);
}

// Listings give "Mar 15 14:25" for recent files: the year is the latest one that puts the
// date no later than `now` (plus the allowance). Feb 29 may go back several years.
int InferYear(const Stamp& stamp, std::time_t now)
{
    const std::int64_t seconds = static_cast<std::int64_t>(now);
    const std::int64_t latest = seconds > INT64_MAX - FutureAllowance ? INT64_MAX : seconds + FutureAllowance;
    const std::int64_t thisYear = CivilFromDays(FloorDiv(seconds, 86400)).year;
    if (thisYear < 0)
        return -1;
    const int hour = std::max(stamp.hour, 0);
    for (std::int64_t year = thisYear + 1; year >= thisYear - 8; --year) {
        if (year < 0 || year > 9999 || !IsCalendarDate(static_cast<int>(year), stamp.month, stamp.day))
            continue;
        const std::int64_t when
            = DaysFromCivil(year, stamp.month, stamp.day) * 86400 + hour * 3600 + stamp.minute * 60;
        if (when <= latest)
            return static_cast<int>(year);
    }
    return -1;
}

Stamp StampFromEpoch(std::int64_t seconds)
{
    Stamp stamp = CivilFromDays(FloorDiv(seconds, 86400));
    const std::int64_t ofDay = seconds - FloorDiv(seconds, 86400) * 86400;
    stamp.hour = static_cast<int>(ofDay / 3600);
    stamp.minute = static_cast<int>(ofDay % 3600 / 60);
    return stamp;
}

} // namespace vorn::ftp::listing
