// Project options and remembered copies: tables beside the plan table, keyed by the
// project's ftpid, with defaults for projects that have none, and gone with the project.
#include "store/ProjectOptions.h"

#include "StoreTestSupport.h"
#include "store/AlertOptions.h"
#include "store/CopiedFiles.h"
#include "store/ProjectDb.h"
#include "store/Settings.h"

#include <gtest/gtest.h>

using namespace vorn;
using vorn::test::RawExecute;
using vorn::test::RawQuery;
using vorn::test::Rows;

namespace {

class ProjectOptionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto opened = ProjectDb::Open(path);
        ASSERT_TRUE(opened.db) << opened.error;
        db = std::move(opened.db);
        for (const char* name : { "site", "other" }) {
            BackupProject project;
            project.ftpname = name;
            project.ftpbackmode = 1;
            project.ftptype = 1;
            ASSERT_TRUE(InsertProject(db.get(), project));
        }
    }

    vorn::test::TempFolder folder;
    std::string path = folder.File("gm_ftp_database.db");
    std::unique_ptr<ProjectDb> db;
};

} // namespace

TEST_F(ProjectOptionsTest, DefaultsUntilSavedThenRoundTripAndTheBackupModeLivesInThePlanTable)
{
    ProjectOptions options;
    options.retries = 9; // a missing project leaves the record alone
    EXPECT_FALSE(LoadProjectOptions(db.get(), "missing", options));
    EXPECT_EQ(options.retries, 9);
    EXPECT_FALSE(SaveProjectOptions(db.get(), "missing", ProjectOptions {}));

    ASSERT_TRUE(LoadProjectOptions(db.get(), "site", options));
    EXPECT_EQ(options, ProjectOptions {});
    EXPECT_EQ(FormatProjectOptions(options),
        (std::vector<std::string> { "incremental=off", "full-every=7", "keep-archives=0", "verify-archive=on",
            "retries=3", "connections=1", "notify=failure", "mail-to=", "hook-url=", "catch-up=0",
            "alert-after-days=0", "ssh-key=", "follow-links=0", "verify=size", "exclude=", "charset=auto" }));

    const ProjectOptions changed { true, 30, 12, false, 0, 10, {}, "/home/u/.ssh/id_ed25519", true, true,
        "cache/ *.log", "GBK" };
    ASSERT_TRUE(SaveProjectOptions(db.get(), "site", changed));
    ProjectOptions loaded;
    ASSERT_TRUE(LoadProjectOptions(db.get(), "site", loaded));
    EXPECT_EQ(loaded, changed);
    EXPECT_EQ(RawQuery(path, "select ftpname, ftpbackmode from gm_ftp_plantable order by ftpid"),
        (Rows { { "site", "2" }, { "other", "1" } }));
    ASSERT_TRUE(LoadProjectOptions(db.get(), "other", loaded));
    EXPECT_EQ(loaded, ProjectOptions {});

    // A rename keeps them (the key is the ftpid); a value another program stored out of
    // range reads as the default.
    BackupProject renamed;
    ASSERT_TRUE(LoadProject(db.get(), "site", renamed));
    renamed.ftpname = "renamed";
    ASSERT_TRUE(UpdateProject(db.get(), "site", renamed));
    RawExecute(path, "update vorn_options set keeparchives = 5000, charset = 'NO-SUCH-PAGE'");
    ASSERT_TRUE(LoadProjectOptions(db.get(), "renamed", loaded));
    EXPECT_EQ(loaded,
        (ProjectOptions {
            true, 30, 0, false, 0, 10, {}, "/home/u/.ssh/id_ed25519", true, true, "cache/ *.log", "" }));
}

TEST_F(ProjectOptionsTest, SettingsAreCheckedByNameAndRange)
{
    struct Case {
        const char* setting;
        const char* problem; // "" when taken
    };
    const Case cases[] = {
        { "incremental=on", "" },
        { "full-every=1", "" },
        { "full-every=365", "" },
        { "keep-archives=0", "" },
        { "keep-archives=1000", "" },
        { "verify-archive=off", "" },
        { "retries=10", "" },
        { "connections=1", "" },
        { "ssh-key=/home/u/key file", "" },
        { "ssh-key=", "" },
        { "follow-links=1", "" },
        { "follow-links=on", "follow-links must be 0 or 1, not 'on'" },
        { "verify=checksum", "" },
        { "verify=size", "" },
        { "verify=md5", "verify must be size or checksum, not 'md5'" },
        { "exclude=cache/ *.log **/node_modules/", "" },
        { "exclude=a\tb", "exclude must be patterns separated by spaces, without control characters" },
        { "charset=Shift_JIS", "" },
        { "charset=auto", "" },
        { "charset=GBK//IGNORE",
            "charset must be auto or a code page iconv knows (GBK, Shift_JIS, EUC-KR, Big5, CP1251, "
            "ISO-8859-2, "
            "...), not 'GBK//IGNORE'" },
        { "ssh-key=/tmp/a\x1b[2Jb", "ssh-key must be a file path without control characters" },
        { "incremental=yes", "incremental must be on or off, not 'yes'" },
        { "full-every=0", "full-every must be a whole number from 1 to 365, not '0'" },
        { "full-every=366", "full-every must be a whole number from 1 to 365, not '366'" },
        { "keep-archives=-1", "keep-archives must be a whole number from 0 to 1000, not '-1'" },
        { "retries=3x", "retries must be a whole number from 0 to 10, not '3x'" },
        { "connections=", "connections must be a whole number from 1 to 10, not ''" },
        { "connections=11", "connections must be a whole number from 1 to 10, not '11'" },
        { "speed=3",
            "unknown option 'speed' (options: incremental, full-every, keep-archives, verify-archive, "
            "retries, "
            "connections, notify, mail-to, hook-url, catch-up, alert-after-days, ssh-key, follow-links, "
            "verify, exclude, "
            "charset)" },
        { "notify=always", "" },
        { "notify=never", "" },
        { "notify=sometimes", "notify must be failure, always or never, not 'sometimes'" },
        { "mail-to=a@example.org, b@example.org", "" },
        { "hook-url=https://example.org/ping/{event}", "" },
        { "hook-url=https://example.org/\r\nX: y", "hook-url may not hold control characters" },
        { "catch-up=1", "" },
        { "catch-up=on", "catch-up must be 0 or 1, not 'on'" },
        { "alert-after-days=3650", "" },
        { "alert-after-days=3651", "alert-after-days must be a whole number from 0 to 3650, not '3651'" },
        { "retries", "'retries' is not a name=value setting" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        ProjectOptions options;
        const ProjectOptions before = options;
        EXPECT_EQ(ApplyOptionSetting(c.setting, options), c.problem);
        if (*c.problem != '\0')
            EXPECT_EQ(options, before);
        const std::vector<std::string> lines = FormatProjectOptions(options);
        if (*c.problem == '\0')
            EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(c.setting)), 1);
    }
}

TEST_F(ProjectOptionsTest, RememberedCopiesAreKeptPerProjectPrunedOnRequestAndDeletedWithTheProject)
{
    const CopiedFileMap first { { "/a.txt", { "5", "2012031514:25", "" } },
        { "/docs/b.txt", { "7", "20110101", "20110101123456" } }, { "/gone.txt", { "1", "20120101", "" } } };
    ASSERT_TRUE(SaveCopiedFiles(db.get(), "site", first));
    ASSERT_TRUE(SaveCopiedFiles(db.get(), "other", { { "/a.txt", { "9", "20000101", "" } } }));
    EXPECT_EQ(LoadCopiedFiles(db.get(), "site"), first);

    // A later run changes one file and saw only two: the third is forgotten.
    const std::unordered_set<std::string> present { "/a.txt", "/docs/b.txt" };
    ASSERT_TRUE(SaveCopiedFiles(db.get(), "site", { { "/a.txt", { "6", "2012031600:00", "" } } }, &present));
    EXPECT_EQ(LoadCopiedFiles(db.get(), "site"),
        (CopiedFileMap { { "/a.txt", { "6", "2012031600:00", "" } },
            { "/docs/b.txt", { "7", "20110101", "20110101123456" } } }));
    EXPECT_EQ(LoadCopiedFiles(db.get(), "other").size(), 1u);

    ASSERT_TRUE(AddArchiveRecord(db.get(), "site", { "site_120315142537.zip", true }));
    ASSERT_TRUE(AddArchiveRecord(db.get(), "site", { "site_120316142537.zip", false }));
    ASSERT_TRUE(SaveProjectOptions(db.get(), "site", ProjectOptions { true, 2, 3, true, 1, 2 }));
    ASSERT_TRUE(RemoveArchiveRecord(db.get(), "site", "site_120315142537.zip"));
    ASSERT_EQ(LoadArchiveRecords(db.get(), "site").size(), 1u);
    EXPECT_FALSE(LoadArchiveRecords(db.get(), "site")[0].full);

    ASSERT_TRUE(DeleteProject(db.get(), "site"));
    for (const char* table : { "vorn_options", "vorn_copied", "vorn_archives" })
        EXPECT_EQ(RawQuery(path, std::string("select count(*) from ") + table + " where ftpid = 1"),
            (Rows { { "0" } }))
            << table;
    EXPECT_EQ(LoadCopiedFiles(db.get(), "other").size(), 1u);
}

TEST_F(ProjectOptionsTest, AlertOptionsAndDatabaseSettingsRoundTripAndGoWithTheirOwners)
{
    ProjectOptions options;
    ASSERT_TRUE(LoadProjectOptions(db.get(), "site", options));
    for (const char* setting : { "notify=always", "mail-to=ops@example.org", "hook-url=http://h/{event}",
             "catch-up=1", "alert-after-days=7" })
        ASSERT_EQ(ApplyOptionSetting(setting, options), "");
    ASSERT_TRUE(SaveProjectOptions(db.get(), "site", options));
    ProjectOptions loaded;
    ASSERT_TRUE(LoadProjectOptions(db.get(), "site", loaded));
    EXPECT_EQ(loaded.alerts, options.alerts);
    ASSERT_TRUE(LoadProjectOptions(db.get(), "other", loaded));
    EXPECT_EQ(loaded.alerts, AlertOptions {});
    ASSERT_TRUE(DeleteProject(db.get(), "site"));
    EXPECT_EQ(RawQuery(path, "select count(*) from vorn_project_alerts"), (Rows { { "0" } }));

    // Database settings: every value as stored; a refused one changes nothing.
    DatabaseSettings settings = LoadSettings(db.get()).value();
    EXPECT_EQ(settings, DatabaseSettings {});
    for (const char* setting : { "smtp-host=mail.example.org", "smtp-port=465", "smtp-tls=implicit",
             "smtp-user=bob", "smtp-password=it's s3cret", "mail-from=vorn@example.org", "mail-to=a@x, b@y",
             "hook-url=https://h/x" })
        ASSERT_TRUE(ApplySetting(setting, settings)) << setting;
    const DatabaseSettings before = settings;
    struct Refused {
        const char* setting;
        const char* message;
    };
    for (const Refused& r :
        { Refused { "smtp-port=0", "smtp-port must be a port number from 1 to 65535, not '0'" },
            Refused { "smtp-tls=ssl", "smtp-tls must be starttls, implicit or none, not 'ssl'" },
            Refused { "mail-to=a@x\r\nBcc: c@z", "mail-to may not hold control characters" },
            Refused { "keyring=yes", "keyring must be 0 or 1, not 'yes'" },
            Refused { "colour=blue", "unknown setting 'colour'" } }) {
        const Status refused = ApplySetting(r.setting, settings);
        ASSERT_FALSE(refused) << r.setting;
        EXPECT_EQ(refused.message().rfind(r.message, 0), 0u) << refused.message();
        EXPECT_EQ(settings, before);
    }
    ASSERT_TRUE(SaveSettings(db.get(), settings));
    EXPECT_EQ(LoadSettings(db.get()).value(), settings);
    EXPECT_EQ(FormatSettings(settings)[4], "smtp-password=(stored)");
    EXPECT_EQ(SplitAddresses(" a@x ,, b@y,"), (std::vector<std::string> { "a@x", "b@y" }));
    // The program's own notes stay out of the settings.
    ASSERT_TRUE(SaveStateValue(db.get(), "scheduler-alive", "1700000000"));
    EXPECT_EQ(LoadStateValue(db.get(), "scheduler-alive"), "1700000000");
    EXPECT_EQ(LoadSettings(db.get()).value(), settings);
}
