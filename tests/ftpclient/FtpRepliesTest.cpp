// The parsers of the replies that carry data, on the texts real servers send and on the
// malformed ones a broken or hostile server may send instead.
#include "ftpclient/FtpReplies.h"

#include <gtest/gtest.h>

namespace {

using vorn::ftp::ParseDigestReply;
using vorn::ftp::ParseEpsvPort;
using vorn::ftp::ParseFeatures;
using vorn::ftp::ParseHashAlgorithms;
using vorn::ftp::ParseHashReply;
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

// HASH's FEAT argument, the 213 to HASH, and the replies of the X commands as servers give
// them (value first or last, 250 or 213, a CRC without its leading zeros).
TEST(FtpReplies, Checksums)
{
    using Names = std::vector<std::string>;
    EXPECT_EQ(
        ParseHashAlgorithms("SHA-256*;sha-1;MD5;CRC32"), (Names { "SHA-256", "SHA-1", "MD5", "CRC32" }));
    EXPECT_EQ(ParseHashAlgorithms(";;SHA-512\r"), Names { "SHA-512" });
    EXPECT_EQ(ParseHashAlgorithms(""), Names {});

    const std::string sha256(64, 'a');
    struct HashRow {
        std::string text;
        std::optional<std::string> hex; // and the algorithm is the text's first word
    };
    const HashRow hashRows[] = {
        { "SHA-256 0-49 " + sha256 + " /a b.txt", sha256 },
        { "sha-1 0-5 0E79857E534D3EC0B3BD263AB716E0016D30F59E f",
            "0e79857e534d3ec0b3bd263ab716e0016d30f59e" },
        { "CRC32 0-6 363a3020 /a.txt", "363a3020" },
        { "SHA-256 10-49 " + sha256 + " part", std::nullopt }, // not the whole file
        { "SHA-256 0-49 " + sha256.substr(1) + " short", std::nullopt },
        { "MD5 0-1 zz6ab15dfc1b6d9b38cffb01f963fd1 f", std::nullopt },
        { "SHA-512 0-1 abcd f", std::nullopt }, // unknown algorithm
        { "", std::nullopt },
    };
    for (const HashRow& row : hashRows) {
        const auto parsed = ParseHashReply(row.text);
        EXPECT_EQ(parsed ? std::optional(parsed->hex) : std::nullopt, row.hex) << row.text;
    }
    EXPECT_EQ(ParseHashReply("sha-1 0-5 0e79857e534d3ec0b3bd263ab716e0016d30f59e f")->algorithm, "SHA-1");

    struct DigestRow {
        const char* text;
        std::size_t length;
        std::optional<std::string> hex;
    };
    const DigestRow digestRows[] = {
        { "B1946AC92492D2347C6235B4D2611184", 32, "b1946ac92492d2347c6235b4d2611184" },
        { "/cafe.txt b1946ac92492d2347c6235b4d2611184", 32, "b1946ac92492d2347c6235b4d2611184" },
        { "b1946ac92492d2347c6235b4d2611184 /a.txt", 32, "b1946ac92492d2347c6235b4d2611184" },
        { "cafe 363a3020", 8, "363a3020" }, // a hex-looking name is not taken before the value
        { "3a3020", 8, "003a3020" },
        { "File not found", 8, std::nullopt },
        { "b1946ac92492d2347c6235b4d261118", 32, std::nullopt },
    };
    for (const DigestRow& row : digestRows)
        EXPECT_EQ(ParseDigestReply(row.text, row.length), row.hex) << row.text;
}

} // namespace
