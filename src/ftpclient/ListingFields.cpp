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

// Month names in lower case, in English, German, French, Spanish, Italian and Dutch (UTF-8,
// and the Latin-1 spellings old servers send). A token names a month when it is one of these
// or a prefix of at least three letters that only names of one month share ("sept", "juil",
// "févr", "Okt").
constexpr std::string_view MonthNames[12] = {
    "january januar janvier enero gennaio januari jänner j\xe4nner",
    "february februar février f\xe9vrier fevrier febrero febbraio februari",
    "march märz m\xe4rz mrz mars marzo maart mrt",
    "april avril abril aprile",
    "may mai mayo maggio mei",
    "june juni juin junio giugno",
    "july juli juillet julio luglio",
    "august août ao\xfbt aout agosto augustus",
    "september septembre septiembre setiembre settembre",
    "october oktober octobre octubre ottobre",
    "november novembre noviembre",
    "december dezember décembre d\351cembre decembre diciembre dicembre",
};

// What follows the number of a CJK date part: 年/년 (year), 月/월 (month), 日/일 (day) in
// UTF-8, then the same in Shift_JIS, EUC-JP, GBK, Big5 and EUC-KR.
enum class Mark { None, Year, Month, Day, Unknown };
constexpr std::pair<Mark, std::string_view> CjkMarks[] = {
    { Mark::Year, "年 년 \x94\x4e \xc7\xaf \xc4\xea \xa6\x7e \xb3\xe2" },
    { Mark::Month, "月 월 \x8c\x8e \xb7\xee \xd4\xc2 \xa4\xeb \xbf\xf9" },
    { Mark::Day, "日 일 \x93\xfa \xc6\xfc \xc8\xd5 \xa4\xe9 \xc0\xcf" },
};

// Calls `visit` with each blank-separated word of `list` until it returns true.
template <typename Visit> bool AnyWord(std::string_view list, Visit visit)
{
    while (!list.empty()) {
        const std::size_t blank = list.find(' ');
        if (visit(list.substr(0, blank)))
            return true;
        list = blank == std::string_view::npos ? std::string_view() : list.substr(blank + 1);
    }
    return false;
}

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

int Characters(std::string_view text)
{
    return static_cast<int>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

struct DayToken {
    int day = 0;
    char mark = 0; // '.' or ',' when one follows the number
};

std::optional<DayToken> ReadDay(std::string_view text)
{
    DayToken day;
    if (!text.empty() && (text.back() == '.' || text.back() == ',')) {
        day.mark = text.back();
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 2)
        return std::nullopt;
    const auto value = ReadUnsigned(text);
    if (!value || *value < 1 || *value > 31)
        return std::nullopt;
    day.day = static_cast<int>(*value);
    return day;
}

// Four digits from 1900 on: a group such as "1" before a size such as "1234" is no year.
std::optional<int> ReadYear(std::string_view text)
{
    if (!text.empty() && text.back() == ',')
        text.remove_suffix(1);
    if (text.size() != 4 || !AllDigits(text))
        return std::nullopt;
    const int year = static_cast<int>(*ReadUnsigned(text));
    return year >= 1900 ? std::optional(year) : std::nullopt;
}

// Whether token `i` exists and a name can follow it.
bool HasTextAfter(const Tokens& tokens, std::size_t i)
{
    return i < tokens.count && tokens.items[i].end + 1 < tokens.lineSize;
}

// The year or time of day that closes a date at token `i`. After "Oct 08, 2002" a time of
// day may follow the year.
bool ReadTail(const Tokens& tokens, std::size_t i, DateMatch& date, bool timeAfterYear)
{
    std::string_view text = tokens[i];
    if (!text.empty() && text.back() == ',')
        text.remove_suffix(1);
    date.last = i;
    if (ReadClock(text, date.stamp))
        return true;
    const auto year = ReadYear(text);
    if (!year)
        return false;
    date.stamp.year = *year;
    date.hasYear = true;
    if (timeAfterYear && HasTextAfter(tokens, i + 1) && ReadClock(tokens[i + 1], date.stamp))
        date.last = i + 1;
    return true;
}

// Which of two numbers is the day: the one above 12 when there is one, else the usual order.
bool OrderDayAndMonth(int first, int second, bool monthFirst, Stamp& stamp)
{
    if (first > 12 && second > 12)
        return false;
    if (first > 12)
        monthFirst = false;
    else if (second > 12)
        monthFirst = true;
    stamp.month = monthFirst ? first : second;
    stamp.day = monthFirst ? second : first;
    return stamp.month >= 1 && stamp.day >= 1 && stamp.day <= 31;
}

// "Mar 15 14:25", "Mar 15  2012", "Oct 08, 2002 09:47"
std::optional<DateMatch> MonthFirst(const Tokens& tokens, std::size_t i)
{
    DateMatch date;
    date.stamp.month = MonthFromName(tokens[i]);
    const auto day = date.stamp.month ? ReadDay(tokens[i + 1]) : std::nullopt;
    if (!day || day->mark == '.')
        return std::nullopt;
    date.stamp.day = day->day;
    return ReadTail(tokens, i + 2, date, day->mark == ',') ? std::optional(date) : std::nullopt;
}

// "26. Juli, 20:10", "2.   Okt.  2003", "01 oct 2004", "15 mars 14:25"
std::optional<DateMatch> DayFirst(const Tokens& tokens, std::size_t i)
{
    const auto day = ReadDay(tokens[i]);
    if (!day || day->mark == ',')
        return std::nullopt;
    DateMatch date;
    date.stamp.day = day->day;
    date.stamp.month = MonthFromName(tokens[i + 1]);
    return date.stamp.month && ReadTail(tokens, i + 2, date, false) ? std::optional(date) : std::nullopt;
}

// "01-jun-99", "1-Jun-1999", perhaps followed by a time of day.
std::optional<DateMatch> DashedMonth(const Tokens& tokens, std::size_t i)
{
    const std::string_view text = tokens[i];
    const std::size_t first = text.find('-');
    const std::size_t second = first == std::string_view::npos ? first : text.find('-', first + 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    const auto day = ReadDay(text.substr(0, first));
    const std::string_view yearText = text.substr(second + 1);
    DateMatch date;
    date.stamp.month = MonthFromName(text.substr(first + 1, second - first - 1));
    if (!day || day->mark || !date.stamp.month || (yearText.size() != 2 && yearText.size() != 4)
        || !AllDigits(yearText))
        return std::nullopt;
    const int year = static_cast<int>(*ReadUnsigned(yearText));
    date.stamp.year = yearText.size() == 4 ? year : year + (year < 70 ? 2000 : 1900);
    date.stamp.day = day->day;
    date.hasYear = true;
    date.last = i;
    if (HasTextAfter(tokens, i + 1) && ReadClock(tokens[i + 1], date.stamp))
        date.last = i + 1;
    return date;
}

// One number of a CJK date and the sign after it ("2003年" "09月" "26日").
struct Piece {
    int value = 0;
    std::size_t digits = 0;
    Mark mark = Mark::None;
    std::size_t token = 0;
    bool endsToken = false;
};
using Pieces = std::array<Piece, 8>;

// Appends the pieces of token `k` ("2003年09月26日" holds three); false when the token is
// something else. A sign outside the table is taken by its shape: two bytes of a legacy
// double-byte encoding (lead byte 0x81 or above) directly after the digits.
bool SplitPieces(std::string_view text, std::size_t k, Pieces& pieces, std::size_t& count)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t digitsEnd = at;
        while (digitsEnd < text.size() && IsDigit(text[digitsEnd]))
            ++digitsEnd;
        if (digitsEnd == at || digitsEnd - at > 4 || count == pieces.size())
            return false;
        Piece piece { static_cast<int>(*ReadUnsigned(text.substr(at, digitsEnd - at))), digitsEnd - at,
            Mark::None, k, false };
        at = digitsEnd;
        const std::string_view rest = text.substr(at);
        for (const auto& [mark, signs] : CjkMarks) {
            const bool found = AnyWord(signs, [&](std::string_view sign) {
                if (!rest.starts_with(sign))
                    return false;
                piece.mark = mark;
                at += sign.size();
                return true;
            });
            if (found)
                break;
        }
        if (piece.mark != Mark::None || rest.empty()) {
            // a known sign, or the number ends the token
        } else if (rest.size() >= 2 && static_cast<unsigned char>(rest[0]) >= 0x81
            && static_cast<unsigned char>(rest[1]) >= 0x40 && (rest.size() == 2 || IsDigit(rest[2]))) {
            piece.mark = Mark::Unknown;
            at += 2;
        } else {
            return false;
        }
        piece.endsToken = at == text.size();
        pieces[count++] = piece;
    }
    return count > 0;
}

bool IsMark(Mark mark, Mark wanted)
{
    return mark == wanted || mark == Mark::Unknown;
}

// "3月 15 14:25", "2003年 9月 26日", "9月26日 2003年", "2003年09月26日 14:25" and the same with
// 년/월/일 or in a legacy encoding.
std::optional<DateMatch> CjkDate(const Tokens& tokens, std::size_t i)
{
    Pieces pieces;
    std::size_t count = 0;
    for (std::size_t k = i; k < tokens.count && k < i + 3; ++k) {
        const std::size_t before = count;
        if (!SplitPieces(tokens[k], k, pieces, count)) {
            count = before;
            break;
        }
    }
    DateMatch date;
    std::size_t p = 0;
    if (p < count && pieces[p].digits == 4 && IsMark(pieces[p].mark, Mark::Year)) {
        date.stamp.year = pieces[p++].value;
        date.hasYear = true;
    }
    if (p + 1 >= count)
        return std::nullopt;
    const Piece& month = pieces[p];
    const Piece& day = pieces[p + 1];
    if (month.digits > 2 || !IsMark(month.mark, Mark::Month) || month.value < 1 || month.value > 12
        || day.digits > 2 || !(day.mark == Mark::None || IsMark(day.mark, Mark::Day)) || !day.endsToken
        || day.value < 1 || day.value > 31)
        return std::nullopt;
    date.stamp.month = month.value;
    date.stamp.day = day.value;
    date.last = day.token;
    const std::size_t next = day.token + 1;
    if (HasTextAfter(tokens, next) && ReadClock(tokens[next], date.stamp)) {
        date.last = next;
        return date;
    }
    if (date.hasYear)
        return date;
    // Without a year in front, a year (with or without its sign) or a time of day follows.
    Pieces yearPieces;
    std::size_t yearCount = 0;
    if (!SplitPieces(tokens[next], next, yearPieces, yearCount) || yearCount != 1 || yearPieces[0].digits != 4
        || !(yearPieces[0].mark == Mark::None || IsMark(yearPieces[0].mark, Mark::Year))
        || yearPieces[0].value < 1900)
        return std::nullopt;
    date.stamp.year = yearPieces[0].value;
    date.hasYear = true;
    date.last = next;
    return date;
}

// "2004.07.15", "1999/10/12 17:12", "2012-03-15 14:25:36.5 +0100", "24-04-2003 17:12",
// "09-26 2000", "09-26 13:45". With the year last, "/" reads month first and "-" or "."
// day first, unless a number above 12 says otherwise.
std::optional<DateMatch> SeparatedDate(const Tokens& tokens, std::size_t i)
{
    const std::string_view text = tokens[i];
    const std::size_t cut = text.find_first_not_of("0123456789");
    if (cut == std::string_view::npos || cut == 0)
        return std::nullopt;
    const char separator = text[cut];
    if (separator != '-' && separator != '/' && separator != '.')
        return std::nullopt;
    std::array<int, 3> numbers {};
    std::array<std::size_t, 3> widths {};
    std::size_t count = 0;
    for (std::size_t at = 0; at <= text.size(); ++count) {
        const std::size_t end = std::min(text.find(separator, at), text.size());
        if (count == 3 || end - at > 4 || !AllDigits(text.substr(at, end - at)))
            return std::nullopt;
        numbers[count] = static_cast<int>(*ReadUnsigned(text.substr(at, end - at)));
        widths[count] = end - at;
        at = end + 1;
    }
    DateMatch date;
    date.last = i;
    if (count == 2) {
        if (widths[0] > 2 || widths[1] > 2
            || !OrderDayAndMonth(numbers[0], numbers[1], separator != '.', date.stamp))
            return std::nullopt;
        return ReadTail(tokens, i + 1, date, false) ? std::optional(date) : std::nullopt;
    }
    if (widths[0] == 4 && widths[1] <= 2 && widths[2] <= 2) {
        date.stamp = { numbers[0], numbers[1], numbers[2] };
    } else if (widths[2] == 4 && widths[0] <= 2 && widths[1] <= 2) {
        date.stamp.year = numbers[2];
        if (!OrderDayAndMonth(numbers[0], numbers[1], separator == '/', date.stamp))
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (date.stamp.year < 1900 || date.stamp.month < 1 || date.stamp.month > 12 || date.stamp.day < 1
        || date.stamp.day > 31)
        return std::nullopt;
    date.hasYear = true;
    if (HasTextAfter(tokens, i + 1) && ReadClock(tokens[i + 1], date.stamp)) {
        date.last = i + 1;
        const std::string_view zone = tokens[i + 2];
        if (HasTextAfter(tokens, i + 2) && zone.size() == 5 && (zone[0] == '+' || zone[0] == '-')
            && AllDigits(zone.substr(1)))
            date.last = i + 2;
    }
    return date;
}

// "3 29 03:26", "3 29  2003": bare numbers, month first unless the first is above 12.
std::optional<DateMatch> BareNumbers(const Tokens& tokens, std::size_t i)
{
    const std::string_view first = tokens[i];
    const std::string_view second = tokens[i + 1];
    DateMatch date;
    if (first.size() > 2 || second.size() > 2 || !AllDigits(first) || !AllDigits(second)
        || !OrderDayAndMonth(static_cast<int>(*ReadUnsigned(first)), static_cast<int>(*ReadUnsigned(second)),
            true, date.stamp))
        return std::nullopt;
    return ReadTail(tokens, i + 2, date, false) ? std::optional(date) : std::nullopt;
}

} // namespace

std::optional<DateMatch> ReadDate(const Tokens& tokens, std::size_t i, bool weak)
{
    if (i >= tokens.count)
        return std::nullopt;
    if (weak)
        return BareNumbers(tokens, i);
    if (!IsDigit(tokens[i][0]))
        return MonthFirst(tokens, i);
    for (const auto reader : { DayFirst, DashedMonth, CjkDate, SeparatedDate }) {
        if (auto date = reader(tokens, i))
            return date;
    }
    return std::nullopt;
}

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

int MonthFromName(std::string_view token)
{
    if (token.size() < 3 || token.size() > 12 || IsDigit(token[0]))
        return 0;
    char lower[12];
    std::size_t size = token.size();
    while (size > 3 && (token[size - 1] == '.' || token[size - 1] == ','))
        --size;
    for (std::size_t i = 0; i < size; ++i)
        lower[i] = Lower(token[i]);
    const std::string_view key(lower, size);
    if (Characters(key) < 3)
        return 0;
    int month = 0;
    for (int candidate = 1; candidate <= 12; ++candidate) {
        if (!AnyWord(MonthNames[candidate - 1], [&](std::string_view name) { return name.starts_with(key); }))
            continue;
        if (month != 0)
            return 0; // "jui": juin or juillet
        month = candidate;
    }
    return month;
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
