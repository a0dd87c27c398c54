#include "store/ProjectDb.h"

#include "StoreTestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <thread>

using namespace vorn;
using vorn::test::RawExecute;
using vorn::test::RawQuery;

namespace {

// 2012-03-05 19:05:09 UTC.
constexpr std::time_t kMarch5 = 1330974309;

BackupProject SampleProject(const std::string& name)
{
    BackupProject p;
    p.ftpname = name;
    p.ftpsource = "/www";
    p.ftpdest = "/srv/backup/www";
    p.ftpip = "ftp.example.org";
    p.ftpuser = "alice";
    p.ftppassword = "secret";
    p.ftpport = "21";
    p.ftpactive = false;
    p.ftpbackmode = 1;
    p.ftptype = 1;
    p.ftprule = "";
    p.ftpplanmode = 3;
    p.ftpplan = {};
    p.ftphour = 2;
    p.ftpminute = 0;
    p.ftpdaymode = 1;
    p.ftpdestpath = "/in";
    p.ftpdestip = "dest.example.org";
    p.ftpdestuser = "bob";
    p.ftpdestpass = "hush";
    p.ftpdestport = "2121";
    p.ftpiscompress = true;
    p.ftpcompass = "zip-pass";
    return p;
}

class ProjectDbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = folder.File("gm_ftp_database.db");
        auto opened = ProjectDb::Open(path);
        ASSERT_TRUE(opened.db) << opened.error;
        db = std::move(opened.db);
    }

    std::vector<std::string> Row(const std::string& columns, const std::string& name)
    {
        // The name is put into the text here only because the tests choose it.
        const auto rows
            = RawQuery(path, "select " + columns + " from gm_ftp_plantable where ftpname = '" + name + "'");
        return rows.empty() ? std::vector<std::string> {} : rows.front();
    }

    vorn::test::TempFolder folder;
    vorn::test::ScopedUtc utc;
    std::string path;
    std::unique_ptr<ProjectDb> db;
};

} // namespace

TEST_F(ProjectDbTest, OddTextsAreStoredAndReadBackByteForByte)
{
    const std::string odd[] = {
        "O'Brien",
        "'; drop table gm_ftp_plantable; --",
        "''",
        "\"double\" and `back`",
        "C:\\data\\new folder\\",
        "\\'",
        "备份 üñí 😀",
        "\xff\xfe\x80 latin1 \xe9",
        std::string("nul\0inside", 10),
        "tab\tnew\nline\r",
        "%s %d ?1 :name @x $y",
        "",
    };
    for (const std::string& text : odd) {
        BackupProject p;
        p.ftpname = text;
        p.ftpsource = text;
        p.ftpdest = text;
        p.ftpip = text;
        p.ftpuser = text;
        p.ftppassword = text;
        p.ftpport = text;
        p.ftprule = text;
        p.ftpdestpath = text;
        p.ftpdestip = text;
        p.ftpdestuser = text;
        p.ftpdestpass = text;
        p.ftpdestport = text;
        p.ftpcompass = text;
        ASSERT_TRUE(InsertProject(db.get(), p, kMarch5)) << text;
        EXPECT_TRUE(ProjectExists(db.get(), text)) << text;

        BackupProject loaded;
        ASSERT_TRUE(LoadProject(db.get(), text, loaded)) << text;
        EXPECT_EQ(loaded, p) << text;
        ASSERT_TRUE(DeleteProject(db.get(), text)) << text;
        EXPECT_FALSE(ProjectExists(db.get(), text)) << text;
    }
    // The hostile name did its work as data only: the table is still there and empty.
    EXPECT_EQ(RawQuery(path, "select count(*) from gm_ftp_plantable"),
        (std::vector<std::vector<std::string>> { { "0" } }));
}

TEST_F(ProjectDbTest, InsertWritesTheStoredTextForms)
{
    BackupProject p = SampleProject("site");
    p.ftpplanmode = 1;
    p.ftpplan = { 1021, 1035, 1051 };
    ASSERT_TRUE(InsertProject(db.get(), p, kMarch5));

    EXPECT_EQ(Row("ftpcreatetime, ftpmodifytime, ftpstatus, ftpruntime, ftpmem, ftpplan", "site"),
        (std::vector<std::string> { "2012-03-05 19:05:09", "", "", "", "", "1021|1035|1051|" }));
    // Integer columns hold integers and the flags 0/1, as in files written before.
    EXPECT_EQ(
        Row("ftpactive, ftpbackmode, ftptype, ftpplanmode, ftphour, ftpminute, ftpdaymode, ftpiscompress",
            "site"),
        (std::vector<std::string> { "0", "1", "1", "1", "2", "0", "1", "1" }));
    EXPECT_EQ(
        Row("typeof(ftphour), typeof(ftpiscompress), typeof(ftpport), typeof(ftpmodifytime), typeof(ftpid)",
            "site"),
        (std::vector<std::string> { "integer", "integer", "text", "text", "integer" }));

    // The table has no unique name: a second insert of the same name succeeds.
    EXPECT_TRUE(InsertProject(db.get(), p, kMarch5));
    EXPECT_EQ(RawQuery(path, "select count(*) from gm_ftp_plantable"),
        (std::vector<std::vector<std::string>> { { "2" } }));
}

TEST_F(ProjectDbTest, UpdateRenamesAndKeepsCreateTimeStatusAndRunTime)
{
    ASSERT_TRUE(InsertProject(db.get(), SampleProject("old"), kMarch5));
    ASSERT_TRUE(SetProjectStatus(db.get(), "old", "Success", kMarch5 + 60));

    BackupProject changed = SampleProject("new name");
    changed.ftpsource = "/changed";
    changed.ftpplanmode = 2;
    changed.ftpplan = { 1056, 1062 };
    changed.ftpiscompress = false;
    ASSERT_TRUE(UpdateProject(db.get(), "old", changed, kMarch5 + 3600));

    EXPECT_FALSE(ProjectExists(db.get(), "old"));
    EXPECT_EQ(Row("ftpcreatetime, ftpmodifytime, ftpstatus, ftpruntime", "new name"),
        (std::vector<std::string> {
            "2012-03-05 19:05:09", "2012-03-05 20:05:09", "Success", "03/05/2012 19:06:09" }));
    BackupProject loaded;
    ASSERT_TRUE(LoadProject(db.get(), "new name", loaded));
    EXPECT_EQ(loaded, changed);

    // No row with that name: nothing changes, and SQLite reports no error.
    EXPECT_TRUE(UpdateProject(db.get(), "absent", SampleProject("other"), kMarch5));
    EXPECT_FALSE(ProjectExists(db.get(), "other"));
}

TEST_F(ProjectDbTest, StatusAndDeleteActOnEveryRowOfTheName)
{
    ASSERT_TRUE(InsertProject(db.get(), SampleProject("twin"), kMarch5));
    ASSERT_TRUE(InsertProject(db.get(), SampleProject("twin"), kMarch5));
    ASSERT_TRUE(InsertProject(db.get(), SampleProject("keep"), kMarch5));

    ASSERT_TRUE(SetProjectStatus(db.get(), "twin", "Success", kMarch5));
    EXPECT_EQ(RawQuery(path, "select ftpstatus, ftpruntime from gm_ftp_plantable order by ftpid"),
        (std::vector<std::vector<std::string>> {
            { "Success", "03/05/2012 19:05:09" }, { "Success", "03/05/2012 19:05:09" }, { "", "" } }));

    ASSERT_TRUE(DeleteProject(db.get(), "twin"));
    EXPECT_FALSE(ProjectExists(db.get(), "twin"));
    EXPECT_TRUE(ProjectExists(db.get(), "keep"));
    EXPECT_TRUE(DeleteProject(db.get(), "twin")); // absent: success, nothing deleted
    EXPECT_TRUE(ProjectExists(db.get(), "keep"));
}

TEST_F(ProjectDbTest, LoadAppendsPlanCodesAndLeavesTheRecordAloneWhenNothingIsFound)
{
    BackupProject stored = SampleProject("weekly");
    stored.ftpplanmode = 2;
    stored.ftpplan = { 1057, 1060 };
    ASSERT_TRUE(InsertProject(db.get(), stored, kMarch5));

    BackupProject record = SampleProject("scratch");
    record.ftpplan = { 1021 };
    const BackupProject before = record;
    EXPECT_FALSE(LoadProject(db.get(), "missing", record));
    EXPECT_EQ(record, before);

    ASSERT_TRUE(LoadProject(db.get(), "weekly", record));
    EXPECT_EQ(record.ftpname, "weekly");
    EXPECT_EQ(record.ftpplanmode, 2);
    EXPECT_EQ(record.ftpplan, (std::vector<std::int32_t> { 1021, 1057, 1060 }));

    // A broken table makes the query fail; the record must still be untouched.
    RawExecute(path, "alter table gm_ftp_plantable rename column ftpcompass to other");
    BackupProject untouched = before;
    EXPECT_FALSE(LoadProject(db.get(), "weekly", untouched));
    EXPECT_EQ(untouched, before);
}

TEST_F(ProjectDbTest, RowsWrittenByConcatenatedStatementsReadLikeOurs)
{
    // The form older program versions wrote: one text, integers bare, texts quoted.
    RawExecute(path,
        "insert into gm_ftp_plantable values(NULL, 'legacy','2012-03-05 14:07:09','','/www',"
        "'/srv/backup/www','ftp.example.org','alice','secret','21',0,1,1,'',3,'',2,0,1,'Success',"
        "'03/05/2012 14:07:09','','/in','dest.example.org','bob','hush','2121',1,'zip-pass')");
    ASSERT_TRUE(InsertProject(db.get(), SampleProject("ours"), kMarch5));

    BackupProject legacy;
    BackupProject ours;
    ASSERT_TRUE(LoadProject(db.get(), "legacy", legacy));
    ASSERT_TRUE(LoadProject(db.get(), "ours", ours));
    legacy.ftpname = ours.ftpname;
    EXPECT_EQ(legacy, ours);
    EXPECT_EQ(ours, SampleProject("ours"));

    const auto list = QueryProjectList(db.get());
    ASSERT_EQ(list.size(), 2u);
    for (const ProjectListRow& row : list) {
        EXPECT_EQ(row.ftpactive, "0");
        EXPECT_EQ(row.ftpbackmode, "1");
        EXPECT_EQ(row.ftptype, "1");
        EXPECT_EQ(row.schedule.planMode, "3");
        EXPECT_EQ(row.schedule.plan, "");
        EXPECT_EQ(row.schedule.hour, "2");
        EXPECT_EQ(row.schedule.minute, "0");
        EXPECT_EQ(row.schedule.dayMode, "1");
    }
    EXPECT_EQ(list[0].ftpruntime, "03/05/2012 14:07:09");

    // Texts in integer columns, as a hand-edited file may hold, read with the plain
    // decimal conversion.
    RawExecute(path,
        "update gm_ftp_plantable set ftphour = '7 o''clock', ftpminute = '', ftpiscompress = 'x' "
        "where ftpname = 'legacy'");
    ASSERT_TRUE(LoadProject(db.get(), "legacy", legacy));
    EXPECT_EQ(legacy.ftphour, 7);
    EXPECT_EQ(legacy.ftpminute, 0);
    EXPECT_FALSE(legacy.ftpiscompress);
}

TEST_F(ProjectDbTest, QueriesReturnRowsInStoredOrder)
{
    BackupProject local = SampleProject("b-local");
    local.ftpplanmode = 1;
    local.ftpplan = { 1021, 1035 };
    local.ftphour = 14;
    local.ftpminute = 30;
    local.ftpdaymode = 3;
    BackupProject remote = SampleProject("a-remote");
    remote.ftptype = 2;
    ASSERT_TRUE(InsertProject(db.get(), local, kMarch5));
    ASSERT_TRUE(InsertProject(db.get(), remote, kMarch5));
    ASSERT_TRUE(SetProjectStatus(db.get(), "a-remote", "Fail", kMarch5));

    const auto list = QueryProjectList(db.get());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].ftpname, "b-local");
    EXPECT_EQ(list[0].ftpip, "ftp.example.org");
    EXPECT_EQ(list[0].ftpsource, "/www");
    EXPECT_EQ(list[0].ftpdest, "/srv/backup/www");
    EXPECT_EQ(list[0].ftpstatus, "");
    EXPECT_EQ(list[0].ftpruntime, "");
    EXPECT_EQ(list[0].schedule.planMode, "1");
    EXPECT_EQ(list[0].schedule.plan, "1021|1035|");
    EXPECT_EQ(list[0].schedule.hour, "14");
    EXPECT_EQ(list[0].schedule.minute, "30");
    EXPECT_EQ(list[0].schedule.dayMode, "3");
    EXPECT_EQ(list[1].ftpname, "a-remote");
    EXPECT_EQ(list[1].ftptype, "2");
    EXPECT_EQ(list[1].ftpstatus, "Fail");
    EXPECT_EQ(list[1].ftpruntime, "03/05/2012 19:05:09");
    EXPECT_EQ(list[1].ftpdestip, "dest.example.org");
    EXPECT_EQ(list[1].ftpdestpath, "/in");

    const auto plans = QueryPlans(db.get());
    ASSERT_EQ(plans.size(), 2u);
    EXPECT_EQ(plans[0].name, "b-local");
    EXPECT_EQ(plans[0].schedule.plan, "1021|1035|");
    EXPECT_EQ(plans[1].name, "a-remote");
    EXPECT_EQ(plans[1].schedule.planMode, "3");

    const auto schedule = QuerySchedule(db.get(), "b-local");
    ASSERT_TRUE(schedule);
    EXPECT_EQ(schedule->hour, "14");
    EXPECT_EQ(schedule->plan, "1021|1035|");
    EXPECT_FALSE(QuerySchedule(db.get(), "missing"));

    // A failing query reports its reason instead of looking like an empty table.
    RawExecute(path, "alter table gm_ftp_plantable rename column ftpdestpath to other");
    std::string error;
    EXPECT_TRUE(QueryProjectList(db.get(), &error).empty());
    EXPECT_NE(error.find("ftpdestpath"), std::string::npos) << error;
}

TEST_F(ProjectDbTest, FailedWriteIsRolledBackAndLeavesNoTransactionOpen)
{
    ASSERT_TRUE(InsertProject(db.get(), SampleProject("site"), kMarch5));
    // A trigger that refuses status writes makes the statement fail after begin.
    RawExecute(path,
        "create trigger refuse before update of ftpstatus on gm_ftp_plantable "
        "begin select raise(abort, 'refused'); end");
    EXPECT_FALSE(SetProjectStatus(db.get(), "site", "Success", kMarch5));
    EXPECT_EQ(sqlite3_get_autocommit(db->handle()), 1);
    RawExecute(path, "drop trigger refuse");

    // The next write must start its own transaction and be committed for others to see.
    ASSERT_TRUE(SetProjectStatus(db.get(), "site", "Stop", kMarch5));
    EXPECT_EQ(Row("ftpstatus", "site"), (std::vector<std::string> { "Stop" }));
}

TEST_F(ProjectDbTest, NullConnectionFailsEveryOperation)
{
    BackupProject record = SampleProject("x");
    const BackupProject before = record;
    EXPECT_FALSE(CreatePlanTable(nullptr));
    EXPECT_FALSE(InsertProject(nullptr, record));
    EXPECT_FALSE(UpdateProject(nullptr, "x", record));
    EXPECT_FALSE(ProjectExists(nullptr, "x"));
    EXPECT_FALSE(DeleteProject(nullptr, "x"));
    EXPECT_FALSE(SetProjectStatus(nullptr, "x", "Stop"));
    EXPECT_FALSE(LoadProject(nullptr, "x", record));
    EXPECT_EQ(record, before);
    std::string error;
    EXPECT_TRUE(QueryProjectList(nullptr, &error).empty());
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(QueryPlans(nullptr).empty());
    EXPECT_FALSE(QuerySchedule(nullptr, "x"));
}

TEST_F(ProjectDbTest, OneConnectionServesSeveralThreadsAtOnce)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 30;
    std::atomic<int> failures { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string name = "p" + std::to_string(t) + "-" + std::to_string(i);
                BackupProject p = SampleProject(name);
                p.ftpplan = { 1021 + i };
                bool ok = InsertProject(db.get(), p, kMarch5);
                ok = ok && SetProjectStatus(db.get(), name, "Success", kMarch5);
                BackupProject loaded;
                ok = ok && LoadProject(db.get(), name, loaded) && loaded == p;
                ok = ok && ProjectExists(db.get(), name);
                ok = ok && !QueryProjectList(db.get()).empty();
                if (i % 3 == 0)
                    ok = ok && DeleteProject(db.get(), name);
                else if (i % 3 == 1)
                    ok = ok && UpdateProject(db.get(), name, SampleProject(name + "-renamed"), kMarch5);
                if (!ok)
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    // Every third project was deleted; the rest (a third of them renamed) remain.
    const int expected = kThreads * (kRounds - kRounds / 3);
    EXPECT_EQ(QueryProjectList(db.get()).size(), std::size_t(expected));
    EXPECT_EQ(RawQuery(path, "select count(*) from gm_ftp_plantable where ftpname like '%-renamed'"),
        (std::vector<std::vector<std::string>> { { std::to_string(kThreads * kRounds / 3) } }));
    EXPECT_EQ(sqlite3_get_autocommit(db->handle()), 1);
}
