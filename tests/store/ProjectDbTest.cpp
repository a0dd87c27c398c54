#include "store/ProjectDb.h"

#include "StoreTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vorn;
using vorn::test::RawExecute;
using vorn::test::RawQuery;
using vorn::test::Rows;

namespace {

constexpr std::time_t kMarch5 = 1330974309; // 2012-03-05 19:05:09 UTC

BackupProject Sample(const std::string& name)
{
    BackupProject p {
        .ftpname = name, .ftpsource = "/www", .ftpdest = "/srv/www", .ftpip = "ftp.example.org"
    };
    p.ftppassword = "secret";
    p.ftptype = 1;
    p.ftpplanmode = 3;
    p.ftphour = 2;
    p.ftpdaymode = 1;
    p.ftpdestpath = "/in";
    p.ftpdestip = "dest.example.org";
    p.ftpiscompress = true;
    p.ftpcompass = "zip-pass";
    return p;
}

class ProjectDbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto opened = ProjectDb::Open(path);
        ASSERT_TRUE(opened.db) << opened.error;
        db = std::move(opened.db);
    }
    // The tests choose the names, so pasting them into the text is safe here.
    Rows Select(const std::string& columns, const std::string& where = "1")
    {
        return RawQuery(
            path, "select " + columns + " from gm_ftp_plantable where " + where + " order by ftpid");
    }

    vorn::test::TempFolder folder;
    vorn::test::ScopedUtc utc;
    std::string path = folder.File("gm_ftp_database.db");
    std::unique_ptr<ProjectDb> db;
};

} // namespace

TEST_F(ProjectDbTest, OddTextsAreStoredAndReadBackByteForByte)
{
    const std::string odd[] = { "O'Brien", "'; drop table gm_ftp_plantable; --", "''",
        "C:\\data\\new folder\\", "\\'", "备份 üñí 😀", "\xff\xfe\x80 latin1 \xe9",
        std::string("nul\0inside", 10), "tab\tnew\nline\r", "%s ?1 :name @x $y", "" };
    for (const std::string& text : odd) {
        BackupProject p;
        for (auto field : { &BackupProject::ftpname, &BackupProject::ftpsource, &BackupProject::ftpdest,
                 &BackupProject::ftpip, &BackupProject::ftpuser, &BackupProject::ftppassword,
                 &BackupProject::ftpport, &BackupProject::ftprule, &BackupProject::ftpdestpath,
                 &BackupProject::ftpdestip, &BackupProject::ftpdestuser, &BackupProject::ftpdestpass,
                 &BackupProject::ftpdestport, &BackupProject::ftpcompass })
            p.*field = text;
        ASSERT_TRUE(InsertProject(db.get(), p, kMarch5)) << text;
        EXPECT_TRUE(ProjectExists(db.get(), text)) << text;
        BackupProject loaded;
        ASSERT_TRUE(LoadProject(db.get(), text, loaded)) << text;
        EXPECT_EQ(loaded, p) << text;
        ASSERT_TRUE(DeleteProject(db.get(), text)) << text;
        EXPECT_FALSE(ProjectExists(db.get(), text)) << text;
    }
    EXPECT_EQ(Select("count(*)"), (Rows { { "0" } })); // the hostile name did its work as data only
}

TEST_F(ProjectDbTest, StoredFormsMatchRowsWrittenByEarlierVersions)
{
    BackupProject ours = Sample("ours");
    ours.ftpplanmode = 1;
    ours.ftpplan = { 1021, 1035 };
    ASSERT_TRUE(InsertProject(db.get(), ours, kMarch5));
    // Earlier versions pasted values into one text: integers bare, texts quoted.
    RawExecute(path,
        "insert into gm_ftp_plantable values(NULL, 'legacy','2012-03-05 19:05:09','','/www',"
        "'/srv/www','ftp.example.org','','secret','',0,0,1,'',1,'1021|1035|',2,0,1,'','','',"
        "'/in','dest.example.org','','','',1,'zip-pass')");

    const Rows stored
        = Select("ftpcreatetime, ftpmodifytime, ftpstatus, ftpruntime, ftpmem, ftpplan, ftpactive, "
                 "typeof(ftphour), typeof(ftpiscompress), typeof(ftpport), ftpiscompress");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0], stored[1]);
    EXPECT_EQ(stored[0],
        (std::vector<std::string> {
            "2012-03-05 19:05:09", "", "", "", "", "1021|1035|", "0", "integer", "integer", "text", "1" }));

    BackupProject legacy;
    ASSERT_TRUE(LoadProject(db.get(), "legacy", legacy));
    legacy.ftpname = "ours";
    EXPECT_EQ(legacy, ours);
    auto list = QueryProjectList(db.get());
    ASSERT_EQ(list.size(), 2u);
    list[1].ftpname = "ours";
    EXPECT_EQ(list[0], list[1]);

    // Texts in integer columns, as a hand-edited file may hold, read with the plain
    // decimal conversion.
    RawExecute(path,
        "update gm_ftp_plantable set ftphour = '7 o''clock', ftpminute = '', ftpiscompress = 'x' "
        "where ftpname = 'legacy'");
    ASSERT_TRUE(LoadProject(db.get(), "legacy", legacy));
    EXPECT_EQ(std::tuple(legacy.ftphour, legacy.ftpminute, legacy.ftpiscompress), std::tuple(7, 0, false));
}

TEST_F(ProjectDbTest, UpdateStatusAndDeleteActOnEveryRowOfTheName)
{
    ASSERT_TRUE(InsertProject(db.get(), Sample("twin"), kMarch5));
    ASSERT_TRUE(InsertProject(db.get(), Sample("twin"), kMarch5)); // no unique constraint
    ASSERT_TRUE(InsertProject(db.get(), Sample("keep"), kMarch5));
    ASSERT_TRUE(SetProjectStatus(db.get(), "twin", "Success", kMarch5));

    BackupProject renamed = Sample("renamed");
    renamed.ftpplanmode = 2;
    renamed.ftpplan = { 1056, 1062 };
    ASSERT_TRUE(UpdateProject(db.get(), "twin", renamed, kMarch5 + 3600));
    EXPECT_FALSE(ProjectExists(db.get(), "twin"));
    // Renaming keeps the creation time, the status and the run time.
    EXPECT_EQ(Select("ftpname, ftpcreatetime, ftpmodifytime, ftpstatus, ftpruntime, ftpplan"),
        (Rows { { "renamed", "2012-03-05 19:05:09", "2012-03-05 20:05:09", "Success", "03/05/2012 19:05:09",
                    "1056|1062|" },
            { "renamed", "2012-03-05 19:05:09", "2012-03-05 20:05:09", "Success", "03/05/2012 19:05:09",
                "1056|1062|" },
            { "keep", "2012-03-05 19:05:09", "", "", "", "" } }));
    BackupProject loaded;
    ASSERT_TRUE(LoadProject(db.get(), "renamed", loaded));
    EXPECT_EQ(loaded, renamed);

    EXPECT_TRUE(UpdateProject(db.get(), "absent", Sample("other"), kMarch5)); // no row: no error
    EXPECT_TRUE(DeleteProject(db.get(), "renamed"));
    EXPECT_TRUE(DeleteProject(db.get(), "renamed")); // absent: success, nothing deleted
    EXPECT_EQ(Select("ftpname"), (Rows { { "keep" } }));
}

TEST_F(ProjectDbTest, LoadAppendsPlanCodesAndLeavesTheRecordAloneOnFailure)
{
    BackupProject stored = Sample("weekly");
    stored.ftpplan = { 1057, 1060 };
    ASSERT_TRUE(InsertProject(db.get(), stored, kMarch5));

    BackupProject record = Sample("scratch");
    record.ftpplan = { 1021 };
    const BackupProject before = record;
    EXPECT_FALSE(LoadProject(db.get(), "missing", record));
    EXPECT_EQ(record, before);
    ASSERT_TRUE(LoadProject(db.get(), "weekly", record));
    EXPECT_EQ(record.ftpname, "weekly");
    EXPECT_EQ(record.ftpplan, (std::vector<std::int32_t> { 1021, 1057, 1060 }));

    RawExecute(path, "alter table gm_ftp_plantable rename column ftpcompass to other"); // the query now fails
    record = before;
    EXPECT_FALSE(LoadProject(db.get(), "weekly", record));
    EXPECT_EQ(record, before);
}

TEST_F(ProjectDbTest, QueriesReturnStoredTextsInStoredOrder)
{
    BackupProject local = Sample("b-local");
    local.ftpplanmode = 1;
    local.ftpplan = { 1021, 1035 };
    local.ftphour = 14;
    local.ftpminute = 30;
    BackupProject remote = Sample("a-remote");
    remote.ftptype = 2;
    ASSERT_TRUE(InsertProject(db.get(), local, kMarch5));
    ASSERT_TRUE(InsertProject(db.get(), remote, kMarch5));
    ASSERT_TRUE(SetProjectStatus(db.get(), "a-remote", "Fail", kMarch5));

    const ScheduleTexts localSchedule { "1", "1021|1035|", "14", "30", "1" };
    const ScheduleTexts remoteSchedule { "3", "", "2", "0", "1" };
    EXPECT_EQ(QueryProjectList(db.get()),
        (std::vector<ProjectListRow> { { "b-local", "ftp.example.org", "/www", "/srv/www", "0", "0", "1", "",
                                           "", localSchedule, "dest.example.org", "/in" },
            { "a-remote", "ftp.example.org", "/www", "/srv/www", "0", "0", "2", "Fail", "03/05/2012 19:05:09",
                remoteSchedule, "dest.example.org", "/in" } }));
    EXPECT_EQ(QueryPlans(db.get()),
        (std::vector<PlanRow> { { "b-local", localSchedule }, { "a-remote", remoteSchedule } }));
    EXPECT_EQ(QuerySchedule(db.get(), "b-local"), localSchedule);
    EXPECT_EQ(QuerySchedule(db.get(), "missing"), std::nullopt);

    // A failing query reports its reason instead of looking like an empty table.
    RawExecute(path, "alter table gm_ftp_plantable rename column ftpdestpath to other");
    std::string error;
    EXPECT_TRUE(QueryProjectList(db.get(), &error).empty());
    EXPECT_NE(error.find("ftpdestpath"), std::string::npos) << error;
}

TEST_F(ProjectDbTest, FailedWriteLeavesNoTransactionOpenAndNullConnectionFails)
{
    ASSERT_TRUE(InsertProject(db.get(), Sample("site"), kMarch5));
    RawExecute(
        path, "create trigger refuse before update on gm_ftp_plantable begin select raise(abort, 'no'); end");
    EXPECT_FALSE(SetProjectStatus(db.get(), "site", "Success", kMarch5));
    EXPECT_EQ(sqlite3_get_autocommit(db->handle()), 1);
    RawExecute(path, "drop trigger refuse");
    ASSERT_TRUE(SetProjectStatus(db.get(), "site", "Stop", kMarch5)); // committed, so others see it
    EXPECT_EQ(Select("ftpstatus"), (Rows { { "Stop" } }));

    BackupProject record = Sample("x");
    std::string error;
    EXPECT_FALSE(CreatePlanTable(nullptr) || InsertProject(nullptr, record)
        || UpdateProject(nullptr, "x", record) || ProjectExists(nullptr, "x") || DeleteProject(nullptr, "x")
        || SetProjectStatus(nullptr, "x", "Stop") || LoadProject(nullptr, "x", record)
        || !QueryProjectList(nullptr, &error).empty() || !QueryPlans(nullptr).empty()
        || QuerySchedule(nullptr, "x"));
    EXPECT_EQ(record, Sample("x"));
    EXPECT_FALSE(error.empty());
}

TEST_F(ProjectDbTest, OneConnectionServesSeveralThreadsAtOnce)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 15;
    std::atomic<int> failures { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string name = "p" + std::to_string(t) + "-" + std::to_string(i);
                BackupProject p = Sample(name);
                p.ftpplan = { 1021 + i };
                BackupProject loaded;
                bool ok = InsertProject(db.get(), p) && SetProjectStatus(db.get(), name, "Success")
                    && LoadProject(db.get(), name, loaded) && loaded == p
                    && !QueryProjectList(db.get()).empty();
                if (i % 3 == 0)
                    ok = ok && DeleteProject(db.get(), name);
                else if (i % 3 == 1)
                    ok = ok && UpdateProject(db.get(), name, Sample(name + "-renamed"));
                failures += ok ? 0 : 1;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Select("count(*)"), (Rows { { std::to_string(kThreads * kRounds * 2 / 3) } }));
    EXPECT_EQ(Select("count(*)", "ftpname like '%-renamed'"),
        (Rows { { std::to_string(kThreads * kRounds / 3) } }));
}

// The window and the headless scheduler are two processes writing one file: the scheduler
// stores run statuses while the window adds and edits projects. Each write waits for the
// other's lock (the busy time-out) instead of failing, and none is lost. The rounds are many
// more than the two programs ever write at once, but few enough that neither holds the file
// for longer than the time-out in all.
TEST_F(ProjectDbTest, TwoProcessesWritingOneFileWaitForEachOtherAndLoseNothing)
{
    constexpr int kRounds = 25;
    ASSERT_TRUE(InsertProject(db.get(), Sample("scheduled")));
    ASSERT_TRUE(InsertProject(db.get(), Sample("edited")));
    const pid_t scheduler = fork();
    ASSERT_GE(scheduler, 0);
    if (scheduler == 0) {
        // The child has its own connection, as the other program would; no test macros here.
        auto opened = ProjectDb::Open(path);
        if (!opened.db) {
            std::fprintf(stderr, "open: %s\n", opened.error.c_str());
            _exit(100);
        }
        int failed = 0;
        for (int i = 1; i <= kRounds; ++i)
            failed += SetProjectStatus(opened.db.get(), "scheduled", i % 2 ? "Success" : "Fail", 1000 + i)
                ? 0
                : 1;
        _exit(std::min(failed, 99));
    }
    int failed = 0;
    for (int i = 0; i < kRounds; ++i) {
        BackupProject edited = Sample("edited");
        edited.ftpsource = "/www/" + std::to_string(i);
        failed += InsertProject(db.get(), Sample("new-" + std::to_string(i))) ? 0 : 1;
        failed += UpdateProject(db.get(), "edited", edited) ? 0 : 1;
    }
    int status = -1;
    ASSERT_EQ(waitpid(scheduler, &status, 0), scheduler);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the scheduler's writes failed: " << WEXITSTATUS(status) << " (100: it could not open the file)";
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(Select("count(*)"), (Rows { { std::to_string(kRounds + 2) } }));
    // The last status written (round 25, odd: "Success") at its time, 1970-01-01 00:17:05 UTC.
    EXPECT_EQ(Select("ftpstatus, ftpruntime", "ftpname = 'scheduled'"),
        (Rows { { "Success", "01/01/1970 00:17:05" } }));
    EXPECT_EQ(Select("ftpsource", "ftpname = 'edited'"), (Rows { { "/www/24" } }));
}
