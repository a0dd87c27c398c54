#include "ftpclient/ServerText.h"

#include "common/PathText.h"
#include "ftpclient/IPAddress.h"

#include <gtest/gtest.h>

namespace {

using vorn::ftp::Security;

TEST(ServerText, SchemeChoosesTheProtectionAndIsDroppedFromTheHost)
{
    struct Row {
        const char* text;
        Security security;
        const char* host;
    };
    const Row rows[] = {
        { "ftp.example.com", Security::Plain, "ftp.example.com" },
        { "192.168.1.20", Security::Plain, "192.168.1.20" },
        { "ftpes://ftp.example.com", Security::ExplicitTls, "ftp.example.com" },
        { "FTPES://Ftp.Example.com", Security::ExplicitTls, "Ftp.Example.com" },
        { "ftps://10.0.0.1", Security::ImplicitTls, "10.0.0.1" },
        { "ftp://host/some/path", Security::Plain, "host" },
        { "  ftpes://host/  ", Security::ExplicitTls, "host" },
        { "ftps://[::1]", Security::ImplicitTls, "::1" },
        // Not a scheme: "ftpsx://" is taken as typed, so the connection fails visibly.
        { "ftpsx://host", Security::Plain, "ftpsx://host" },
        { "", Security::Plain, "" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const auto parsed = vorn::ftp::ParseServerText(row.text);
        EXPECT_EQ(parsed.security, row.security);
        EXPECT_EQ(parsed.host, row.host);
    }
}

TEST(ServerText, AddressTextsThatCannotBeConnectedToAreInvalid)
{
    EXPECT_TRUE(sf::IPAddress("127.0.0.1").IsValid());
    EXPECT_TRUE(sf::IPAddress("127.0.0.1").IsNumeric());
    EXPECT_TRUE(sf::IPAddress("::1").IsNumeric());
    EXPECT_TRUE(sf::IPAddress("ftp.example.com").IsValid());
    EXPECT_FALSE(sf::IPAddress("ftp.example.com").IsNumeric());
    EXPECT_FALSE(sf::IPAddress("").IsValid());
    EXPECT_FALSE(sf::IPAddress("two words").IsValid());
    EXPECT_FALSE(sf::IPAddress("host\r\nUSER x").IsValid());
    EXPECT_FALSE(sf::IPAddress("ftp://host").IsValid());
}

TEST(RemoteName, PathsAreSplitAndJoinedWithOneSlash)
{
    EXPECT_EQ(vorn::LastPathComponent("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(vorn::LastPathComponent("c.txt"), "c.txt");
    EXPECT_EQ(vorn::LastPathComponent("/a/"), "");
    EXPECT_EQ(vorn::JoinPath("/in", "x"), "/in/x");
    EXPECT_EQ(vorn::JoinPath("/in/", "x"), "/in/x");
    EXPECT_EQ(vorn::JoinPath("/", "x"), "/x");
    EXPECT_EQ(vorn::JoinPath("", "x"), "x");
}

} // namespace
