#include "store/BackupProject.h"

#include "store/ProjectTexts.h"

#include <gtest/gtest.h>
#include <vector>

using namespace vorn;

TEST(PlanText, WritesEveryCodeFollowedByABar)
{
    EXPECT_EQ(FormatPlanText({}), "");
    EXPECT_EQ(FormatPlanText({ 1021 }), "1021|");
    EXPECT_EQ(FormatPlanText({ 1021, 1035, 1051 }), "1021|1035|1051|");
    EXPECT_EQ(FormatPlanText({ -5, 0 }), "-5|0|");
}

TEST(PlanText, ReadsCodesUpToTheLastBar)
{
    struct Row {
        const char* text;
        std::vector<std::int32_t> codes;
    };
    const Row rows[] = {
        { "", {} },
        { "1021|1035|1051|", { 1021, 1035, 1051 } },
        { "1021|1035", { 1021 } }, // a final piece without "|" is dropped
        { "1056", {} },
        { "|", { 0 } },
        { "||7|", { 0, 0, 7 } },
        { "x|1060abc|", { 0, 1060 } },
        { " 1062|", { 1062 } },
        { "99999999999|", { 2147483647 } },
    };
    for (const Row& row : rows) {
        std::vector<std::int32_t> codes;
        AppendPlanCodes(row.text, codes);
        EXPECT_EQ(codes, row.codes) << "text: " << row.text;
    }
}

TEST(PlanText, AppendsToTheCodesAlreadyThereAndRoundTrips)
{
    std::vector<std::int32_t> codes { 1056 };
    AppendPlanCodes("1057|1062|", codes);
    EXPECT_EQ(codes, (std::vector<std::int32_t> { 1056, 1057, 1062 }));

    std::vector<std::int32_t> again;
    AppendPlanCodes(FormatPlanText(codes), again);
    EXPECT_EQ(again, codes);
}

TEST(ProjectTexts, FolderTextsJoinWithoutSeparatorAndDependOnType)
{
    struct Row {
        std::int32_t type;
        const char* ip;
        const char* source;
        const char* dest;
        const char* destIp;
        const char* destPath;
        const char* sourceText;
        const char* destText;
    };
    const Row rows[] = {
        { 1, "srv", "/www", "/backup/www", "dst", "/in", "ftp://srv/www", "/backup/www" },
        { 2, "srv", "/www", "/backup/www", "dst", "/in", "ftp://srv/www", "ftp://dst/in" },
        { 2, "10.0.0.1", "www", "", "10.0.0.2", "in", "ftp://10.0.0.1www", "ftp://10.0.0.2in" },
        { 0, "srv", "", "/backup", "dst", "/in", "ftp://srv", "" },
        { 3, "", "", "/backup", "dst", "/in", "ftp://", "" },
    };
    for (const Row& row : rows) {
        BackupProject project;
        project.ftptype = row.type;
        project.ftpip = row.ip;
        project.ftpsource = row.source;
        project.ftpdest = row.dest;
        project.ftpdestip = row.destIp;
        project.ftpdestpath = row.destPath;
        EXPECT_EQ(SourceFolderText(project), row.sourceText) << "type " << row.type;
        EXPECT_EQ(DestinationFolderText(project), row.destText) << "type " << row.type;

        // The list query gives the type as stored text; it must read the same way.
        ProjectListRow listRow;
        listRow.ftptype = std::to_string(row.type);
        listRow.ftpip = row.ip;
        listRow.ftpsource = row.source;
        listRow.ftpdest = row.dest;
        listRow.ftpdestip = row.destIp;
        listRow.ftpdestpath = row.destPath;
        EXPECT_EQ(SourceFolderText(listRow), row.sourceText) << "type " << row.type;
        EXPECT_EQ(DestinationFolderText(listRow), row.destText) << "type " << row.type;
    }
}

TEST(ProjectTexts, ScheduleTextsAreTheStoredForms)
{
    BackupProject project;
    project.ftpplanmode = 1;
    project.ftpplan = { 1021, 1035 };
    project.ftphour = 7;
    project.ftpminute = -1;
    project.ftpdaymode = 3;
    const ScheduleTexts texts = MakeScheduleTexts(project);
    EXPECT_EQ(texts.planMode, "1");
    EXPECT_EQ(texts.plan, "1021|1035|");
    EXPECT_EQ(texts.hour, "7");
    EXPECT_EQ(texts.minute, "-1");
    EXPECT_EQ(texts.dayMode, "3");
}
