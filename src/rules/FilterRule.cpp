#include "rules/FilterRule.h"

#include "common/DecimalText.h"

#include <array>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cstdio>
#include <limits>

namespace vorn {

namespace {

constexpr std::string_view kItemEnd = "^";
constexpr std::string_view kFileRuleLabel = "File Rule";
constexpr std::string_view kTimeLabel = "Modify Time ";
constexpr std::string_view kSizeLabel = "File Size ";
// Full-width parentheses of the old code page, accepted in hand-edited rule texts.
constexpr std::string_view kWideOpen = "\xA3\xA8";
constexpr std::string_view kWideClose = "\xA3\xA9";
constexpr std::string_view kAny = "Any";
// Looked for in this order, so ">=" wins over ">" and "<=" over "<".
constexpr std::array<std::string_view, 5> kOperators = { "Any", ">=", ">", "<=", "<" };
constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// Length of the well-formed UTF-8 sequence that starts at `i`, or 1 when none does (an ASCII
// byte, a stray continuation byte, a lead byte without its continuation, an overlong form).
std::size_t Utf8StepAt(std::string_view text, std::size_t i)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 1;
    }
    if (text.size() - i < length)
        return 1;
    for (std::size_t k = 1; k < length; ++k) {
        const auto byte = static_cast<unsigned char>(text[i + k]);
        if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF))
            return 1;
    }
    return length;
}

// Finds a non-ASCII marker (the separator, a full-width parenthesis) only where a character
// starts: in UTF-8 the same byte pairs sit inside ordinary characters, for example A1 A2 in
// 衢 (E8 A1 A2). `from` must itself be a character boundary.
std::size_t FindAtCharBoundary(std::string_view text, std::string_view marker, std::size_t from)
{
    for (std::size_t i = from; i < text.size() && text.size() - i >= marker.size();
         i += Utf8StepAt(text, i)) {
        if (text.compare(i, marker.size(), marker) == 0)
            return i;
    }
    return std::string_view::npos;
}

std::string_view Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kWhiteSpace) - first + 1);
}

// Only ASCII letters: bytes of multibyte UTF-8 characters must stay as they are.
std::string AsciiLower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// The part that starts at `label` and runs to the next separator (labels are ASCII, so
// their position is always a character boundary).
std::string_view CutPart(std::string_view item, std::string_view label)
{
    const std::size_t start = item.find(label);
    if (start == std::string_view::npos)
        return {};
    const std::size_t end = FindAtCharBoundary(item, kRuleSeparator, start + label.size());
    return item.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

std::string_view NameFilterOf(std::string_view part)
{
    std::size_t open = part.find('(');
    std::size_t openLength = 1;
    if (open == std::string_view::npos) {
        open = FindAtCharBoundary(part, kWideOpen, 0);
        openLength = kWideOpen.size();
    }
    if (open == std::string_view::npos)
        return {};
    std::size_t close = part.find(')', open);
    if (close == std::string_view::npos)
        close = FindAtCharBoundary(part, kWideClose, open);
    if (close == std::string_view::npos || close < open + openLength)
        return {};
    return part.substr(open + openLength, close - open - openLength);
}

std::string_view OperatorOf(std::string_view half)
{
    for (std::string_view op : kOperators) {
        if (half.find(op) != std::string_view::npos)
            return op;
    }
    return {};
}

// Three tokens per half: operator, then the two values whose split `splitValues` decides.
template <typename SplitValues>
std::vector<std::string_view> Tokenize(std::string_view part, std::string_view label, SplitValues splitValues)
{
    std::vector<std::string_view> tokens;
    if (part.substr(0, label.size()) == label)
        part.remove_prefix(label.size());
    const std::size_t bar = part.find('|');
    std::array<std::string_view, 2> halves = { part.substr(0, bar), {} };
    const std::size_t halfCount = bar == std::string_view::npos ? 1 : 2;
    if (halfCount == 2)
        halves[1] = part.substr(bar + 1);
    for (std::size_t h = 0; h < halfCount; ++h) {
        const std::string_view op = OperatorOf(halves[h]);
        const auto [first, second] = splitValues(halves[h].substr(op.size()));
        tokens.insert(tokens.end(), { op, first, second });
    }
    return tokens;
}

std::pair<std::string_view, std::string_view> SplitDateTime(std::string_view rest)
{
    const std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos)
        return { rest, " " };
    return { rest.substr(0, blank), Trim(rest.substr(blank + 1)) };
}

std::pair<std::string_view, std::string_view> SplitNumberUnit(std::string_view rest)
{
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9')
        ++digits;
    return { rest.substr(0, digits), rest.substr(digits) };
}

// The first three numbers of `text` separated by `separator`; missing ones are 0.
std::array<std::int64_t, 3> ThreeNumbers(std::string_view text, char separator, std::string_view& tail)
{
    std::array<std::int64_t, 3> numbers {};
    for (std::size_t k = 0; k < numbers.size(); ++k) {
        const std::size_t end = text.find(separator);
        const std::string_view piece = text.substr(0, end);
        numbers[k] = ParseDecimal(piece);
        tail = piece;
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return numbers;
}

bool ContainsNoCase(std::string_view text, std::string_view upperWord)
{
    return AsciiLower(text).find(AsciiLower(upperWord)) != std::string::npos;
}

// YYYYMMDDhhmmss from the picker texts "MM-dd-yyyy" and "hh:mm:ss". A 12-hour marker after
// the seconds is honoured, so a stored "10:00:00 PM" means 22:00 and not 10:00.
std::string TimeBound(std::string_view date, std::string_view time)
{
    std::string_view dateTail;
    std::string_view timeTail;
    const auto [month, day, year] = ThreeNumbers(date, '-', dateTail);
    auto [hour, minute, second] = ThreeNumbers(time, ':', timeTail);
    if (ContainsNoCase(timeTail, "PM") && hour >= 1 && hour <= 11)
        hour += 12;
    else if (ContainsNoCase(timeTail, "AM") && hour == 12)
        hour = 0;
    char text[128];
    const int n = std::snprintf(text, sizeof text, "%lld%02lld%02lld%02lld%02lld%02lld", (long long)year,
        (long long)month, (long long)day, (long long)hour, (long long)minute, (long long)second);
    return std::string(text, n > 0 ? std::size_t(n) : 0);
}

// 64-bit and saturating: "5" "GB" is 5 GiB, where a 32-bit product would wrap to 1 GiB.
std::uint64_t SizeValue(std::string_view number, std::string_view unit)
{
    std::uint64_t multiplier = 0;
    if (unit == "BYTE" || unit == "byte")
        multiplier = 1;
    else if (unit == "KB" || unit == "kb")
        multiplier = 1024;
    else if (unit == "MB" || unit == "mb")
        multiplier = 1048576;
    else if (unit == "GB" || unit == "gb")
        multiplier = 1073741824;
    else
        return 0;
    const std::uint64_t value = ParseByteCount(number);
    if (value > std::numeric_limits<std::uint64_t>::max() / multiplier)
        return std::numeric_limits<std::uint64_t>::max();
    return value * multiplier;
}

TimeTest MakeTimeTest(const std::vector<std::string_view>& t)
{
    TimeTest test;
    if (t[0] == kAny)
        return test;
    if (t[0] == ">=" && t[3] == "<=") {
        test.kind = 0;
        test.from = TimeBound(t[1], t[2]);
        test.to = TimeBound(t[4], t[5]);
    } else if (t[0] == "<") {
        test.kind = -1;
        test.from = test.to = TimeBound(t[1], t[2]);
    } else if (t[3] == ">") {
        test.kind = 1;
        test.from = test.to = TimeBound(t[4], t[5]);
    } else {
        return test;
    }
    test.enabled = true;
    return test;
}

SizeTest MakeSizeTest(const std::vector<std::string_view>& s)
{
    SizeTest test;
    if (s[0] == kAny)
        return test;
    if (s[0] == ">=" && s[3] == "<=") {
        test.kind = 0;
        test.from = SizeValue(s[1], s[2]);
        test.to = SizeValue(s[4], s[5]);
    } else if (s[0] == "<") {
        test.kind = -1;
        test.from = test.to = SizeValue(s[1], s[2]);
    } else if (s[3] == ">") {
        test.kind = 1;
        test.from = test.to = SizeValue(s[4], s[5]);
    } else {
        return test;
    }
    test.enabled = true;
    return test;
}

bool NameTestPasses(const FilterRule& rule, std::string_view name)
{
    if (!rule.hasNameFilter)
        return true;
    const std::string filter = AsciiLower(Trim(rule.nameFilter));
    if (filter.empty())
        return true;
    const std::string lowerName = AsciiLower(name);
    const std::string_view whole = lowerName;
    const std::string_view base = whole.substr(0, whole.rfind('.'));

    // Single blanks separate patterns; two blanks in a row leave an empty one.
    std::vector<std::string> patterns;
    boost::split(patterns, filter, boost::is_any_of(" "));
    for (const std::string& pattern : patterns) {
        if (pattern.empty())
            continue;
        const std::string_view rest = std::string_view(pattern).substr(1);
        if ((pattern[0] == '@' && base.find(rest) != std::string_view::npos)
            || (pattern[0] == '#' && whole.starts_with(rest)) || (pattern[0] == '.' && whole.ends_with(rest)))
            return true;
    }
    return false;
}

bool SizeTestPasses(const SizeTest& test, std::uint64_t size)
{
    if (!test.enabled)
        return true;
    switch (test.kind) {
    case 0:
        return test.from <= size && size <= test.to;
    case 1:
        return size > test.to;
    case -1:
        return size < test.from;
    default:
        return true;
    }
}

// Time texts compare as byte strings: "20111201" sorts before "20111201100000", and
// "2011120110:30" after it because ':' follows every digit.
bool TimeTestPasses(const TimeTest& test, std::string_view time)
{
    if (!test.enabled)
        return true;
    switch (test.kind) {
    case 0:
        return test.from < time && time < test.to;
    case 1:
        return time >= test.to;
    case -1:
        return time <= test.from;
    default:
        return true;
    }
}

} // namespace

std::vector<FilterRule> ParseFilterRules(std::string_view ruleText)
{
    std::vector<FilterRule> rules;
    std::size_t start = 0;
    // A piece after the last "^" is not an item.
    for (std::size_t end = ruleText.find(kItemEnd); end != std::string_view::npos;
         start = end + kItemEnd.size(), end = ruleText.find(kItemEnd, start)) {
        const std::string_view item = ruleText.substr(start, end - start);
        const std::string_view filter = NameFilterOf(CutPart(item, kFileRuleLabel));
        const auto timeTokens = Tokenize(CutPart(item, kTimeLabel), kTimeLabel, SplitDateTime);
        const auto sizeTokens = Tokenize(CutPart(item, kSizeLabel), kSizeLabel, SplitNumberUnit);
        const bool anyTime = timeTokens[0] == kAny;
        const bool anySize = sizeTokens[0] == kAny;
        if (filter.empty() && anyTime && anySize)
            continue;
        if ((!anyTime && timeTokens.size() != 6) || (!anySize && sizeTokens.size() != 6))
            continue;

        FilterRule rule;
        rule.nameFilter = std::string(filter);
        rule.hasNameFilter = !filter.empty();
        rule.timeTest = MakeTimeTest(timeTokens);
        rule.sizeTest = MakeSizeTest(sizeTokens);
        rules.push_back(std::move(rule));
    }
    return rules;
}

bool MatchFilterRule(
    const FilterRule& rule, std::string_view name, std::uint64_t size, std::string_view timeText)
{
    const bool nameOk = NameTestPasses(rule, name);
    const bool sizeOk = SizeTestPasses(rule.sizeTest, size);
    const bool timeOk = TimeTestPasses(rule.timeTest, timeText);
    return nameOk && sizeOk && timeOk;
}

bool PassesFilterRules(const std::vector<FilterRule>& rules, std::string_view name, std::uint64_t size,
    std::string_view timeText)
{
    if (rules.empty())
        return true;
    for (const FilterRule& rule : rules) {
        if (MatchFilterRule(rule, name, size, timeText))
            return true;
    }
    return false;
}

} // namespace vorn
