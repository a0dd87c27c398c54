#include "ftpclient/Listing.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

namespace vorn::ftp {

namespace {

// Time zones and clock skew: a date without a year up to this far after `now` still
// belongs to the nearer year (the server's local time may be ahead of UTC).
constexpr std::int64_t FutureAllowance = 24 * 60 * 60;

// IIS pads "<DIR>" with ten blanks to the width of its size column.
constexpr std::size_t DirColumnPadding = 10;

constexpr std::array<std::string_view, 12> MonthNames { "jan", "feb", "mar", "apr", "may", "jun", "jul",
    "aug", "sep", "oct", "nov", "dec" };

struct Token {
    std::string_view text;
    std::size_t end = 0; // index just after the token in its line
};

// Enough to reach the date of any listing form; the name after it is cut out by position.
constexpr std::size_t MaxTokens = 12;

struct Tokens {
    std::array<Token, MaxTokens> items;
    std::size_t count = 0;
};

struct Stamp {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = -1; // -1: the date only
    int minute = 0;
};

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

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

// One line end only: a name may itself end in CR (macOS "Icon\r").
std::string_view StripLineEnd(std::string_view line)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

template <typename Number> std::optional<Number> ReadNumber(std::string_view digits)
{
    if (!AllDigits(digits))
        return std::nullopt;
    Number value {};
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || ptr != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

// A size as canonical decimal text; "" when it is not a 64-bit count.
std::string SizeText(std::string_view digits)
{
    const auto value = ReadNumber<std::uint64_t>(digits);
    return value ? std::to_string(*value) : std::string();
}

Tokens Tokenize(std::string_view line)
{
    Tokens tokens;
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

// The year of a UTC time (H. Hinnant's civil_from_days, year only).
std::int64_t YearOf(std::time_t now)
{
    std::int64_t days = static_cast<std::int64_t>(now) / 86400;
    if (static_cast<std::int64_t>(now) % 86400 < 0)
        --days;
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    return yearOfEra + era * 400 + (shiftedMonth >= 10 ? 1 : 0);
}

// "YYYYMMDD", then "hh:mm" when the time of day is known; "" for an impossible date.
std::string FormatStamp(const Stamp& stamp)
{
    if (!IsCalendarDate(stamp.year, stamp.month, stamp.day))
        return {};
    char text[16];
    const bool withTime = stamp.hour >= 0;
    auto put2 = [&](std::size_t at, int value) {
        text[at] = static_cast<char>('0' + value / 10);
        text[at + 1] = static_cast<char>('0' + value % 10);
    };
    put2(0, stamp.year / 100);
    put2(2, stamp.year % 100);
    put2(4, stamp.month);
    put2(6, stamp.day);
    if (!withTime)
        return std::string(text, 8);
    put2(8, stamp.hour);
    text[10] = ':';
    put2(11, stamp.minute);
    return std::string(text, 13);
}

// Listings give "Mar 15 14:25" for recent files: the year is the latest one that puts the
// date no later than `now` (plus the allowance). Feb 29 may go back several years.
std::optional<int> InferYear(const Stamp& stamp, std::time_t now)
{
    const std::int64_t seconds = static_cast<std::int64_t>(now);
    const std::int64_t latest = seconds > INT64_MAX - FutureAllowance ? INT64_MAX : seconds + FutureAllowance;
    const std::int64_t thisYear = YearOf(now);
    for (std::int64_t year = thisYear + 1; year >= thisYear - 8; --year) {
        if (year < 0 || year > 9999 || !IsCalendarDate(static_cast<int>(year), stamp.month, stamp.day))
            continue;
        const std::int64_t when
            = DaysFromCivil(year, stamp.month, stamp.day) * 86400 + stamp.hour * 3600 + stamp.minute * 60;
        if (when <= latest)
            return static_cast<int>(year);
    }
    return std::nullopt;
}

int MonthFromName(std::string_view name)
{
    for (std::size_t i = 0; i < MonthNames.size(); ++i) {
        if (EqualsNoCase(name, MonthNames[i]))
            return static_cast<int>(i) + 1;
    }
    return 0;
}

// "14:25" or "9:05" into the stamp; false when it is not a time of day.
bool ReadClock(std::string_view text, Stamp& stamp)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || text.size() != colon + 3)
        return false;
    const auto hour = ReadNumber<int>(text.substr(0, colon));
    const auto minute = ReadNumber<int>(text.substr(colon + 1));
    if (!hour || !minute || *hour > 23 || *minute > 59)
        return false;
    stamp.hour = *hour;
    stamp.minute = *minute;
    return true;
}

std::optional<sf::Info> MakeEntry(std::string_view name, bool isFile, std::string size, std::string time)
{
    // "." and ".." are the folder itself and its parent, not entries of it. NUL and a line
    // break cannot stand in a name of a line-based listing: the line is broken.
    if (name.empty() || name == "." || name == ".."
        || name.find_first_of(std::string_view("\0\n", 2)) != std::string_view::npos)
        return std::nullopt;
    return sf::Info { std::string(name), isFile, std::move(size), std::move(time) };
}

// modify=YYYYMMDDHHMMSS[.sss] (UTC) into "YYYYMMDDhh:mm"; "" when malformed.
std::string MlsdTime(std::string_view value)
{
    if (value.size() < 14 || !AllDigits(value.substr(0, 14)))
        return {};
    if (value.size() > 14 && (value[14] != '.' || !AllDigits(value.substr(15))))
        return {};
    const auto number
        = [&](std::size_t at, std::size_t length) { return *ReadNumber<int>(value.substr(at, length)); };
    const Stamp stamp { number(0, 4), number(4, 2), number(6, 2), number(8, 2), number(10, 2) };
    if (stamp.hour > 23 || stamp.minute > 59 || number(12, 2) > 60)
        return {};
    return FormatStamp(stamp);
}

bool IsUnixPermissions(std::string_view text)
{
    if (text.size() < 10)
        return false;
    return std::all_of(text.begin() + 1, text.begin() + 10,
        [](char c) { return std::string_view("rwxsStTlL-").find(c) != std::string_view::npos; });
}

// Where the date sits in a Unix line, and what it says.
struct UnixDate {
    std::size_t sizeIndex = 0;
    std::size_t lastIndex = 0; // token that ends the date; the name follows it
    Stamp stamp;
    bool hasYear = false;
};

// "Mar 15 14:25", "Mar 15  2012" or ISO "2012-03-15 14:25" starting at token i.
std::optional<UnixDate> ReadUnixDate(const Tokens& tokens, std::size_t i)
{
    const auto& t = tokens.items;
    UnixDate date;
    date.sizeIndex = i - 1;
    if (const int month = MonthFromName(t[i].text); month != 0 && i + 2 < tokens.count) {
        const auto day = ReadNumber<int>(t[i + 1].text);
        if (!day || *day < 1 || *day > 31 || t[i + 1].text.size() > 2)
            return std::nullopt;
        date.stamp.month = month;
        date.stamp.day = *day;
        date.lastIndex = i + 2;
        const std::string_view last = t[i + 2].text;
        if (last.size() == 4 && AllDigits(last)) {
            date.stamp.year = *ReadNumber<int>(last);
            date.hasYear = true;
            // A group such as "1" before a size such as "1234" is no date.
            return date.stamp.year >= 1900 ? std::optional(date) : std::nullopt;
        }
        return ReadClock(last, date.stamp) ? std::optional(date) : std::nullopt;
    }
    const std::string_view iso = t[i].text;
    if (iso.size() == 10 && iso[4] == '-' && iso[7] == '-' && i + 1 < tokens.count) {
        const auto year = ReadNumber<int>(iso.substr(0, 4));
        const auto month = ReadNumber<int>(iso.substr(5, 2));
        const auto day = ReadNumber<int>(iso.substr(8, 2));
        if (!year || !month || !day || *month < 1 || *month > 12 || *day < 1 || *day > 31)
            return std::nullopt;
        date.stamp = { *year, *month, *day };
        date.hasYear = true;
        date.lastIndex = i + 1;
        return ReadClock(t[i + 1].text, date.stamp) ? std::optional(date) : std::nullopt;
    }
    return std::nullopt;
}

// "-rw-r--r-- 1 owner group 1234 Mar 15 14:25 name". Owner and group may be missing; the
// date is found as the first month (or ISO date) right after a number, the size.
std::optional<sf::Info> ParseUnixLine(std::string_view line, std::time_t now)
{
    const Tokens tokens = Tokenize(line);
    if (tokens.count < 4 || !IsUnixPermissions(tokens.items[0].text))
        return std::nullopt;
    const char type = tokens.items[0].text[0];
    if (type != '-' && type != 'd' && type != 'l')
        return std::nullopt; // devices, pipes and sockets cannot be backed up

    // The usual place first (perms, links, owner, group, size), so an owner named like a
    // month cannot pass for the date; then the first date after a number, from the left.
    const auto dateAt = [&](std::size_t i) -> std::optional<UnixDate> {
        if (i < 2 || i + 1 >= tokens.count || !ReadNumber<std::uint64_t>(tokens.items[i - 1].text))
            return std::nullopt;
        return ReadUnixDate(tokens, i);
    };
    std::optional<UnixDate> date = dateAt(5);
    for (std::size_t i = 2; i + 1 < tokens.count && !date; ++i)
        date = dateAt(i);
    if (!date)
        return std::nullopt;
    if (!date->hasYear) {
        const std::optional<int> year = InferYear(date->stamp, now);
        date->stamp.year = year.value_or(-1);
    }

    // ls puts one blank after the date; any further blanks belong to the name.
    const std::size_t dateEnd = tokens.items[date->lastIndex].end;
    if (dateEnd >= line.size())
        return std::nullopt;
    std::string_view name = line.substr(dateEnd + 1);
    std::string size = SizeText(tokens.items[date->sizeIndex].text);
    if (type == 'l') {
        // A link is fetched as the file it points to; its listed size is the length of
        // the target's path, not of that file, so the size is unknown.
        name = name.substr(0, name.find(" -> "));
        size.clear();
    }
    return MakeEntry(name, type != 'd', std::move(size), FormatStamp(date->stamp));
}

// "03-15-12  02:25PM       <DIR>          name" or "...  1234 name" as IIS writes it; also
// four-digit years and 24-hour times.
std::optional<sf::Info> ParseDosLine(std::string_view line)
{
    const Tokens tokens = Tokenize(line);
    if (tokens.count < 4)
        return std::nullopt;
    const auto& t = tokens.items;

    const std::string_view date = t[0].text;
    if ((date.size() != 8 && date.size() != 10) || date[2] != date[5] || (date[2] != '-' && date[2] != '/'))
        return std::nullopt;
    const auto month = ReadNumber<int>(date.substr(0, 2));
    const auto day = ReadNumber<int>(date.substr(3, 2));
    const auto year = ReadNumber<int>(date.substr(6));
    if (!month || !day || !year || *month < 1 || *month > 12 || *day < 1 || *day > 31)
        return std::nullopt;
    Stamp stamp { *year, *month, *day };
    if (date.size() == 8)
        stamp.year += *year < 70 ? 2000 : 1900;

    // The time, with AM/PM attached ("02:25PM") or as a token of its own ("02:25 PM").
    std::string_view clock = t[1].text;
    std::string_view half;
    std::size_t next = 2;
    if (clock.size() >= 2
        && (EqualsNoCase(clock.substr(clock.size() - 2), "AM")
            || EqualsNoCase(clock.substr(clock.size() - 2), "PM"))) {
        half = clock.substr(clock.size() - 2);
        clock.remove_suffix(2);
    } else if (EqualsNoCase(t[2].text, "AM") || EqualsNoCase(t[2].text, "PM")) {
        half = t[2].text;
        next = 3;
    }
    if (!ReadClock(clock, stamp) || next >= tokens.count)
        return std::nullopt;
    if (!half.empty()) {
        if (stamp.hour < 1 || stamp.hour > 12)
            return std::nullopt;
        // 12:xxAM is just after midnight, 12:xxPM just after noon.
        stamp.hour = stamp.hour % 12 + (EqualsNoCase(half, "PM") ? 12 : 0);
    }

    const Token& column = t[next];
    const bool isFolder = EqualsNoCase(column.text, "<DIR>");
    std::string size;
    if (!isFolder) {
        if (!ReadNumber<std::uint64_t>(column.text))
            return std::nullopt;
        size = SizeText(column.text);
    }
    // The name starts after the size column. IIS right-aligns sizes, so one blank
    // separates a size from the name, and it pads "<DIR>" with ten blanks; blanks beyond
    // those belong to the name. With shorter padding all blanks are separators.
    std::size_t nameStart = column.end;
    std::size_t blanks = 0;
    while (nameStart < line.size() && IsBlank(line[nameStart])) {
        ++nameStart;
        ++blanks;
    }
    if (blanks == 0)
        return std::nullopt;
    const std::size_t separator = isFolder ? std::min(blanks, DirColumnPadding) : 1;
    return MakeEntry(line.substr(column.end + separator), !isFolder, std::move(size), FormatStamp(stamp));
}

} // namespace

std::optional<sf::Info> ParseMlsdLine(std::string_view line)
{
    line = StripLineEnd(line);
    // Facts contain no blanks: the first blank ends them and the name is all that follows.
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return std::nullopt;
    std::string_view facts = line.substr(0, space);
    std::optional<bool> isFile;
    std::string size;
    std::string time;
    while (!facts.empty()) {
        const std::size_t end = facts.find(';');
        const std::string_view fact = facts.substr(0, end);
        facts = end == std::string_view::npos ? std::string_view() : facts.substr(end + 1);
        const std::size_t equals = fact.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view key = fact.substr(0, equals);
        const std::string_view value = fact.substr(equals + 1);
        if (EqualsNoCase(key, "type")) {
            if (EqualsNoCase(value, "file"))
                isFile = true;
            else if (EqualsNoCase(value, "dir"))
                isFile = false;
            else
                return std::nullopt; // cdir, pdir, OS.unix=slink:..., devices
        } else if (EqualsNoCase(key, "size")) {
            size = SizeText(value);
        } else if (EqualsNoCase(key, "modify")) {
            time = MlsdTime(value);
        }
    }
    if (!isFile)
        return std::nullopt;
    return MakeEntry(line.substr(space + 1), *isFile, std::move(size), std::move(time));
}

std::optional<sf::Info> ParseListLine(std::string_view line, std::time_t now)
{
    line = StripLineEnd(line);
    if (line.empty())
        return std::nullopt;
    return IsDigit(line[0]) ? ParseDosLine(line) : ParseUnixLine(line, now);
}

bool IsSafeEntryName(std::string_view name)
{
#ifdef _WIN32
    // Windows reads "\\" as a separator too, and refuses these characters in names.
    constexpr std::string_view refused("/\\\0<>:\"|?*", 10);
#else
    // Anything but "/" and NUL is an ordinary character in a POSIX name, "\\" included.
    constexpr std::string_view refused("/\0", 2);
#endif
    return !name.empty() && name != "." && name != ".."
        && name.find_first_of(refused) == std::string_view::npos;
}

} // namespace vorn::ftp
