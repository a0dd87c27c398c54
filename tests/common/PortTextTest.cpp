#include "common/PortText.h"

#include <gtest/gtest.h>

using vorn::ParsePort;

// Every text a port field may hold: only plain digits in range are a port; the rest is
// refused with a message naming the text, never wrapped (70000 is not 4464, -1 not 65535).
TEST(PortText, DigitsOnlyFromOneTo65535)
{
    const std::pair<const char*, int> rows[] = { { "21", 21 }, { "1", 1 }, { "65535", 65535 }, { "021", 21 },
        { "70000", 0 }, { "65536", 0 }, { "-1", 0 }, { "0", 0 }, { "", 0 }, { " 21", 0 }, { "21 ", 0 },
        { "+21", 0 }, { "2a", 0 }, { "99999999999", 0 }, { "0000021", 21 } };
    for (const auto& [text, port] : rows) {
        const auto parsed = ParsePort(text);
        EXPECT_EQ(parsed.port, port) << text;
        EXPECT_EQ(bool(parsed), port != 0) << text;
        if (port == 0)
            EXPECT_NE(parsed.error.find(std::string("\"") + text + "\""), std::string::npos) << parsed.error;
    }
}
