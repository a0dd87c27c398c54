#include "StoreTestSupport.h"

#include <cstdlib>
#include <ctime>
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

// "MM/DD/YYYY HH:MM:SS" read as UTC; -1 when the text is not in that form.
std::time_t ParseUtc(const std::string& text)
{
    std::tm tm {};
    const char* end = strptime(text.c_str(), "%m/%d/%Y %H:%M:%S", &tm);
    return end != nullptr && *end == '\0' ? timegm(&tm) : -1;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        fields.push_back(line.substr(from, tab - from));
    fields.push_back(line.substr(from));
    return fields;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1)
        lines.push_back(text.substr(from, end - from));
    return lines;
}

} // namespace

TEST(VornbackupCli, ListsEveryProjectAsTabSeparatedFields)
{
    TempFolder folder;
    ScopedUtc utc; // inherited by the command: its times are UTC
    const std::string db = folder.File("projects.db");
    PrepareDatabase(db);
    // The first opening adds the program's own tables beside the plan table; after that,
    // listing only reads.
    ASSERT_EQ(RunCommand({ "list" }, { { "VORNBACKUP_DB", db.c_str() } }).exitCode, 0);
    const std::string before = ReadWholeFile(db);

    const std::time_t early = std::time(nullptr);
    const Outcome run = RunCommand({ "list" }, { { "VORNBACKUP_DB", db.c_str() } });
    const std::time_t late = std::time(nullptr);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // Six fields on each of three lines; the tab inside a name does not add one.
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    const std::vector<std::vector<std::string>> expected = {
        { "Web site", "ftp://ftp.example.org/www", "/srv/backup/www", "03/05/2012 14:07:09", "",
            "Every month: 1, 15; 14:30 auto backup." },
        // A port other than 21 is part of the address.
        { "Mirror", "ftp://10.0.0.1in", "ftp://10.0.0.2:2121/out", "", "",
            "Every week: Monday, Friday; 6:5 auto backup." },
        { "Odd 'quoted'\\tname", "ftp://srv/a\\\\b", "", "03/07/2012 11:12:13", "",
            "Every day: every 4 hour(s) auto backup." },
    };
    std::vector<std::time_t> next;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::vector<std::string> fields = Fields(lines[i]);
        ASSERT_EQ(fields.size(), 6u) << lines[i];
        next.push_back(ParseUtc(fields[4]));
        fields[4].clear();
        EXPECT_EQ(fields, expected[i]);
    }
    // The next backup time moves with the clock; it must follow the plan's rule.
    std::tm when {};
    ASSERT_NE(next[0], -1);
    gmtime_r(&next[0], &when); // the 1st or the 15th at 14:30, within the next 31 days
    EXPECT_TRUE((when.tm_mday == 1 || when.tm_mday == 15) && when.tm_hour == 14 && when.tm_min == 30
        && when.tm_sec == 0)
        << lines[0];
    EXPECT_TRUE(next[0] > early && next[0] <= late + 31 * 86400) << lines[0];
    ASSERT_NE(next[1], -1);
    gmtime_r(&next[1], &when); // a Monday or a Friday at 06:05, within the next week
    EXPECT_TRUE(
        (when.tm_wday == 1 || when.tm_wday == 5) && when.tm_hour == 6 && when.tm_min == 5 && when.tm_sec == 0)
        << lines[1];
    EXPECT_TRUE(next[1] > early && next[1] <= late + 7 * 86400) << lines[1];
    // Every 4 hours: four hours after the moment of listing.
    EXPECT_TRUE(next[2] >= early + 4 * 3600 && next[2] <= late + 4 * 3600) << lines[2];
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

// A database of a newer version: list and history read it; run, options and schedule say
// that it belongs to a newer version, name both versions, exit 1 and change nothing.
TEST(VornbackupCli, ADatabaseOfANewerVersionIsListedButNeverChanged)
{
    TempFolder folder;
    const std::string db = folder.File("projects.db");
    PrepareDatabase(db);
    ASSERT_EQ(RunCommand({ "list" }, { { "VORNBACKUP_DB", db.c_str() } }).exitCode, 0);
    RawExecute(db, "pragma user_version = 999");
    const std::string before = ReadWholeFile(db);
    for (const std::vector<std::string>& args :
        std::vector<std::vector<std::string>> { { "list" }, { "history", "Web site" } }) {
        const Outcome read = RunCommand(args, { { "VORNBACKUP_DB", db.c_str() } });
        EXPECT_EQ(read.exitCode, 0) << args[0] << read.err;
        EXPECT_EQ(read.err, "") << args[0];
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>> { { "run", "Web site" },
             { "options", "Web site" }, { "options", "Web site", "retries=5" }, { "schedule" } }) {
        const Outcome refused = RunCommand(args, { { "VORNBACKUP_DB", db.c_str() } });
        EXPECT_EQ(refused.exitCode, 1) << args[0];
        EXPECT_NE(refused.err.find("newer version"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("database version 999"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("knows database version "), std::string::npos) << refused.err;
    }
    EXPECT_EQ(ReadWholeFile(db), before);
}
