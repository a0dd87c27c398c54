#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

struct TimeTest {
    std::int32_t kind = 0; // 0 between, 1 at or after, -1 at or before
    std::string from;
    std::string to;
    bool enabled = false;
};

struct SizeTest {
    std::int32_t kind = 0; // 0 between, 1 above, -1 below
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    bool enabled = false;
};

struct FilterRule {
    std::string nameFilter;
    bool hasNameFilter = false;
    TimeTest timeTest;
    SizeTest sizeTest;
};

// The two bytes that join the three parts of a rule item. The same pair occurs inside UTF-8
// characters (衢 is E8 A1 A2), so it separates parts only where a character starts.
inline constexpr std::string_view kRuleSeparator = "\xA1\xA2";

// Every item of `ruleText` ends with "^"; items that say nothing or are malformed give no
// rule. Never fails: unreadable numbers count as 0.
[[nodiscard]] std::vector<FilterRule> ParseFilterRules(std::string_view ruleText);

// `timeText` is the listing's time text: YYYYMMDD, optionally followed by hh:mm.
[[nodiscard]] bool MatchFilterRule(
    const FilterRule& rule, std::string_view name, std::uint64_t size, std::string_view timeText);

// True when there are no rules or the first matching rule admits the file. Takes the
// file's own listing entry fields, so no folder needs to be listed again.
[[nodiscard]] bool PassesFilterRules(const std::vector<FilterRule>& rules, std::string_view name,
    std::uint64_t size, std::string_view timeText);

} // namespace vorn
