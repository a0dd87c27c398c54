// LIST lines in the forms servers print them, one family per table: every line must give its
// entry, and a line that is no entry must be reported, not dropped.
#include "ftpclient/Listing.h"

#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using vorn::ftp::ParseListLine;

namespace {

constexpr auto File = vorn::remote::EntryKind::File;
constexpr auto Folder = vorn::remote::EntryKind::Folder;

// 1 June 2013, 12:00 UTC: dates without a year after it belong to 2012.
constexpr std::time_t Now = 1370088000;

struct Row {
    std::string line;
    sf::Info expected;
};

std::string Describe(const std::optional<sf::Info>& info)
{
    if (!info)
        return "(nothing)";
    // "~" marks a rounded size, which cannot tell whether a copy is complete.
    return "[" + info->name + "] " + (info->IsFile() ? "file" : "folder")
        + " size=" + (info->sizeApproximate ? "~" : "") + info->size + " time=" + info->time
        + (info->unusable.empty() ? "" : " unusable=" + info->unusable);
}

void ExpectRows(const std::vector<Row>& rows)
{
    for (const Row& row : rows)
        EXPECT_EQ(Describe(ParseListLine(row.line, Now)), Describe(row.expected)) << row.line;
}

} // namespace

TEST(ListingForms, UnixColumnsPresentOrMissing)
{
    ExpectRows({
        { "-rw-r--r--   1 owner    group         531 Jan 29 03:26 README",
            { "README", File, "531", "2013012903:26" } },
        { "drwxr-xr-x   2 owner    group         512 Oct 22  2002 pub",
            { "pub", Folder, "512", "20021022" } },
        { "-rw-r--r--   1 owner         531 Jan 29 03:26 no group",
            { "no group", File, "531", "2013012903:26" } },
        { "-rw-r--r--   owner  group    531 Jan 29 03:26 no links",
            { "no links", File, "531", "2013012903:26" } },
        { "-rw-r--r--   1 owner  group  DOMAIN  1234 Mar 15 14:25 domain column",
            { "domain column", File, "1234", "2013031514:25" } },
        { "lrwxrwxrwx   1 root     root            7 Mar 15 14:25 bin -> usr/bin",
            { "bin", File, "", "2013031514:25" } },
        { "-rwsr-xr-x   1 root     root        54256 Mar 15  2012 setuid",
            { "setuid", File, "54256", "20120315" } },
        { "drwxrwxrwt   9 root     root         4096 Mar 15 14:25 sticky",
            { "sticky", Folder, "4096", "2013031514:25" } },
        { "1835027 -rw-r--r--   1 owner group   531 Jan 29 03:26 with inode",
            { "with inode", File, "531", "2013012903:26" } },
        { "   8 drwxr-xr-x   2 owner group  4096 Jan 29 03:26 with blocks",
            { "with blocks", Folder, "4096", "2013012903:26" } },
        { "drwxr-xr-x@  5 mac      staff         170 Mar 15 14:25 Mac Folder",
            { "Mac Folder", Folder, "170", "2013031514:25" } },
    });
}

TEST(ListingForms, UnixNumericDates)
{
    ExpectRows({
        { "-rw-r--r--   1 user     group        1234  3 29 03:26 numeric.txt",
            { "numeric.txt", File, "1234", "2013032903:26" } },
        { "-rw-r--r--   1 user     group        1234 29  3 03:26 day first",
            { "day first", File, "1234", "2013032903:26" } },
        { "-rw-r--r--   1 user     group        1234 09-26  2000 dashed year",
            { "dashed year", File, "1234", "20000926" } },
        { "-rw-r--r--   1 user     group        1234 09-26 13:45 dashed time",
            { "dashed time", File, "1234", "2012092613:45" } },
        { "-rw-r--r--   1 user     group        1234 1999/10/12 17:12 slashed",
            { "slashed", File, "1234", "1999101217:12" } },
        { "-rw-r--r--   1 user     group        1234 24-04-2003 17:12 european",
            { "european", File, "1234", "2003042417:12" } },
        { "-rw-r--r--   1 user     group        1234 2004.07.15 dotted",
            { "dotted", File, "1234", "20040715" } },
        { "-rw-r--r--   1 user     group        1234 15.03.2012 german dots",
            { "german dots", File, "1234", "20120315" } },
        { "-rw-r--r--   1 user     group        1234 03/04/2005 10:00 us order",
            { "us order", File, "1234", "2005030410:00" } },
        { "-rw-r--r--   1 user     group        1234 03.04.2005 10:00 day order",
            { "day order", File, "1234", "2005040310:00" } },
        { "-rw-r--r-- 1 user group 1234 2012-03-15 14:25:36.000000000 +0100 full time",
            { "full time", File, "1234", "2012031514:25" } },
    });
}

TEST(ListingForms, UnixLocalizedDates)
{
    ExpectRows({
        { "-rw-r--r--   1 user     group        1234 26. Juli, 20:10 german recent",
            { "german recent", File, "1234", "2012072620:10" } },
        { "drwxr-xr-x   3 user     group        4096  2.   Okt.  2003 german old",
            { "german old", Folder, "4096", "20031002" } },
        { "-rw-r--r--   1 user     group        1234 15. Mär 14:25 german march",
            { "german march", File, "1234", "2013031514:25" } },
        { "-rw-r--r--   1 user     group        1234 15. M\xe4r 14:25 latin1 march",
            { "latin1 march", File, "1234", "2013031514:25" } },
        { "-rw-r--r--   1 user     group        1234 Mai 15  2010 german may",
            { "german may", File, "1234", "20100515" } },
        { "-rw-r--r--   1 user     group        1234 15 févr. 14:25 french",
            { "french", File, "1234", "2013021514:25" } },
        { "-rw-r--r--   1 user     group        1234 juil.  4  2011 french july",
            { "french july", File, "1234", "20110704" } },
        { "-rw-r--r--   1 user     group        1234  1 d\xe9"
          "c.  2010 latin1 dec",
            { "latin1 dec", File, "1234", "20101201" } },
        { "-rw-r--r--   1 user     group        1234 ene 10  2012 spanish",
            { "spanish", File, "1234", "20120110" } },
        { "-rw-r--r--   1 user     group        1234 10 dic  2011 spanish dec",
            { "spanish dec", File, "1234", "20111210" } },
        { "-rw-r--r--   1 user     group        1234 mag 20 09:15 italian",
            { "italian", File, "1234", "2013052009:15" } },
        { "-rw-r--r--   1 user     group        1234 giu  3  2010 italian june",
            { "italian june", File, "1234", "20100603" } },
        { "-rw-r--r--   1 user     group        1234 mrt  5  2012 dutch",
            { "dutch", File, "1234", "20120305" } },
        { "-rw-r--r--   1 user     group        1234 mei 31 10:00 dutch may",
            { "dutch may", File, "1234", "2013053110:00" } },
        { "-rw-r--r--   1 user     group        1234 01-jun-99 dashed month",
            { "dashed month", File, "1234", "19990601" } },
        { "-rw-r--r--   1 user     group        1234 01 oct 2004 day month year",
            { "day month year", File, "1234", "20041001" } },
        { "-rw-r--r--   1 user     group        1234 Oct 08, 2002 09:47 comma",
            { "comma", File, "1234", "2002100809:47" } },
    });
}

// The CJK forms in UTF-8 and, by the bytes of 月/日/年, in Shift_JIS, EUC-JP, GBK, Big5 and
// EUC-KR. Names in those encodings stay as their bytes.
TEST(ListingForms, UnixCjkDates)
{
    ExpectRows({
        { "-rw-r--r--   1 user     group        1234  3月 15 14:25 日本語.txt",
            { "日本語.txt", File, "1234", "2013031514:25" } },
        { "-rw-r--r--   1 user     group        1234 2003年 9月 26日 with year",
            { "with year", File, "1234", "20030926" } },
        { "-rw-r--r--   1 user     group        1234 12月 18日 2012 year after",
            { "year after", File, "1234", "20121218" } },
        { "-rw-r--r--   1 user     group        1234 2003年09月26日 14:25 compact",
            { "compact", File, "1234", "2003092614:25" } },
        { "drwxr-xr-x   2 user     group        4096  5월 20 10:30 한국어",
            { "한국어", Folder, "4096", "2013052010:30" } },
        { "-rw-r--r--   1 user     group        1234  3\x8c\x8e 15 14:25 sjis \x93\xfa\x96\x7b",
            { "sjis \x93\xfa\x96\x7b", File, "1234", "2013031514:25" } },
        { "-rw-r--r--   1 user     group        1234 2003\xc7\xaf  9\xb7\xee 26\xc6\xfc euc-jp",
            { "euc-jp", File, "1234", "20030926" } },
        { "-rw-r--r--   1 user     group        1234 12\xd4\xc2 18\xc8\xd5  2012 gbk",
            { "gbk", File, "1234", "20121218" } },
        { "-rw-r--r--   1 user     group        1234  3\xa4\xeb 15 14:25 big5",
            { "big5", File, "1234", "2013031514:25" } },
        { "-rw-r--r--   1 user     group        1234  5\xbf\xf9 20 10:30 euc-kr",
            { "euc-kr", File, "1234", "2013052010:30" } },
    });
}

TEST(ListingForms, OddColumnsNetWareAndOctalModes)
{
    ExpectRows({
        { "-rw-r--r--   1 user     group       33.5k Mar 15 14:25 kilo",
            { "kilo", File, "34304", "2013031514:25", {}, true } },
        { "-rw-r--r--   1 user     group        4.0K Mar 15 14:25 ls -h",
            { "ls -h", File, "4096", "2013031514:25", {}, true } },
        { "-rw-r--r--   1 user     group        1,5M Mar 15  2012 mega",
            { "mega", File, "1572864", "20120315", {}, true } },
        { "-rw-r--r--   1 user     group          2G Mar 15  2012 giga",
            { "giga", File, "2147483648", "20120315", {}, true } },
        { "-rw-r--r--   1 user     group   1,234,567 Mar 15 14:25 separated",
            { "separated", File, "1234567", "2013031514:25" } },
        { "-rw-r--r--   1 owner    staff12345678 Mar 15 14:25 fused",
            { "fused", File, "12345678", "2013031514:25" } },
        { "-------r--         326  1391972  1392298 Nov 22  1995 MegaPhone.sit",
            { "MegaPhone.sit", File, "1392298", "19951122" } },
        { "drwxrwxr-x               folder        2 May 10  1996 network",
            { "network", Folder, "2", "19960510" } },
        { "d [R----F--] supervisor            512       Jan 16 18:53    login",
            { "login", Folder, "512", "2013011618:53" } },
        { "- [RWCEAFMS] rhesus             214059       Oct 20 15:27    cx.exe",
            { "cx.exe", File, "214059", "2012102015:27" } },
        { "100644 1 500 100 1234 1155110400 octal file", { "octal file", File, "1234", "2006080908:00" } },
        { "40755 2 500 100 4096 1155110400 octal folder",
            { "octal folder", Folder, "4096", "2006080908:00" } },
        { "0100644 500 100 123456789 1234567890 big octal",
            { "big octal", File, "123456789", "2009021323:31" } },
    });
}

TEST(ListingForms, DosAndIis)
{
    ExpectRows({
        { "2002-09-02  10:20AM       <DIR>          iso folder",
            { "iso folder", Folder, "", "2002090210:20" } },
        { "2002-09-02  18:48                 9,730 iso 24h.txt",
            { "iso 24h.txt", File, "9730", "2002090218:48" } },
        { "09-02-02  10:20AM                 1,024 two digit.txt",
            { "two digit.txt", File, "1024", "2002090210:20" } },
        { "10-23-2002  11:33PM           123,456,789 big.iso",
            { "big.iso", File, "123456789", "2002102323:33" } },
        { "10/23/2002  11:33PM                  17 slashes", { "slashes", File, "17", "2002102323:33" } },
    });
}

// Each of these is a line the client cannot read: it comes back as an entry the walk reports,
// named after the line's last word, with the line in the reason.
TEST(ListingForms, LinesNotUnderstoodAreReported)
{
    const std::vector<std::pair<std::string, std::string>> rows {
        { "hello world", "world" },
        { "-rw-r--r-- 1 u g 5 Foo 15 14:25 bad month", "month" },
        { "-rw-r--r-- 1 u g 5 Mar 32 14:25 bad day", "day" },
        { "-rw-r--r-- 1 u g 5 Mar 15 24:00 bad hour", "hour" },
        { "-rw-r--r-- 1 u g 5 Mar 15 14:60 bad minute", "minute" },
        { "-rw-r--r-- 1 u g five Mar 15 14:25 size in words", "words" },
        { "-rw-r--r-- 1 u g 18446744073709551616 Mar 15 14:25 beyond 64 bits", "bits" },
        { "-rw-r--r-- 1 u g 5 Mar 15 14:25", "14:25" },
        { "-rw-r--r-- 1 u g 5 Mar 15 14:25 ", "14:25" },
        { "-rwxrwxrwz 1 u g 5 Mar 15 14:25 bad permissions", "permissions" },
        { "-rw 1 u g 5 Mar 15 14:25 short permissions", "permissions" },
        { "garbage ..", "garbage .." },
        { "+i8388621.48594,m825718503,r,s280,\tdjb.html", "djb.html" },
        { "README.TXT;1        2/3  15-MAR-2012 14:25 [GROUP,OWNER] (RWED,RWED,RE,)", "(RWED,RWED,RE,)" },
        { "03-15-12  02:25PM", "02:25PM" },
        { "13-15-12  02:25PM                    1 month thirteen", "thirteen" },
        { "03-15-12  13:25PM                    1 hour thirteen", "thirteen" },
        { "03-15-12  02:25PM                 12a4 x", "x" },
        { "03-15-12  02:25PM       <DIR>          ", "<DIR>" },
        { "03.15.12  02:25PM                    1 dots", "dots" },
        { "0", "0" },
        { "total", "total" },
        { "odd\x01"
          "byte name\x7f",
            "name\\x7f" },
        { std::string("nul in\0name", 11), "in\\x00name" },
    };
    for (const auto& [line, name] : rows) {
        const auto entry = ParseListLine(line, Now);
        ASSERT_TRUE(entry) << line;
        EXPECT_EQ(entry->name, name) << line;
        EXPECT_TRUE(entry->IsFile()) << line;
        EXPECT_EQ(entry->size, "") << line;
        EXPECT_TRUE(entry->unusable.starts_with("Listing line not understood: ")) << entry->unusable;
        EXPECT_EQ(entry->unusable.find_first_of(std::string_view("\0\x01\x7f\r\n", 5)), std::string::npos)
            << entry->unusable;
    }
    const std::string longLine(5000, 'x');
    EXPECT_EQ(ParseListLine(longLine, Now)->unusable,
        "Listing line not understood: " + longLine.substr(0, 200) + "...");
}

// What lists nothing: headers, blanks, the folder itself and its parent, and entries that
// are no file or folder.
TEST(ListingForms, HeadersBlanksAndDevicesListNothing)
{
    for (const std::string line : {
             "",
             "   ",
             "\r\n",
             "total 12",
             "TOTAL 0",
             "total 1.5M",
             "insgesamt 48",
             "合計 16",
             "总用量 8",
             "drwxr-xr-x   2 ftp      ftp          4096 Mar 15 14:25 ..",
             "03-15-12  02:25PM       <DIR>          .",
         }) {
        EXPECT_EQ(Describe(ParseListLine(line, Now)), "(nothing)") << line;
    }
    // Devices, pipes and sockets are entries of their own kind, so the walk can say why it
    // leaves them.
    for (const auto& [line, name] : std::vector<std::pair<std::string, std::string>> {
             { "crw-rw-rw- 1 root root 1, 3 Mar 15 14:25 null", "null" },
             { "brw-rw---- 1 root disk 8, 0 Mar 15 14:25 sda", "sda" },
             { "prw-r--r-- 1 u g 0 Mar 15 14:25 fifo", "fifo" },
             { "srwxrwxrwx 1 u g 0 Mar 15 14:25 socket", "socket" },
             { "20666 1 0 0 0 1155110400 octal device", "octal device" },
         }) {
        const auto entry = ParseListLine(line, Now);
        ASSERT_TRUE(entry) << line;
        EXPECT_EQ(entry->name, name);
        EXPECT_EQ(entry->kind, vorn::remote::EntryKind::Other) << line;
    }
}
