#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// The columns of LIST lines: blank-separated tokens, sizes and the many ways servers write a
// date. Used by the line readers of Listing.cpp; no state, no allocation on the hot path.
namespace vorn::ftp::listing {

struct Token {
    std::string_view text;
    std::size_t end = 0; // index just after the token in its line
};

// Enough to reach the date of any listing form (permissions, up to five columns, a date of up
// to four tokens); the name after the date is cut out of the line by position.
constexpr std::size_t MaxTokens = 16;

struct Tokens {
    std::array<Token, MaxTokens> items;
    std::size_t count = 0;
    std::size_t lineSize = 0;
    [[nodiscard]] std::string_view operator[](std::size_t i) const
    {
        return i < count ? items[i].text : std::string_view();
    }
};

[[nodiscard]] Tokens Tokenize(std::string_view line);

struct Stamp {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = -1; // -1: the date only
    int minute = 0;
};

// Where a date sits among the tokens and what it says.
struct DateMatch {
    std::size_t last = 0; // index of the token that ends the date; the name follows it
    Stamp stamp;
    bool hasYear = false;
};

// A date starting at token `i`. Strong forms name the month (in English, German, French,
// Spanish, Italian or Dutch, or with the CJK month sign) or separate the numbers ("2004.07.15",
// "24-04-2003", "09-26"); weak forms are bare numbers ("3 29 03:26") and are only tried where
// nothing else fits.
[[nodiscard]] std::optional<DateMatch> ReadDate(const Tokens& tokens, std::size_t i, bool weak);

// 1..12 for a month name or its abbreviation in one of the languages above, else 0.
[[nodiscard]] int MonthFromName(std::string_view token);

// "14:25", "9:05", "14:25:36", "14:25:36.123" into the stamp.
[[nodiscard]] bool ReadClock(std::string_view text, Stamp& stamp);

// A size column: digits, digits with thousands separators ("9,730", "1.234.567"), or with
// `approximate` a number with a k/M/G/T suffix ("33.5k", "4.0K"), read as binary multiples.
[[nodiscard]] std::optional<std::uint64_t> ReadSize(std::string_view text, bool approximate);

// Plain decimal digits that fit 64 bits.
[[nodiscard]] std::optional<std::uint64_t> ReadUnsigned(std::string_view digits);

[[nodiscard]] bool IsDigit(char c);
[[nodiscard]] bool IsBlank(char c);
[[nodiscard]] bool AllDigits(std::string_view text);
[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);

// "YYYYMMDD", then "hh:mm" when the time of day is known; "" for an impossible date.
[[nodiscard]] std::string FormatStamp(const Stamp& stamp);
// The year of a date given without one: the latest that puts it no later than `now` plus a
// day (clocks and time zones); -1 when none within eight years fits (Feb 29).
[[nodiscard]] int InferYear(const Stamp& stamp, std::time_t now);
// A UTC date and time of day from seconds since 1970.
[[nodiscard]] Stamp StampFromEpoch(std::int64_t seconds);

} // namespace vorn::ftp::listing
