#include "rules/PatternAdvice.h"

#include "rules/FilterRule.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string Item(const std::string& filter)
{
    return "File Rule(" + filter
        + ")\xA1\xA2Modify Time Any\xA1\xA2"
          "File Size Any^";
}

bool Passes(const std::string& filter, const std::string& name)
{
    return vorn::PassesFilterRules(vorn::ParseFilterRules(Item(filter)), name, 10, "20200101");
}

} // namespace

// Every pattern that can match nothing is named with a suggestion, and the suggestion really
// lets the file through that the typed form was meant for, while the typed form lets none.
TEST(PatternAdvice, NamesPatternsThatMatchNothingAndSuggestTheMeantForm)
{
    const struct {
        const char* typed;
        const char* suggestion; // nullptr: the pattern is fine
        const char* meantFor; // a name the user wanted copied
    } rows[] = {
        { "*.tmp", ".tmp", "cache.tmp" },
        { "*tmp", ".tmp", "cache.tmp" },
        { "tmp*", "#tmp", "tmp_1.dat" },
        { "*log*", "@log", "backup_log_2011.zip" },
        { "txt", ".txt", "notes.txt" },
        { "@log*", "@log", "catalog.db" },
        { "*", ".", "anything.bin" },
        { "*.*", ".", "anything.bin" },
        { ".txt", nullptr, "notes.txt" },
        { "@log", nullptr, "catalog.db" },
        { "#img", nullptr, "IMG_0001.JPG" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed);
        const auto advice = vorn::AdviseNamePatterns(row.typed);
        if (row.suggestion == nullptr) {
            EXPECT_TRUE(advice.empty());
            EXPECT_TRUE(Passes(row.typed, row.meantFor));
            continue;
        }
        ASSERT_EQ(advice.size(), 1u);
        EXPECT_EQ(advice[0].pattern, row.typed);
        EXPECT_EQ(advice[0].suggestion, row.suggestion);
        EXPECT_FALSE(Passes(row.typed, row.meantFor));
        EXPECT_TRUE(Passes(advice[0].suggestion, row.meantFor));
    }
}

// Several patterns: only the wrong ones are named and replaced, in place; a doubled blank is
// left alone.
TEST(PatternAdvice, ReplacesOnlyTheWrongPatternsOfAFilter)
{
    const auto advice = vorn::AdviseNamePatterns(".doc *.tmp  @log bak*");
    ASSERT_EQ(advice.size(), 2u);
    EXPECT_EQ(advice[0].pattern, "*.tmp");
    EXPECT_EQ(advice[1].pattern, "bak*");
    EXPECT_EQ(vorn::ApplyPatternAdvice(".doc *.tmp  @log bak*"), ".doc .tmp  @log #bak");
    EXPECT_TRUE(vorn::AdviseNamePatterns("").empty());
}
