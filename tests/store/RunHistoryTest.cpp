#include "store/RunHistory.h"

#include "StoreTestSupport.h"
#include "store/CopiedFiles.h"
#include "store/ProjectDb.h"
#include "store/ProjectOptions.h"
#include "store/Schema.h"

#include <gtest/gtest.h>

using namespace vorn;
using vorn::test::RawExecute;
using vorn::test::RawQuery;

namespace {

class RunHistoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto opened = ProjectDb::Open(path);
        ASSERT_TRUE(opened.db) << opened.error;
        db = std::move(opened.db);
        for (const char* name : { "Web", "Mail" }) {
            BackupProject project;
            project.ftpname = name;
            project.ftptype = 1;
            ASSERT_TRUE(InsertProject(db.get(), project));
        }
    }
    std::int64_t Id(const std::string& name) { return FindProjectId(db.get(), name).value_or(-1); }
    std::size_t Count(const std::string& table)
    {
        return std::stoul(RawQuery(path, "select count(*) from " + table)[0][0]);
    }

    vorn::test::TempFolder folder;
    std::string path = folder.File("gm_ftp_database.db");
    std::unique_ptr<ProjectDb> db;
};

RunRecord SampleRun(std::time_t start, const std::string& outcome, std::uint64_t failed = 0)
{
    RunRecord run;
    run.start = start;
    run.end = start + 5;
    run.outcome = outcome;
    run.filesCopied = 3;
    run.filesFailed = failed;
    run.bytes = 4096;
    return run;
}

} // namespace

TEST_F(RunHistoryTest, RunsComeBackNewestFirstWithTheirFailedItems)
{
    const std::vector<FailedItem> failed
        = { { "/a/it's.txt", "550 Permission denied." }, { "/b", "Not a usable name" } };
    EXPECT_TRUE(RecordRun(db.get(), Id("Web"), SampleRun(1000, "Success", 2), failed));
    RunRecord fail = SampleRun(2000, "Fail");
    fail.reason = "Login refused: 530 Login incorrect.";
    fail.archivePath = "/backup/Web_1.zip";
    EXPECT_TRUE(RecordRun(db.get(), Id("Web"), fail, { { "/", fail.reason } }));
    EXPECT_TRUE(RecordRun(db.get(), Id("Mail"), SampleRun(1500, "Success"), {}));

    const auto runs = QueryRuns(db.get(), Id("Web"));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].outcome, "Fail");
    EXPECT_EQ(runs[0].reason, fail.reason);
    EXPECT_EQ(runs[0].archivePath, "/backup/Web_1.zip");
    EXPECT_EQ(runs[0].retries + runs[0].reconnects, 0u);
    EXPECT_EQ(runs[1].filesFailed, 2u);
    EXPECT_EQ(runs[1].bytes, 4096u);
    EXPECT_EQ(runs[1].start, 1000);
    EXPECT_EQ(QueryFailedItems(db.get(), runs[1].id), failed);
    EXPECT_EQ(QueryFailedItems(db.get(), runs[0].id), (std::vector<FailedItem> { { "/", fail.reason } }));
    EXPECT_EQ(QueryRuns(db.get(), Id("Mail")).size(), 1u);
}

TEST_F(RunHistoryTest, KeepsTheNewestRunsOfEachProject)
{
    for (int i = 0; i < kKeptRunsPerProject + 5; ++i)
        ASSERT_TRUE(RecordRun(
            db.get(), Id("Web"), SampleRun(i, "Success", 1), { { "/f" + std::to_string(i), "x" } }));
    ASSERT_TRUE(RecordRun(db.get(), Id("Mail"), SampleRun(7, "Success"), {}));
    const auto runs = QueryRuns(db.get(), Id("Web"));
    ASSERT_EQ(runs.size(), std::size_t(kKeptRunsPerProject));
    EXPECT_EQ(runs.front().start, kKeptRunsPerProject + 4);
    EXPECT_EQ(runs.back().start, 5);
    EXPECT_EQ(
        Count("vorn_run_failures"), std::size_t(kKeptRunsPerProject)); // the pruned runs' items went too
    EXPECT_EQ(QueryRuns(db.get(), Id("Mail")).size(), 1u);
}

TEST_F(RunHistoryTest, HistoryFollowsARenameAndGoesWithADelete)
{
    ASSERT_TRUE(RecordRun(db.get(), Id("Web"), SampleRun(10, "Success", 1), { { "/x", "550 No." } }));
    ASSERT_TRUE(RecordRun(db.get(), Id("Mail"), SampleRun(11, "Success"), {}));
    BackupProject renamed;
    ASSERT_TRUE(LoadProject(db.get(), "Web", renamed));
    renamed.ftpname = "Web site";
    ASSERT_TRUE(UpdateProject(db.get(), "Web", renamed));
    EXPECT_FALSE(FindProjectId(db.get(), "Web"));
    ASSERT_EQ(QueryRuns(db.get(), Id("Web site")).size(), 1u);

    ASSERT_TRUE(DeleteProject(db.get(), "Web site"));
    EXPECT_EQ(Count("vorn_runs"), 1u); // Mail's
    EXPECT_EQ(Count("vorn_run_failures"), 0u);
    // A project removed by another program leaves rows behind; the next recorded run clears
    // them, so a project that gets the same ftpid later starts with no history.
    const std::int64_t mail = Id("Mail");
    RawExecute(path, "delete from gm_ftp_plantable where ftpname = 'Mail'");
    BackupProject next;
    next.ftpname = "Next";
    ASSERT_TRUE(InsertProject(db.get(), next));
    ASSERT_TRUE(RecordRun(db.get(), Id("Next"), SampleRun(12, "Success"), {}));
    EXPECT_EQ(QueryRuns(db.get(), mail).size(), Id("Next") == mail ? 1u : 0u);
    EXPECT_EQ(Count("vorn_runs"), 1u);
}

TEST_F(RunHistoryTest, AFailedWriteIsReportedAndLeavesNothingHalfWritten)
{
    // A trigger refuses the failed items half way: the run row goes back out with them.
    RawExecute(path,
        "create trigger refuse before insert on vorn_run_failures begin select raise(abort, 'no room'); end");
    const Status refused = RecordRun(db.get(), Id("Web"), SampleRun(1, "Success", 1), { { "/x", "y" } });
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.message().find("no room"), std::string::npos) << refused.message();
    EXPECT_EQ(Count("vorn_runs"), 0u);
    EXPECT_TRUE(RecordRun(db.get(), Id("Web"), SampleRun(2, "Success"), {}));
}

// Another program deletes a project and inserts a new one that takes its ftpid, with the
// program closed: at the next open the new project has no runs, copies, archives or options
// of the old one, while the project that is still the same keeps all of its rows.
TEST_F(RunHistoryTest, AReusedFtpidInheritsNothingOfTheDeletedProject)
{
    for (const char* name : { "Web", "Mail" }) {
        ASSERT_TRUE(RecordRun(db.get(), Id(name), SampleRun(10, "Success", 1), { { "/x", "550 No." } }));
        ASSERT_TRUE(SaveCopiedFiles(db.get(), name, { { "/a.txt", { "5", "2012031514:25", "" } } }));
        ASSERT_TRUE(AddArchiveRecord(db.get(), name, { "a_120315142537.zip", true }));
        ASSERT_TRUE(SaveProjectOptions(db.get(), name, ProjectOptions { .retries = 7 }));
    }
    const std::int64_t web = Id("Web");
    db.reset();
    RawExecute(path,
        "delete from gm_ftp_plantable where ftpname = 'Web';"
        "insert into gm_ftp_plantable (ftpid, ftpname, ftpcreatetime, ftptype) values ("
            + std::to_string(web) + ", 'Shop', '2031-01-01 00:00:00', 1)");
    auto opened = ProjectDb::Open(path);
    ASSERT_TRUE(opened.db) << opened.error;
    db = std::move(opened.db);
    ASSERT_EQ(Id("Shop"), web);
    EXPECT_TRUE(QueryRuns(db.get(), web).empty());
    EXPECT_TRUE(LoadCopiedFiles(db.get(), "Shop").empty());
    EXPECT_TRUE(LoadArchiveRecords(db.get(), "Shop").empty());
    ProjectOptions shop;
    ASSERT_TRUE(LoadProjectOptions(db.get(), "Shop", shop));
    EXPECT_EQ(shop.retries, ProjectOptions {}.retries);
    EXPECT_EQ(Count("vorn_run_failures"), 1u);

    EXPECT_EQ(QueryRuns(db.get(), Id("Mail")).size(), 1u);
    EXPECT_EQ(LoadCopiedFiles(db.get(), "Mail").size(), 1u);
    EXPECT_EQ(LoadArchiveRecords(db.get(), "Mail").size(), 1u);
    // The new project's own rows stay through the next open.
    ASSERT_TRUE(RecordRun(db.get(), web, SampleRun(20, "Success"), {}));
    db.reset();
    db = ProjectDb::Open(path).db;
    ASSERT_TRUE(db);
    EXPECT_EQ(QueryRuns(db.get(), web).size(), 1u);
}

// A database written by a newer version: opened for reading, every write refused by the
// connection itself, and the file is left byte for byte as it was.
TEST_F(RunHistoryTest, ADatabaseOfANewerVersionIsReadAndNeverChanged)
{
    ASSERT_TRUE(RecordRun(db.get(), Id("Web"), SampleRun(10, "Success"), {}));
    db.reset();
    RawExecute(path, "pragma user_version = 999");
    const std::string before = vorn::test::ReadWholeFile(path);
    auto opened = ProjectDb::Open(path);
    ASSERT_TRUE(opened.db) << opened.error;
    db = std::move(opened.db);
    const std::string& reason = db->readOnlyReason();
    EXPECT_NE(reason.find("newer version"), std::string::npos) << reason;
    EXPECT_NE(reason.find("999"), std::string::npos) << reason;
    EXPECT_NE(reason.find("version " + std::to_string(NewestSchemaVersion())), std::string::npos) << reason;
    EXPECT_EQ(QueryProjectList(db.get()).size(), 2u);
    EXPECT_EQ(QueryRuns(db.get(), Id("Web")).size(), 1u);
    EXPECT_FALSE(SetProjectStatus(db.get(), "Web", "Fail"));
    EXPECT_FALSE(DeleteProject(db.get(), "Web"));
    EXPECT_FALSE(RecordRun(db.get(), Id("Web"), SampleRun(11, "Success"), {}));
    db.reset();
    EXPECT_EQ(vorn::test::ReadWholeFile(path), before);
}
