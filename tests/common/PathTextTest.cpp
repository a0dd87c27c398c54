#include "common/PathText.h"

#include <gtest/gtest.h>

// One "/" between folder and name, whatever the folder ends with; an empty folder adds none.
TEST(PathText, JoinsWithOneSlash)
{
    const std::tuple<const char*, const char*, const char*> rows[] = { { "/in", "x", "/in/x" },
        { "/in/", "x", "/in/x" }, { "/", "x", "/x" }, { "", "x", "x" }, { "/www", "", "/www/" },
        { "/www/", "", "/www/" }, { "a", "b\\c", "a/b\\c" }, { "/in//", "x", "/in//x" } };
    for (const auto& [folder, name, joined] : rows)
        EXPECT_EQ(vorn::JoinPath(folder, name), joined) << folder << " + " << name;
}

// Remote paths split on "/" only; local texts from the status list also on "\".
TEST(PathText, LastComponentFollowsTheLastSeparator)
{
    const std::tuple<const char*, const char*, const char*> rows[] = { { "/a/b/c.txt", "/", "c.txt" },
        { "c.txt", "/", "c.txt" }, { "/a/", "/", "" }, { "/a/b\\c.txt", "/", "b\\c.txt" },
        { "/www/a/b.txt", "/\\", "b.txt" }, { "dir\\x/y\\z.bin", "/\\", "z.bin" }, { "/www/dir/", "/\\", "" },
        { "plain", "/\\", "plain" }, { "", "/", "" } };
    for (const auto& [path, separators, last] : rows)
        EXPECT_EQ(vorn::LastPathComponent(path, separators), last) << path;
}
