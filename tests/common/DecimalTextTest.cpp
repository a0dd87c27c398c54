#include "common/DecimalText.h"

#include <gtest/gtest.h>

#include <limits>

using vorn::ParseByteCount;
using vorn::ParseDecimal;
using vorn::ParseDecimal32;

TEST(DecimalText, ReadsLeadingDigitsLikeAtoi)
{
    EXPECT_EQ(ParseDecimal("21"), 21);
    EXPECT_EQ(ParseDecimal("  42abc"), 42);
    EXPECT_EQ(ParseDecimal("-7"), -7);
    EXPECT_EQ(ParseDecimal("+3"), 3);
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("abc"), 0);
    EXPECT_EQ(ParseDecimal("1021|"), 1021);
}

TEST(DecimalText, SaturatesInsteadOfOverflowing)
{
    EXPECT_EQ(ParseDecimal("99999999999999999999999"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(ParseDecimal("-99999999999999999999999"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(ParseDecimal32("4294967296"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(ParseByteCount("18446744073709551616"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(ParseByteCount("5368709120"), 5368709120ULL);
    EXPECT_EQ(ParseByteCount("-5"), 0u);
}
