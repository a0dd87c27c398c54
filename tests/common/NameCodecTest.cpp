#include "common/NameCodec.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(NameCodec, ConvertsBothWaysEscapesWhatDoesNotConvertAndComposes)
{
    struct Row {
        const char* charset;
        std::string raw;
        std::optional<std::string> utf8; // nothing: the bytes do not convert
        std::string escaped;
    };
    const Row rows[] = {
        { "GBK", "\xD6\xD0\xCE\xC4.txt", "中文.txt", "中文.txt" },
        { "Shift_JIS", "\x93\xFA\x96\x7B\x8C\xEA", "日本語", "日本語" },
        { "CP1251", "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет", "Привет" },
        { "EUC-KR", "\xC7\xD1\xB1\xDB", "한글", "한글" },
        { "GBK",
            "a\xFF"
            "b%\xD6\xD0",
            std::nullopt, "a%FFb%25中" },
        { "GBK", "tail\xD6", std::nullopt, "tail%D6" }, // a character cut off at the end
        { "", "raw\xFF", "raw\xFF", "raw%FF" },
    };
    for (const Row& row : rows) {
        const NameCodec codec(row.charset);
        EXPECT_EQ(codec.ToUtf8(row.raw), row.utf8) << row.charset << " " << row.escaped;
        EXPECT_EQ(codec.Escaped(row.raw), row.escaped) << row.charset;
        if (row.utf8 && codec.active())
            EXPECT_EQ(codec.FromUtf8(*row.utf8), row.raw) << row.charset; // byte for byte back
    }
    EXPECT_EQ(NameCodec("GBK").FromUtf8("ไทย"), std::nullopt) << "GBK has no Thai";
    EXPECT_TRUE(IsKnownCharset("ISO-8859-2") && IsKnownCharset("") && IsKnownCharset("Big5"));
    EXPECT_FALSE(IsKnownCharset("GBK//TRANSLIT") || IsKnownCharset("NO-SUCH-PAGE"));
    EXPECT_EQ(NfcForm("cafe\xCC\x81"), "caf\xC3\xA9");
    EXPECT_EQ(NfcForm("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(NfcForm("bad\xFF"), std::nullopt);
}

} // namespace
} // namespace vorn
