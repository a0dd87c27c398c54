// The parsers of the replies that carry data, on the texts real servers send and on the
// malformed ones a broken or hostile server may send instead.
#include "ftpclient/FtpReplies.h"

#include <gtest/gtest.h>

namespace {

using vorn::ftp::ParseEpsvPort;
using vorn::ftp::ParseFeatures;
using vorn::ftp::ParsePasvPort;
using vorn::ftp::ParseQuotedPath;

struct PortRow {
    const char* text;
    std::optional<std::uint16_t> port;
};

TEST(FtpReplies, PassivePorts)
{
    const PortRow rows[] = {
        { "Entering Passive Mode (127,0,0,1,195,80).", 195 * 256 + 80 },
        { "Entering Passive Mode 10,0,0,5,4,1", 4 * 256 + 1 }, // without parentheses
        { "=127,0,0,1,0,21", 21 },
        { "Entering Passive Mode (1,2,3,4,255,255)", 65535 },
        { "Model 2 (127,0,0,1,7,8)", 7 * 256 + 8 }, // a number in the prose first
        // Malformed: too few numbers, a number above 255, port 0, nothing at all.
        { "Entering Passive Mode (127,0,0,1,195)", std::nullopt },
        { "Entering Passive Mode (127,0,0,1,256,80)", std::nullopt },
        { "Entering Passive Mode (127,0,0,1,0,0)", std::nullopt },
        { "Entering Passive Mode (127,0,0,1,,80)", std::nullopt },
        { "Entering Passive Mode (99999999999999999999,0,0,1,2,3)", std::nullopt },
        { "Entering Passive Mode", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParsePasvPort(row.text), row.port) << row.text;
}

TEST(FtpReplies, ExtendedPassivePorts)
{
    const PortRow rows[] = {
        { "Entering Extended Passive Mode (|||50000|)", 50000 },
        { "Entering Extended Passive Mode (!!!21!)", 21 },
        { "EPSV ok (|||65535|)", 65535 },
        // Malformed: a port out of range or zero, mixed or missing delimiters, an address
        // where none belongs, digits as delimiters, a cut-off text.
        { "Entering Extended Passive Mode (|||65536|)", std::nullopt },
        { "Entering Extended Passive Mode (|||0|)", std::nullopt },
        { "Entering Extended Passive Mode (|||50000!)", std::nullopt },
        { "Entering Extended Passive Mode (||50000|)", std::nullopt },
        { "Entering Extended Passive Mode (|1|127.0.0.1|50000|)", std::nullopt },
        { "Entering Extended Passive Mode (1115000001)", std::nullopt },
        { "Entering Extended Passive Mode (|||50000", std::nullopt },
        { "Entering Extended Passive Mode (|||", std::nullopt },
        { "Entering Extended Passive Mode (|||99999999999999999999|)", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParseEpsvPort(row.text), row.port) << row.text;
}

TEST(FtpReplies, QuotedFolders)
{
    struct Row {
        const char* text;
        std::optional<std::string> path;
    };
    const Row rows[] = {
        { "\"/home/user\" is the current directory", "/home/user" },
        { "\"/a \"\"quoted\"\" folder\" is current", "/a \"quoted\" folder" },
        { "\"/\"", "/" },
        { "\"C:/Users/Name With Blanks\"", "C:/Users/Name With Blanks" },
        { "/bare/path is current", "/bare/path" }, // no quotes: up to the first blank
        { "\"/ünï 名\" ok", "/ünï 名" },
        // Malformed: an empty path, a quote never closed, nothing at all.
        { "\"\" is current", std::nullopt },
        { "\"/cut off", std::nullopt },
        { "\"/a \"\"", std::nullopt },
        { "", std::nullopt },
        { " leading blank", std::nullopt },
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParseQuotedPath(row.text), row.path) << row.text;
}

TEST(FtpReplies, Features)
{
    using Set = std::set<std::string>;
    struct Row {
        const char* text;
        Set features;
    };
    const Row rows[] = {
        { "Features:\n MDTM\n REST STREAM\n utf8\n SIZE\nEnd",
            { "MDTM", "REST", "REST STREAM", "UTF8", "SIZE" } },
        { "Extensions supported:\r\n MLST type*;size*;modify*;\r\n EPSV\r\nEnd.",
            { "MLST", "MLST TYPE*;SIZE*;MODIFY*;", "EPSV" } },
        // Prose only, blank feature lines, and a line of blanks name nothing.
        { "No features", {} },
        { "Features:\n \n   \nEnd", {} },
        { "", {} },
        // Indented by more than one blank, as some servers do.
        { "Features:\n  MDTM\n   SIZE 1\nEnd", { "MDTM", "SIZE", "SIZE 1" } },
        // A feature line cut off at the end of the text still counts.
        { "Features:\n MDTM", { "MDTM" } },
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParseFeatures(row.text), row.features) << row.text;
}

} // namespace
