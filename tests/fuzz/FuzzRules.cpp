// Fuzz target for the filter rule parser: any bytes may come from a hand-edited or damaged
// database, so parsing and matching must neither crash nor break the rules' own invariants.
#include "rules/FilterRule.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// Ends the run the way a crash would, so libFuzzer and the random driver both report it.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);               \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

namespace {

struct Sample {
    std::string_view name;
    std::uint64_t size;
    std::string_view time;
};

constexpr Sample kSamples[] = {
    { "Report.TXT", 1024, "20111215" },
    { "backup_log_2011.zip", 5368709120ULL, "2011120110:30" },
    { "衢州备份.zip", 0, "" },
    { "사진.롢", 10485761, "20120630" },
    { "", 18446744073709551615ULL, "2012063012:00" },
    { ".", 5119, "00000000" },
};

constexpr std::string_view kGoodItem = "File Rule(@衢州)\xA1\xA2"
                                       "Modify Time Any\xA1\xA2"
                                       "File Size >=1KB|<=2MB^";

bool SameRule(const vorn::FilterRule& a, const vorn::FilterRule& b)
{
    return a.nameFilter == b.nameFilter && a.hasNameFilter == b.hasNameFilter
        && a.timeTest.kind == b.timeTest.kind && a.timeTest.from == b.timeTest.from
        && a.timeTest.to == b.timeTest.to && a.timeTest.enabled == b.timeTest.enabled
        && a.sizeTest.kind == b.sizeTest.kind && a.sizeTest.from == b.sizeTest.from
        && a.sizeTest.to == b.sizeTest.to && a.sizeTest.enabled == b.sizeTest.enabled;
}

bool IsTimeBound(std::string_view bound)
{
    return !bound.empty()
        && std::all_of(bound.begin(), bound.end(), [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto rules = vorn::ParseFilterRules(text);

    // At most one rule per "^".
    FUZZ_CHECK(rules.size() <= std::size_t(std::count(text.begin(), text.end(), '^')));
    for (const vorn::FilterRule& rule : rules) {
        FUZZ_CHECK(rule.hasNameFilter == !rule.nameFilter.empty());
        FUZZ_CHECK(rule.nameFilter.find_first_of("^)") == std::string::npos);
        FUZZ_CHECK(rule.timeTest.kind >= -1 && rule.timeTest.kind <= 1);
        FUZZ_CHECK(rule.sizeTest.kind >= -1 && rule.sizeTest.kind <= 1);
        if (rule.timeTest.enabled) {
            FUZZ_CHECK(IsTimeBound(rule.timeTest.from) && IsTimeBound(rule.timeTest.to));
            if (rule.timeTest.kind != 0)
                FUZZ_CHECK(rule.timeTest.from == rule.timeTest.to);
        } else {
            FUZZ_CHECK(rule.timeTest.from.empty() && rule.timeTest.to.empty());
        }
        if (!rule.sizeTest.enabled)
            FUZZ_CHECK(rule.sizeTest.kind == 0 && rule.sizeTest.from == 0 && rule.sizeTest.to == 0);
        else if (rule.sizeTest.kind != 0)
            FUZZ_CHECK(rule.sizeTest.from == rule.sizeTest.to);
    }

    // Items are independent: a good item in front adds its rule and changes none of the others.
    const std::string prefixed = std::string(kGoodItem) + std::string(text);
    const auto more = vorn::ParseFilterRules(prefixed);
    FUZZ_CHECK(more.size() == rules.size() + 1);
    FUZZ_CHECK(more[0].nameFilter == "@衢州" && more[0].sizeTest.from == 1024);
    for (std::size_t i = 0; i < rules.size(); ++i)
        FUZZ_CHECK(SameRule(more[i + 1], rules[i]));

    for (const Sample& sample : kSamples) {
        bool any = false;
        for (const vorn::FilterRule& rule : rules) {
            const bool match = vorn::MatchFilterRule(rule, sample.name, sample.size, sample.time);
            // A rule whose three tests are all off admits every file.
            if (!rule.hasNameFilter && !rule.timeTest.enabled && !rule.sizeTest.enabled)
                FUZZ_CHECK(match);
            any = any || match;
        }
        const bool passes = vorn::PassesFilterRules(rules, sample.name, sample.size, sample.time);
        FUZZ_CHECK(passes == (rules.empty() || any));
        // Also match the input itself as a name and time: arbitrary bytes on both sides.
        (void)vorn::PassesFilterRules(rules, text, size, text);
    }
    return 0;
}
