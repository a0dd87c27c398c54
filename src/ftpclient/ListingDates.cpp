#include "ftpclient/ListingFields.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <utility>

namespace vorn::ftp::listing {

// The dates of LIST lines: month names in six languages, CJK date signs, the orders and
// separators servers use, and the bare numbers tried last.

namespace {

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

} // namespace vorn::ftp::listing
