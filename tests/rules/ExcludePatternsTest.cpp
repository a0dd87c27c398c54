#include "rules/ExcludePatterns.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(ExcludePatterns, MatchesNamesFoldersAndAnchoredPaths)
{
    struct Row {
        const char* patterns;
        const char* path;
        bool folder;
        bool excluded;
    };
    const Row rows[] = {
        { "cache/", "cache", true, true },
        { "cache/", "a/b/cache", true, true },
        { "cache/", "cache", false, false }, // a file named cache stays
        { "*.log", "error.log", false, true },
        { "*.log", "logs/2024/error.log", false, true },
        { "*.log", "error.log.gz", false, false },
        { "wp-content/uploads/*/tmp/", "wp-content/uploads/2024/tmp", true, true },
        { "wp-content/uploads/*/tmp/", "wp-content/uploads/2024/05/tmp", true, false }, // * keeps to one name
        { "wp-content/uploads/*/tmp/", "site/wp-content/uploads/2024/tmp", true, false }, // anchored
        { "/tmp/", "tmp", true, true },
        { "/tmp/", "a/tmp", true, false },
        { "**/node_modules/", "node_modules", true, true },
        { "**/node_modules/", "app/web/node_modules", true, true },
        { "a/**/z.txt", "a/z.txt", false, true },
        { "a/**/z.txt", "a/b/c/z.txt", false, true },
        { "a/**/z.txt", "b/a/z.txt", false, false },
        { "  *.tmp   cache/ ", "x.tmp", false, true },
        { "file?.txt", "file1.txt", false, true },
        { "", "anything", false, false },
    };
    for (const Row& row : rows)
        EXPECT_EQ(IsExcluded(ParseExcludePatterns(row.patterns), row.path, row.folder), row.excluded)
            << row.patterns << " / " << row.path;
}

} // namespace
} // namespace vorn
