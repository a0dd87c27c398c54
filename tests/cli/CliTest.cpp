#include "StoreTestSupport.h"
#include "schedule/Schedule.h"
#include "store/ProjectDb.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sys/wait.h>

using namespace vorn::test;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs the real command with `args`, the environment changed by `env` (nullptr removes a
// variable), and a hard limit of 30 s.
Outcome RunCommand(const std::vector<std::string>& args, const std::map<std::string, const char*>& env)
{
    const TempFolder streams;
    std::string line = "timeout -s KILL 30 env";
    for (const auto& [name, value] : env)
        line += value == nullptr ? " -u " + name : " " + name + "=" + Quote(value);
    line += " " + Quote(VORN_CLI_PATH);
    for (const std::string& arg : args)
        line += " " + Quote(arg);
    line += " >" + Quote(streams.File("out")) + " 2>" + Quote(streams.File("err"));
    const int status = std::system(line.c_str());
    return Outcome { WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(streams.File("out")),
        ReadWholeFile(streams.File("err")) };
}

// A database as earlier program versions wrote it: concatenated statements, bare integers.
void PrepareDatabase(const std::string& path)
{
    RawExecute(path,
        "create table gm_ftp_plantable (ftpid INTEGER primary key,ftpname TEXT, ftpcreatetime TEXT, "
        "ftpmodifytime TEXT, ftpsource TEXT, ftpdest TEXT, ftpip TEXT, ftpuser TEXT, ftppassword TEXT, "
        "ftpport TEXT, ftpactive INTEGER, ftpbackmode INTEGER, ftptype INTEGER, ftprule TEXT, "
        "ftpplanmode INTEGER, ftpplan TEXT, ftphour INTEGER, ftpminute INTEGER, ftpdaymode INTEGER, "
        "ftpstatus TEXT, ftpruntime TEXT, ftpmem TEXT, ftpdestpath TEXT, ftpdestip TEXT, "
        "ftpdestuser TEXT, ftpdestpass TEXT, ftpdestport TEXT, ftpiscompress INTEGER, ftpcompass TEXT);"
        "insert into gm_ftp_plantable values(NULL, 'Web site','2012-03-05 14:07:09','','/www',"
        "'/srv/backup/www','ftp.example.org','u','p','21',0,1,1,'',1,'1021|1035|',14,30,3,'Success',"
        "'03/05/2012 14:07:09','','','','','','',0,'');"
        "insert into gm_ftp_plantable values(NULL, 'Mirror','2012-03-06 10:00:00','','in',"
        "'','10.0.0.1','u','p','21',0,1,2,'',2,'1056|1060|',6,5,3,'','','','/out','10.0.0.2','v','q',"
        "'2121',0,'');"
        "insert into gm_ftp_plantable values(NULL, 'Odd ''quoted''\tname','2012-03-07 10:00:00','',"
        "'/a\\b','C:\\backup','srv','u','p','21',0,1,7,'',3,'',4,9,1,'Stop','03/07/2012 11:12:13','',"
        "'','','','','',0,'');");
}

} // namespace

TEST(VornbackupCli, ListsEveryProjectAsTabSeparatedFields)
{
    TempFolder folder;
    ScopedUtc utc; // inherited by the command, so both sides compute in the same zone
    const std::string db = folder.File("projects.db");
    PrepareDatabase(db);
    // The first open adds the tables beside the plan table; the listing itself only reads.
    ASSERT_TRUE(vorn::ProjectDb::Open(db).db);
    const std::string before = ReadWholeFile(db);

    // The next backup time moves with the clock: compute it on both sides of the run.
    auto expected = [](std::time_t now) {
        return "Web site\tftp://ftp.example.org/www\t/srv/backup/www\t03/05/2012 14:07:09\t"
            + vorn::ComputeNextBackupTime("1", "1021|1035|", "14", "30", "3", now) + "\t"
            + vorn::DescribeSchedule("1", "1021|1035|", "14", "30", "3") + "\n"
            + "Mirror\tftp://10.0.0.1in\tftp://10.0.0.2/out\t\t"
            + vorn::ComputeNextBackupTime("2", "1056|1060|", "6", "5", "3", now) + "\t"
            + vorn::DescribeSchedule("2", "1056|1060|", "6", "5", "3") + "\n"
            + "Odd 'quoted'\\tname\tftp://srv/a\\\\b\t\t03/07/2012 11:12:13\t"
            + vorn::ComputeNextBackupTime("3", "", "4", "9", "1", now) + "\t"
            + vorn::DescribeSchedule("3", "", "4", "9", "1") + "\n";
    };
    const std::string early = expected(std::time(nullptr));
    const Outcome run = RunCommand({ "list" }, { { "VORNBACKUP_DB", db.c_str() } });
    const std::string late = expected(std::time(nullptr));

    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.out == early || run.out == late) << run.out << "\nexpected\n" << late;
    // Six fields on each of three lines; the tab inside a name does not add one.
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\t'), 15);
    // Listing reads only: the file stays as it was.
    EXPECT_EQ(ReadWholeFile(db), before);
}

TEST(VornbackupCli, CommandLineMistakesPrintUsageAndExit2WithoutTouchingTheDatabase)
{
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        { {}, "no verb given" },
        { { "frobnicate" }, "unknown verb 'frobnicate'" },
        { { "list", "extra" }, "too many arguments for 'list'" },
        { { "--db" }, "--db needs a file path" },
        { { "list", "--db" }, "--db needs a file path" },
        { { "--db=", "list" }, "--db needs a file path" },
        { { "--verbose", "list" }, "unknown option '--verbose'" },
        { { "--", "--help" }, "unknown verb '--help'" },
    };
    for (const Case& c : cases) {
        TempFolder folder;
        const std::string db = folder.File("never.db");
        const Outcome run = RunCommand(c.args, { { "VORNBACKUP_DB", db.c_str() } });
        EXPECT_EQ(run.exitCode, 2) << c.message;
        EXPECT_EQ(run.out, "") << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("Usage: vornbackup-cli [--db PATH] list"), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(db)) << c.message;
    }

    const Outcome help = RunCommand({ "--help" }, {});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    for (const char* part : { "list", "--db PATH", "VORNBACKUP_DB", "XDG_DATA_HOME", "Exit status" })
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
}

TEST(VornbackupCli, UnusableDatabaseExits1AndLeavesTheFileAlone)
{
    TempFolder folder;
    const std::string garbage = folder.File("garbage.db");
    WriteWholeFile(garbage, std::string(4096, 'x'));
    const std::string missing = folder.File("no/such/folder/x.db");

    for (const std::string& path : { garbage, folder.path().string(), missing }) {
        const Outcome run = RunCommand({ "--db", path, "list" }, {});
        EXPECT_EQ(run.exitCode, 1) << path;
        EXPECT_EQ(run.out, "") << path;
        EXPECT_NE(run.err.find("\"" + path + "\""), std::string::npos) << run.err;
    }
    EXPECT_EQ(ReadWholeFile(garbage), std::string(4096, 'x'));
    // Nothing left beside the garbage: no journal, no created folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}
