#include "rules/FilterRule.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using vorn::FilterRule;
using vorn::MatchFilterRule;
using vorn::ParseFilterRules;
using vorn::PassesFilterRules;

namespace {

const std::string kSep = "\xA1\xA2";

// One item the way the rule editor writes it, with its "^".
std::string Item(const std::string& filter, const std::string& time = "Any", const std::string& size = "Any")
{
    return "File Rule(" + filter + ")" + kSep + "Modify Time " + time + kSep + "File Size " + size + "^";
}

const std::string kDecember = ">=12-01-2011 10:00:00|<=12-31-2011 23:59:59";

} // namespace

TEST(ParseFilterRules, SkipsItemsThatSayNothingOrAreMalformed)
{
    const struct {
        const char* what;
        std::string text;
        std::size_t rules;
    } rows[] = {
        { "empty text", "", 0 },
        { "editor defaults", Item(""), 0 },
        { "two default items", Item("") + Item(""), 0 },
        { "only item terminators", "^^^", 0 },
        { "no terminator after the item", Item(".txt").substr(0, Item(".txt").size() - 1), 0 },
        { "piece after the last ^ ignored", Item(".txt") + "File Rule(.doc)", 1 },
        { "time without second half", Item("", ">=12-01-2011 10:00:00"), 0 },
        { "size without second half", Item(".txt", "Any", "<5KB"), 0 },
        { "size with both halves", Item("", "Any", "<5KB|<=1MB"), 1 },
        { "no labels at all", "hello world^", 0 },
        { "filter but no time label", "File Rule(.txt)^", 0 },
        { "no separators", "File Rule(.txt)Modify Time AnyFile Size Any^", 1 },
        { "good, bad, good", Item(".a") + "junk^" + Item(".b"), 2 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(ParseFilterRules(row.text).size(), row.rules);
    }
    const auto kept = ParseFilterRules(Item(".a") + "junk^" + Item(".b"));
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].nameFilter, ".a");
    EXPECT_EQ(kept[1].nameFilter, ".b");
}

TEST(ParseFilterRules, BuildsTimeAndSizeTests)
{
    constexpr std::uint64_t KB = 1024, MB = 1048576, GB = 1073741824;
    const struct {
        const char* what;
        std::string time, size;
        bool timeOn;
        int timeKind;
        const char *from, *to;
        bool sizeOn;
        int sizeKind;
        std::uint64_t low, high;
    } rows[] = {
        { "between", kDecember, ">=1KB|<=10MB", true, 0, "20111201100000", "20111231235959", true, 0, KB,
            10 * MB },
        { "before, second half ignored", "<03-05-2012 7:08:09|<=01-01-2000 00:00:00", "<5KB|<=1BYTE", true,
            -1, "20120305070809", "20120305070809", true, -1, 5 * KB, 5 * KB },
        { "after, first half ignored", ">=01-01-2000 00:00:00|>02-03-2012 04:05:06", ">=0BYTE|>2MB", true, 1,
            "20120203040506", "20120203040506", true, 1, 2 * MB, 2 * MB },
        { "no operator, no test", "12-01-2011 10:00:00|<=12-31-2011 23:59:59", "1KB|<=2KB", false, 0, "", "",
            false, 0, 0, 0 },
        { "date without time", ">=12-01-2011|<=12-31-2011", ">=1kb|<=2mb", true, 0, "20111201000000",
            "20111231000000", true, 0, KB, 2 * MB },
        { "12-hour markers", ">=12-01-2011 10:00:00 PM|<=12-31-2011 12:30:00 AM", ">=1Kb|<=1GB", true, 0,
            "20111201220000", "20111231003000", true, 0, 0, GB },
        { "unreadable numbers are 0", "<aa-bb-cc x:y:z|<=", "<BYTE|<=1", true, -1, "00000000000",
            "00000000000", true, -1, 0, 0 },
        { "sizes past 4 GiB do not wrap", "Any", ">=5GB|<=99999999gb", false, 0, "", "", true, 0, 5 * GB,
            99999999 * GB },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto rules = ParseFilterRules(Item(".x", row.time, row.size));
        ASSERT_EQ(rules.size(), 1u);
        const FilterRule& r = rules[0];
        EXPECT_EQ(r.timeTest.enabled, row.timeOn);
        EXPECT_EQ(r.timeTest.kind, row.timeKind);
        EXPECT_EQ(r.timeTest.from, row.from);
        EXPECT_EQ(r.timeTest.to, row.to);
        EXPECT_EQ(r.sizeTest.enabled, row.sizeOn);
        EXPECT_EQ(r.sizeTest.kind, row.sizeKind);
        EXPECT_EQ(r.sizeTest.from, row.low);
        EXPECT_EQ(r.sizeTest.to, row.high);
    }
}

// Filters naming CJK or Hangul files carry the separator's bytes inside their characters.
TEST(ParseFilterRules, KeepsMultibyteFiltersWhole)
{
    const struct {
        const char* what;
        std::string text;
        std::string filter;
    } rows[] = {
        { "衢 holds A1 A2", Item("@衢州", "<01-01-2012 00:00:00|<=01-01-2012 00:00:00", "<5KB|<=1KB"),
            "@衢州" },
        { "롢 holds A1 A2", Item(".롢 #衢", "<01-01-2012 00:00:00|<=01-01-2012 00:00:00", "<5KB|<=1KB"),
            ".롢 #衢" },
        { "old code page bytes",
            Item("@\xD6\xD0\xCE\xC4", "<01-01-2012 00:00:00|<=01-01-2012 00:00:00", "<5KB|<=1KB"),
            "@\xD6\xD0\xCE\xC4" },
        { "full-width parentheses",
            "File Rule\xA3\xA8.txt\xA3\xA9" + kSep + "Modify Time <01-01-2012 00:00:00|<=" + kSep
                + "File Size <5KB|<=^",
            ".txt" },
        { "棩 holds the full-width close",
            "File Rule\xA3\xA8@棩\xA3\xA9" + kSep + "Modify Time <01-01-2012 00:00:00|<=" + kSep
                + "File Size <5KB|<=^",
            "@棩" },
        { "棨 holds the full-width open",
            "File Rule棨\xA3\xA8.txt\xA3\xA9" + kSep + "Modify Time <01-01-2012 00:00:00|<=" + kSep
                + "File Size <5KB|<=^",
            ".txt" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto rules = ParseFilterRules(row.text);
        ASSERT_EQ(rules.size(), 1u);
        EXPECT_EQ(rules[0].nameFilter, row.filter);
        EXPECT_TRUE(rules[0].hasNameFilter);
        EXPECT_TRUE(rules[0].timeTest.enabled);
        EXPECT_EQ(rules[0].timeTest.from, "20120101000000");
        EXPECT_TRUE(rules[0].sizeTest.enabled);
        EXPECT_EQ(rules[0].sizeTest.from, 5120u);
    }
}

TEST(MatchFilterRule, DecidesByNameSizeAndTime)
{
    const struct {
        const char* what;
        std::string rules;
        const char* name;
        std::uint64_t size;
        const char* time;
        bool passes;
    } rows[] = {
        { "no rules", "", "anything", 0, "", true },
        { ".txt upper-case name", Item(".txt"), "Report.TXT", 1, "20120101", true },
        { ".txt other extension", Item(".txt"), "report.doc", 1, "20120101", false },
        { ".txt name ending in txt", Item(".txt"), "notatxt", 1, "20120101", true },
        { "@log in base name", Item("@log"), "backup_log_2011.zip", 1, "", true },
        { "@log inside a word", Item("@log"), "catalog", 1, "", true },
        { "@log only in extension", Item("@log"), "readme.txt", 1, "", false },
        { "@ sees the base name only", Item("@.txt"), "a.txt", 1, "", false },
        { "@ base name with dots", Item("@.txt"), "a.txt.gz", 1, "", true },
        { "#img lower-cased name", Item("#img"), "IMG_0001.JPG", 1, "", true },
        { "#img not at start", Item("#img"), "my_img.jpg", 1, "", false },
        { "words without marker", Item("log txt"), "log.txt", 1, "", false },
        { "upper-case filter", Item(".TXT"), "a.txt", 1, "", true },
        { "filter trimmed", Item(" \t.txt  "), "a.txt", 1, "", true },
        { "two blanks, later pattern", Item(".txt  .doc"), "a.doc", 1, "", true },
        { "two blanks, no match", Item(".txt  .doc"), "a.pdf", 1, "", false },
        { "bare marker matches all", Item(".pdf @"), "x.bin", 1, "", true },
        { "non-ASCII bytes not lowered", Item("#\xC3\x81"), "\xE3\x81\x82.txt", 1, "", false },
        { "non-ASCII exact", Item("#\xC3\x81"), "\xC3\x81rbol.txt", 1, "", true },
        { "衢 filter", Item("@衢州"), "衢州备份.zip", 1, "", true },
        { "衢 filter, other city", Item("@衢州"), "杭州备份.zip", 1, "", false },
        { "롢 filter", Item(".롢"), "사진.롢", 1, "", true },
        { "size at lower bound", Item("", "Any", ">=1KB|<=10MB"), "f", 1024, "", true },
        { "size at upper bound", Item("", "Any", ">=1KB|<=10MB"), "f", 10485760, "", true },
        { "size below", Item("", "Any", ">=1KB|<=10MB"), "f", 1023, "", false },
        { "size above", Item("", "Any", ">=1KB|<=10MB"), "f", 10485761, "", false },
        { "< 5 KB just under", Item("", "Any", "<5KB|<=1BYTE"), "f", 5119, "", true },
        { "< 5 KB at bound", Item("", "Any", "<5KB|<=1BYTE"), "f", 5120, "", false },
        { "> 2 MB at bound", Item("", "Any", ">=0BYTE|>2MB"), "f", 2097152, "", false },
        { "> 2 MB over", Item("", "Any", ">=0BYTE|>2MB"), "f", 2097153, "", true },
        { "> 2 MB empty file", Item("", "Any", ">=0BYTE|>2MB"), "f", 0, "", false },
        { "5 GiB file in 5-6 GB", Item("", "Any", ">=5GB|<=6GB"), "f", 5368709120, "", true },
        { "1 GiB file in 5-6 GB", Item("", "Any", ">=5GB|<=6GB"), "f", 1073741824, "", false },
        { "just past 6 GB", Item("", "Any", ">=5GB|<=6GB"), "f", 6442450945, "", false },
        { "4 GiB file under 5 GB", Item("", "Any", "<5GB|<=1BYTE"), "f", 4294967296, "", true },
        { "date inside range", Item("", kDecember), "f", 1, "20111215", true },
        { "date-only on first day", Item("", kDecember), "f", 1, "20111201", false },
        { "hh:mm after start", Item("", kDecember), "f", 1, "2011120110:30", true },
        { "hh:mm before start", Item("", kDecember), "f", 1, "2011120109:59", false },
        { "next year", Item("", kDecember), "f", 1, "20120101", false },
        { "equal to start, strict", Item("", kDecember), "f", 1, "20111201100000", false },
        { "equal to end, strict", Item("", kDecember), "f", 1, "20111231235959", false },
        { "before, equal counts", Item("", "<01-01-2012 00:00:00|<="), "f", 1, "20120101000000", true },
        { "after, equal counts", Item("", ">=|>06-30-2012 12:00:00"), "f", 1, "20120630120000", true },
        { "before, date-only", Item("", "<01-01-2012 00:00:00|<=01-01-2000 00:00:00"), "f", 1, "20120101",
            true },
        { "before, with time", Item("", "<01-01-2012 00:00:00|<=01-01-2000 00:00:00"), "f", 1,
            "2012010100:00", false },
        { "after, same day date-only", Item("", ">=01-01-2000 00:00:00|>06-30-2012 12:00:00"), "f", 1,
            "20120630", false },
        { "after, later time", Item("", ">=01-01-2000 00:00:00|>06-30-2012 12:00:00"), "f", 1,
            "2012063012:00", true },
        { "all three must pass", Item(".log", "Any", ">=1KB|<=2KB"), "a.log", 500, "", false },
        { "second rule admits", Item(".mp3") + Item("@backup"), "backup.txt", 1, "", true },
        { "first rule admits", Item(".mp3") + Item("@backup"), "song.MP3", 1, "", true },
        { "no rule admits", Item(".mp3") + Item("@backup"), "notes.txt", 1, "", false },
        { "only empty items: all pass", Item("") + Item(""), "notes.txt", 1, "", true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto rules = ParseFilterRules(row.rules);
        EXPECT_EQ(PassesFilterRules(rules, row.name, row.size, row.time), row.passes);
        if (rules.size() == 1) {
            EXPECT_EQ(MatchFilterRule(rules[0], row.name, row.size, row.time), row.passes);
        }
    }
}
