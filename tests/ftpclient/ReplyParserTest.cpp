#include "ftpclient/ReplyParser.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using vorn::ftp::Reply;
using vorn::ftp::ReplyParser;

std::vector<Reply> ParseAll(const std::string& bytes, bool* failed = nullptr)
{
    ReplyParser parser;
    parser.Feed(bytes);
    std::vector<Reply> replies;
    while (auto reply = parser.Next())
        replies.push_back(*reply);
    if (failed)
        *failed = parser.Failed();
    return replies;
}

struct ReplyCase {
    const char* name;
    std::string bytes;
    std::vector<std::pair<int, std::string>> expected;
    bool failed;
};

// Test names and failure messages show the row by its name.
void PrintTo(const ReplyCase& row, std::ostream* out)
{
    *out << row.name;
}

class ReplyParserCases : public testing::TestWithParam<ReplyCase> { };

TEST_P(ReplyParserCases, YieldsTheRepliesAServerMeant)
{
    const auto& row = GetParam();
    bool failed = false;
    const auto replies = ParseAll(row.bytes, &failed);
    EXPECT_EQ(failed, row.failed);
    ASSERT_EQ(replies.size(), row.expected.size());
    for (std::size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].code, row.expected[i].first) << i;
        EXPECT_EQ(replies[i].text, row.expected[i].second) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReplyParserCases,
    testing::Values(ReplyCase { "single", "220 Service ready\r\n", { { 220, "Service ready" } }, false },
        ReplyCase { "bare_lf", "200 OK\n331 Password\n", { { 200, "OK" }, { 331, "Password" } }, false },
        ReplyCase { "code_only", "226\r\n", { { 226, "" } }, false },
        ReplyCase { "incomplete_line_waits", "150 Opening", {}, false },
        ReplyCase { "multi_line_feat", "211-Features:\r\n MLST type*;size*;modify*;\r\n UTF8\r\n211 End\r\n",
            { { 211, "Features:\n MLST type*;size*;modify*;\n UTF8\nEnd" } }, false },
        // A middle line that starts with another code, or the same code and a blank inside
        // a word, does not end the reply; only "ddd " with the opening code does.
        ReplyCase { "multi_line_false_ends",
            "230-Welcome\r\n220 not the end\r\n230-still here\r\n2301 nope\r\n230 Logged in\r\n",
            { { 230, "Welcome\n220 not the end\nstill here\n2301 nope\nLogged in" } }, false },
        ReplyCase { "multi_then_single", "220-Hi\r\n220 Ready\r\n331 Send password\r\n",
            { { 220, "Hi\nReady" }, { 331, "Send password" } }, false },
        ReplyCase { "unterminated_multi_waits", "211-Features:\r\n UTF8\r\n", {}, false },
        ReplyCase { "quoted_pwd", "257 \"/a \"\"b\"\"\" is current\r\n",
            { { 257, "\"/a \"\"b\"\"\" is current" } }, false },
        ReplyCase { "utf8_text", "257 \"/Grüße\"\r\n", { { 257, "\"/Grüße\"" } }, false },
        ReplyCase { "not_ftp", "HTTP/1.1 400 Bad Request\r\n", {}, true },
        ReplyCase { "code_out_of_range", "600 what\r\n", {}, true },
        ReplyCase { "two_digits", "20 OK\r\n", {}, true },
        ReplyCase { "bad_separator", "200+OK\r\n", {}, true },
        ReplyCase { "good_then_garbage", "200 OK\r\ngarbage\r\n", { { 200, "OK" } }, true }),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(ReplyParser, RefusesEndlessLinesAndReplies)
{
    ReplyParser lineParser;
    lineParser.Feed("220 ");
    lineParser.Feed(std::string(ReplyParser::maxLineLength, 'x'));
    EXPECT_TRUE(lineParser.Failed());

    // Many short lines that never close the reply.
    ReplyParser replyParser;
    replyParser.Feed("211-start\r\n");
    const std::string line(1000, 'y');
    for (int i = 0; i < 1100 && !replyParser.Failed(); ++i)
        replyParser.Feed(line + "\r\n");
    EXPECT_TRUE(replyParser.Failed());
    EXPECT_FALSE(replyParser.HasReply());
}

TEST(ReplyParser, FailedStateStaysUntilReset)
{
    ReplyParser parser;
    parser.Feed("garbage\r\n");
    ASSERT_TRUE(parser.Failed());
    parser.Feed("200 OK\r\n");
    EXPECT_FALSE(parser.HasReply());
    parser.Reset();
    parser.Feed("200 OK\r\n");
    ASSERT_TRUE(parser.HasReply());
    EXPECT_EQ(parser.Next()->code, 200);
}

// Random bytes and random mixtures of reply fragments through the fuzz entry point, which
// aborts when feeding in pieces changes the result. Bounded: fixed seed, fixed count.
TEST(ReplyParser, SurvivesRandomInputCutAnywhere)
{
    std::mt19937 random(20240611);
    static const std::vector<std::string> fragments = {
        "220",
        "-",
        " ",
        "\r\n",
        "\n",
        "\r",
        "211-Features:",
        " UTF8",
        "211 End",
        "150 ",
        "226 Done",
        "257 \"/x\"",
        "\"",
        "999",
        "1",
        "0",
        "abc",
        "\xc3\xa9",
        std::string(1, '\0'),
    };
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        const int pieces = static_cast<int>(random() % 40);
        for (int i = 0; i < pieces; ++i) {
            if (random() % 4 == 0)
                input += static_cast<char>(random() % 256);
            else
                input += fragments[random() % fragments.size()];
        }
        ASSERT_EQ(
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), 0);
    }
}

} // namespace
