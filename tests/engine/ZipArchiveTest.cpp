#include "engine/archives/ZipArchive.h"

#include "engine/archives/ArchiveCheck.h"
#include "support/Requirement.h"
#include "support/ScopedZone.h"

#include <algorithm>
#include <clocale>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using vorn::ZipArchive;
using Code = vorn::ErrorKind;

// The kind of a failure; none for a success.
std::optional<Code> KindOf(const vorn::Status& status)
{
    return status ? std::nullopt : std::optional<Code>(status.error().kind);
}

// The words of a failure; "" for a success.
std::string Words(const vorn::Status& status)
{
    return status ? std::string() : status.message();
}

// The archive made, or null when it could not be.
std::unique_ptr<ZipArchive> Made(vorn::Result<std::unique_ptr<ZipArchive>> created)
{
    return created ? std::move(created).value() : nullptr;
}
using Listing = std::map<std::string, std::map<std::string, std::string>>; // path -> key -> value

std::string ReadAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), {} };
}

std::string RandomBytes(std::size_t size)
{
    std::mt19937_64 random(size);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return char(random()); });
    return bytes;
}

std::string Utc(std::time_t t)
{
    char text[32];
    std::tm tm {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", gmtime_r(&t, &tm));
    return text;
}

class ZipArchiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "vorn-zip-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        zip = (dir / "nightly_130307140509.zip").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Write(const std::string& name, const std::string& bytes, std::time_t mtime = 1331821500)
    {
        const fs::path file = dir / "src" / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
        const timespec times[2] = { { mtime, 0 }, { mtime, 0 } };
        EXPECT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        return file;
    }

    // Runs 7z with stdin closed (a password prompt fails instead of waiting), TZ=UTC so that
    // times print in UTC, and coreutils' timeout bounding its life. Returns the exit status.
    int SevenZip(std::vector<std::string> args, std::string* output = nullptr)
    {
        args.insert(args.begin(), { "timeout", "-s", "KILL", "120", "7z" });
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        char tz[] = "TZ=UTC", lang[] = "LANG=C.UTF-8", path[] = "PATH=/usr/bin:/bin";
        char* envp[] = { tz, lang, path, nullptr };
        const std::string log = (dir / "7z.log").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        int status = -1;
        const bool ran = posix_spawnp(&pid, "timeout", &actions, nullptr, argv.data(), envp) == 0
            && waitpid(pid, &status, 0) == pid;
        posix_spawn_file_actions_destroy(&actions);
        if (output != nullptr)
            *output = ReadAll(log);
        return ran && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // "" when `7z t` finds the archive sound and warns about nothing, else its report.
    std::string Problems(const std::string& archive, const std::string& password)
    {
        std::string out;
        const int status = SevenZip({ "t", "-p" + password, archive }, &out);
        return status == 0 && out.find("WARNING") == std::string::npos ? "" : out;
    }

    Listing List(const std::string& password)
    {
        std::string text, line, path;
        EXPECT_EQ(SevenZip({ "l", "-slt", "-p" + password, zip }, &text), 0) << text;
        std::istringstream lines(text.substr(std::min(text.find("----------"), text.size())));
        Listing entries;
        while (std::getline(lines, line)) {
            const std::size_t eq = line.find(" = ");
            if (eq != std::string::npos && line.compare(0, eq, "Path") == 0)
                path = line.substr(eq + 3);
            else if (eq != std::string::npos)
                entries[path][line.substr(0, eq)] = line.substr(eq + 3);
        }
        return entries;
    }

    fs::path dir;
    std::string zip;
};

struct RoundTripCase {
    const char* password;
    const char* locale; // the writer's; libarchive converts names through it
};

void PrintTo(const RoundTripCase& c, std::ostream* os)
{
    *os << "locale " << c.locale << (*c.password ? ", AES-256" : ", no password");
}

class ZipRoundTrip : public ZipArchiveTest, public ::testing::WithParamInterface<RoundTripCase> { };

// Written in a zone nine hours off UTC: an entry time read from the zip's local-time DOS
// field instead of its UTC field would show as a nine-hour shift.
TEST_P(ZipRoundTrip, SevenZipReadsBackNamesBytesTimesAndEncryption)
{
    const std::string password = GetParam().password;
    const std::string oldLocale = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, GetParam().locale), nullptr);
    // Nine hours east of UTC, as a rule that needs no zone files.
    std::optional<vorn::test::ScopedZone> zone;
    zone.emplace("JST-9");
    const struct {
        std::string name, bytes;
        std::time_t mtime;
    } files[] {
        { "empty.txt", "", 1331821500 }, // 2012-03-15 14:25:00
        { "docs/a.txt", "alpha\n", 1331821501 }, // odd second: exact, not DOS-rounded
        { "ファイル 名.txt", "名前", 946684799 }, // 1999-12-31 23:59:59
        { "v1..2/it's \"q\".bin", RandomBytes(5 << 20), 1906502407 },
    };
    {
        auto created = ZipArchive::Create(zip, password);
        ASSERT_TRUE(created) << created.message();
        for (const auto& f : files) {
            const auto added = created.value()->Add(f.name, Write(std::to_string(f.mtime), f.bytes, f.mtime));
            EXPECT_TRUE(added) << Words(added);
        }
        const auto closed = created.value()->Close();
        ASSERT_TRUE(closed) << Words(closed);
    }
    zone.reset();
    std::setlocale(LC_ALL, oldLocale.c_str());
    EXPECT_FALSE(fs::exists(zip + ".part"));

    ASSERT_EQ(Problems(zip, password), "");
    const Listing entries = List(password);
    EXPECT_EQ(entries.size(), std::size(files));
    std::string out;
    ASSERT_EQ(SevenZip({ "x", "-y", "-p" + password, "-o" + (dir / "out").string(), zip }, &out), 0) << out;
    for (const auto& f : files) {
        ASSERT_TRUE(entries.count(f.name)) << f.name;
        auto e = entries.at(f.name);
        EXPECT_EQ(e["Size"], std::to_string(f.bytes.size())) << f.name;
        EXPECT_EQ(e["Modified"].substr(0, 19), Utc(f.mtime)) << f.name;
        EXPECT_EQ(e["Attributes"], " -rw-r--r--") << f.name;
        const bool encrypted = !password.empty() && !f.bytes.empty(); // nothing to hide in 0 bytes
        EXPECT_EQ(e["Encrypted"], encrypted ? "+" : "-") << f.name;
        EXPECT_EQ(e["Method"].find("AES-256") != std::string::npos, encrypted)
            << f.name << ": " << e["Method"];
        // 7-Zip guesses UTF-8 for names written on Unix anyway; other readers need the flag.
        const bool ascii = std::all_of(f.name.begin(), f.name.end(), [](char c) { return c > 0; });
        EXPECT_EQ(e["Characteristics"].find("UTF8") == std::string::npos, ascii) << f.name;
        EXPECT_TRUE(ReadAll(dir / "out" / f.name) == f.bytes) << f.name;
    }
    EXPECT_EQ(SevenZip({ "t", zip }) == 0, password.empty()) << "opened without a password";
    if (!password.empty()) {
        EXPECT_NE(SevenZip({ "t", "-p" + password + "x", zip }), 0) << "a wrong password was accepted";
    }
}

INSTANTIATE_TEST_SUITE_P(Passwords, ZipRoundTrip,
    ::testing::Values(RoundTripCase { "", "C" }, RoundTripCase { "pa\"ss 'wörd' ファ", "C" },
        RoundTripCase { "s3cret", "C.UTF-8" }),
    [](const auto& info) { return std::to_string(info.index) + (*info.param.password ? "_aes" : "_plain"); });

TEST_F(ZipArchiveTest, CreateRefusesWithAMessageAndLeavesNothingBehind)
{
    std::ofstream(dir / "file") << "x";
    std::ofstream(zip) << "earlier archive";
    const struct {
        std::string path, password;
        Code code;
        std::string says;
    } rows[] {
        { (dir / "missing" / "a.zip").string(), "", Code::NotFound,
            (dir / "missing").string() + "\" does not exist" },
        { (dir / "file" / "a.zip").string(), "", Code::Invalid, "is not a folder" },
        { zip, "pw", Code::AlreadyExists, "exists already" },
        { (dir / "b.zip").string(), std::string("p\0w", 3), Code::Invalid, "NUL" },
    };
    for (const auto& row : rows) {
        const auto created = ZipArchive::Create(row.path, row.password);
        ASSERT_FALSE(created) << row.path;
        EXPECT_EQ(created.error().kind, row.code) << row.path;
        EXPECT_NE(created.message().find(row.says), std::string::npos) << created.message();
        EXPECT_NE(created.message().find(row.path), std::string::npos) << created.message();
    }
    EXPECT_EQ(ReadAll(zip), "earlier archive");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2) << "something was left behind";
}

TEST_F(ZipArchiveTest, RefusedAndFailedAddsKeepTheArchiveValid)
{
    auto archive = Made(ZipArchive::Create(zip, "pw"));
    ASSERT_NE(archive, nullptr);
    const std::string good = Write("good.txt", "good"), gone = (dir / "gone.txt").string();
    ASSERT_TRUE(archive->Add("docs/good.txt", good));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        std::string name, file;
        Code code;
        std::string says;
    } rows[] {
        { "", good, Code::Invalid, "empty" }, { "/etc/passwd", good, Code::Invalid, "absolute" },
        { "../up.txt", good, Code::Invalid, "\"..\" component" },
        { "a/../../b.txt", good, Code::Invalid, "\"..\" component" },
        { "a/./b.txt", good, Code::Invalid, "\".\" component" },
        { "a//b.txt", good, Code::Invalid, "empty path component" },
        { "folder/", good, Code::Invalid, "empty path component" },
        { "..\\win.txt", good, Code::Invalid, "backslash" },
        { "C:/win.txt", good, Code::Invalid, "drive letter" },
        { "latin\xe9.txt", good, Code::Invalid, "UTF-8" },
        { std::string("nul\0.txt", 8), good, Code::Invalid, "NUL" },
        { "docs/good.txt", good, Code::AlreadyExists, "exists already" },
        { "gone.txt", gone, Code::NotFound, gone + "\" does not exist" },
        { "folder.txt", dir.string(), Code::Invalid, "not a regular file" },
        { "fifo.txt", (dir / "fifo").string(), Code::Invalid, "not a regular file" },
        { "grew.txt", "/proc/self/status", Code::Changed, "grew" }, // announces 0 bytes
    };
    for (const auto& row : rows) {
        const auto added = archive->Add(row.name, row.file);
        EXPECT_EQ(KindOf(added), row.code) << Words(added);
        EXPECT_NE(Words(added).find(row.says), std::string::npos) << Words(added);
        EXPECT_NE(Words(added).find(zip), std::string::npos) << Words(added);
    }
    ASSERT_TRUE(archive->Close());

    EXPECT_EQ(Problems(zip, "pw"), "");
    Listing entries = List("pw");
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries["docs/good.txt"]["Size"], "4");
    EXPECT_EQ(entries["grew.txt"]["Size"], "0");
}

// A file that delivers fewer bytes than it announced (every sysfs file announces 4096) is
// reported as changed; the entry keeps the announced size, so the archive stays valid.
TEST_F(ZipArchiveTest, AFileThatShrankIsReportedAndTheArchiveStaysValid)
{
    std::string shrinking;
    for (const char* candidate : { "/sys/devices/system/cpu/online", "/sys/kernel/uevent_seqnum",
             "/sys/kernel/mm/transparent_hugepage/enabled" }) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec) && fs::file_size(candidate, ec) == 4096 && !ec) {
            shrinking = candidate;
            break;
        }
    }
    VORN_REQUIRE(!shrinking.empty(), "sysfs mounted on /sys");
    auto archive = Made(ZipArchive::Create(zip, "pw"));
    ASSERT_NE(archive, nullptr);
    ASSERT_TRUE(archive->Add("docs/good.txt", Write("good.txt", "good")));
    const auto shrank = archive->Add("shrank.txt", shrinking);
    EXPECT_EQ(KindOf(shrank), Code::Changed) << Words(shrank);
    ASSERT_TRUE(archive->Close());

    EXPECT_EQ(Problems(zip, "pw"), "");
    Listing entries = List("pw");
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries["docs/good.txt"]["Size"], "4");
    EXPECT_EQ(entries["shrank.txt"]["Size"], "4096");
}

TEST_F(ZipArchiveTest, OperationsAndLifetime)
{
    const auto missing = ZipArchive::Create((dir / "no" / "x.zip").string(), "");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.message().find("does not exist"), std::string::npos);

    auto handle = Made(ZipArchive::Create(zip, "pw"));
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(handle->isOpen());
    EXPECT_TRUE(handle->Add("a.txt", Write("a", "a")));
    const vorn::Status refused = handle->Add("../a.txt", Write("a", "a"));
    EXPECT_EQ(KindOf(refused), Code::Invalid);
    EXPECT_NE(Words(refused).find("\"..\" component"), std::string::npos) << Words(refused);
    EXPECT_FALSE(fs::exists(zip)) << "an unfinished archive carries the final name";
    const vorn::Status closed = handle->Close();
    EXPECT_TRUE(closed) << Words(closed);
    const vorn::Status late = handle->Add("b.txt", Write("b", "b"));
    EXPECT_EQ(KindOf(late), Code::Invalid);
    EXPECT_NE(Words(late).find("closed"), std::string::npos) << Words(late);
    EXPECT_EQ(Problems(zip, "pw"), "");

    // An archive dropped without Close is finished, not lost; a closed one refuses more.
    const std::string second = (dir / "second.zip").string(), third = (dir / "third.zip").string();
    auto archive = Made(ZipArchive::Create(second, ""));
    ASSERT_NE(archive, nullptr);
    ASSERT_TRUE(archive->Add("b.txt", Write("b", "bee")));
    archive = Made(ZipArchive::Create(third, ""));
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(Problems(second, ""), "");
    ASSERT_TRUE(archive->Close());
    EXPECT_EQ(KindOf(archive->Add("b.txt", Write("b", "bee"))), Code::Invalid);
    EXPECT_TRUE(archive->Close());
    EXPECT_EQ(Problems(third, ""), "");
}

// A file-size limit makes the kernel refuse writes the way a full disk does.
TEST_F(ZipArchiveTest, WriteFailureIsReportedAndNoBrokenArchiveRemains)
{
    const std::string big = Write("big", RandomBytes(1 << 20));
    auto archive = Made(ZipArchive::Create(zip, "pw"));
    ASSERT_NE(archive, nullptr);
    rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 256 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto added = archive->Add("big.bin", big);
    const auto again = archive->Add("small.txt", Write("small", "s"));
    const auto closed = archive->Close();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(KindOf(added), Code::LocalIo);
    EXPECT_NE(Words(added).find("File too large"), std::string::npos) << Words(added);
    EXPECT_EQ(KindOf(again), Code::LocalIo);
    EXPECT_EQ(KindOf(closed), Code::LocalIo);
    EXPECT_NE(Words(closed).find(zip), std::string::npos) << Words(closed);
    EXPECT_FALSE(fs::exists(zip));
    EXPECT_FALSE(fs::exists(zip + ".part"));
}

// More than 65535 entries need the Zip64 end records; without them the count wraps.
TEST_F(ZipArchiveTest, ManyEntriesGetZip64EndRecords)
{
    const std::string empty = Write("empty", "");
    auto archive = Made(ZipArchive::Create(zip, ""));
    ASSERT_NE(archive, nullptr);
    constexpr int count = 65536 + 3;
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(archive->Add("d" + std::to_string(i % 16) + "/" + std::to_string(i), empty)) << i;
    ASSERT_TRUE(archive->Close());
    const std::string bytes = ReadAll(zip);
    EXPECT_NE(bytes.find(std::string("PK\x06\x06", 4), bytes.size() - 200), std::string::npos);
    std::string out;
    ASSERT_EQ(SevenZip({ "t", zip }, &out), 0) << out;
    EXPECT_NE(out.find("Files: " + std::to_string(count)), std::string::npos) << out;

    // The read-back check finds every entry through the Zip64 end record, and a count there
    // that does not match the directory fails it.
    EXPECT_TRUE(VerifyArchive(zip, "", archive->written()));
    std::string damaged = bytes;
    const std::size_t record = damaged.find(std::string("PK\x06\x06", 4), bytes.size() - 200);
    damaged[record + 32] = char(damaged[record + 32] ^ 1); // the total number of entries
    std::ofstream(zip, std::ios::binary | std::ios::trunc) << damaged;
    const vorn::Status problem = VerifyArchive(zip, "", archive->written());
    ASSERT_FALSE(problem);
    EXPECT_NE(problem.message().find("central directory"), std::string::npos) << problem.message();
}

} // namespace
