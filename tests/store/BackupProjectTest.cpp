#include "store/BackupProject.h"

#include "store/ProjectTexts.h"

#include <gtest/gtest.h>

using namespace vorn;

TEST(PlanText, WritesCodesWithBarsAndReadsUpToTheLastBar)
{
    EXPECT_EQ(FormatPlanText({}), "");
    EXPECT_EQ(FormatPlanText({ 1021, 1035, 1051 }), "1021|1035|1051|");

    const std::pair<const char*, std::vector<std::int32_t>> rows[] = {
        { "", {} },
        { "1021|1035|1051|", { 1021, 1035, 1051 } },
        { "1021|1035", { 1021 } }, // a final piece without "|" is dropped
        { "1056", {} },
        { "||7|", { 0, 0, 7 } },
        { "x|1060abc| 1062|", { 0, 1060, 1062 } },
        { "99999999999|", { 2147483647 } },
    };
    for (const auto& [text, codes] : rows) {
        std::vector<std::int32_t> read { 1056 }; // codes are appended, never replace the list
        AppendPlanCodes(text, read);
        std::vector<std::int32_t> expected { 1056 };
        expected.insert(expected.end(), codes.begin(), codes.end());
        EXPECT_EQ(read, expected) << "text: " << text;
    }
}

TEST(ProjectTexts, FolderTextsJoinWithoutSeparatorAndDependOnType)
{
    struct Row {
        std::int32_t type;
        const char *ip, *source, *destIp, *destPath, *sourceText, *destText;
    };
    const Row rows[] = {
        { 1, "srv", "/www", "dst", "/in", "ftp://srv/www", "/backup" },
        { 2, "srv", "/www", "dst", "/in", "ftp://srv/www", "ftp://dst/in" },
        { 2, "10.0.0.1", "www", "10.0.0.2", "in", "ftp://10.0.0.1www", "ftp://10.0.0.2in" },
        { 0, "srv", "", "dst", "/in", "ftp://srv", "" },
        { 3, "", "", "dst", "/in", "ftp://", "" },
        { 2, "sftp://srv", "/www", "ftpes://dst", "/in", "sftp://srv/www", "ftpes://dst/in" },
    };
    for (const Row& row : rows) {
        const BackupProject p { .ftpsource = row.source,
            .ftpdest = "/backup",
            .ftpip = row.ip,
            .ftptype = row.type,
            .ftpdestpath = row.destPath,
            .ftpdestip = row.destIp };
        EXPECT_EQ(SourceFolderText(p), row.sourceText) << row.type;
        EXPECT_EQ(DestinationFolderText(p), row.destText) << row.type;
        // The list query gives the type as stored text; it must read the same.
        const ProjectListRow listRow { .ftpip = row.ip,
            .ftpsource = row.source,
            .ftpdest = "/backup",
            .ftptype = std::to_string(row.type),
            .ftpdestip = row.destIp,
            .ftpdestpath = row.destPath };
        EXPECT_EQ(DestinationFolderText(listRow), row.destText) << row.type;
        EXPECT_EQ(SourceFolderText(listRow), row.sourceText) << row.type;
    }
    const BackupProject scheduled {
        .ftpplanmode = 1, .ftpplan = { 1021, 1035 }, .ftphour = 7, .ftpminute = -1, .ftpdaymode = 3
    };
    EXPECT_EQ(MakeScheduleTexts(scheduled), (ScheduleTexts { "1", "1021|1035|", "7", "-1", "3" }));
}

// Stored 1 and 2 name the two kinds and are written back as they were; any other number is
// a project of no known kind.
TEST(BackupProject, FtpTypeReadsAndWritesTheStoredNumber)
{
    const std::pair<std::int32_t, FtpType> rows[] = { { 1, FtpType::FtpToLocal }, { 2, FtpType::FtpToFtp },
        { 0, FtpType::Unknown }, { 3, FtpType::Unknown }, { -1, FtpType::Unknown } };
    for (const auto& [stored, type] : rows) {
        EXPECT_EQ(FtpTypeOf(stored), type) << stored;
        EXPECT_EQ(BackupProject { .ftptype = stored }.type(), type) << stored;
        if (type != FtpType::Unknown)
            EXPECT_EQ(StoredFtpType(type), stored);
    }
}
