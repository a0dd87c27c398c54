#include "remote/TempFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace vorn::remote;

// Every temporary name fits in one file name (255 bytes) whatever the name it stands for,
// and names its process, so that a later run can tell a leftover of a process that is gone.
TEST(TemporaryName, FitsAFileNameAndNamesItsProcess)
{
    for (const std::size_t length : { 1u, 100u, 227u, 228u, 237u, 254u, 255u }) {
        const std::string name(length, 'n');
        const std::string temporary = MakeTemporaryName(name);
        EXPECT_LE(temporary.size(), 255u) << length;
        EXPECT_EQ(TemporaryNameOwner(temporary), getpid()) << temporary;
        EXPECT_NE(temporary, MakeTemporaryName(name));
    }
    EXPECT_TRUE(MakeTemporaryName("a.txt").starts_with(".a.txt.vornpart-"));
    EXPECT_EQ(TemporaryNameOwner(MakeTemporaryName("a.txt", "vornold"), "vornold"), getpid());
    for (const char* other : { "a.txt", ".a.txt.vornpart-12-0123abc", ".a.txt.vornpart-12-0123abcg",
             ".a.txt.vornpart--0123abcd", ".a.txt.vornold-12-0123abcd", "a.txt.vornpart-12-0123abcd",
             ".a.txt.vornpart-1x-0123abcd", ".a.vornpart-12-0123abcd.txt" })
        EXPECT_FALSE(TemporaryNameOwner(other)) << other;
    EXPECT_EQ(TemporaryNameOwner(".vornpart-42-0123abcd"), 42);
}
