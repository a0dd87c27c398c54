#include "engine/ZipArchive.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using vorn::ZipArchive;
using Code = vorn::ZipError::Code;

std::string ReadAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), {} };
}

std::string RandomBytes(std::size_t size)
{
    std::mt19937_64 random(size);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(random());
    return bytes;
}

struct Entry {
    std::string size, modified, encrypted, method, attributes, characteristics;
};

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

    fs::path Write(const std::string& name, const std::string& bytes, std::time_t mtime = 1331821500)
    {
        const fs::path file = dir / "src" / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
        const timespec times[2] = { { mtime, 0 }, { mtime, 0 } };
        EXPECT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        return file;
    }

    // Runs 7z with stdin closed (a password prompt fails instead of waiting), TZ=UTC so that
    // times print in UTC, and coreutils' timeout as the bound on its life. Returns the exit
    // status and fills `output`.
    int SevenZip(const std::vector<std::string>& args, std::string* output = nullptr)
    {
        std::vector<std::string> all { "timeout", "-s", "KILL", "120", "7z" };
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        char tz[] = "TZ=UTC", lang[] = "LANG=C.UTF-8", path[] = "PATH=/usr/bin:/bin";
        char* envp[] = { tz, lang, path, nullptr };
        const fs::path log = dir / "7z.log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        const int spawned = posix_spawnp(&pid, "timeout", &actions, nullptr, argv.data(), envp);
        posix_spawn_file_actions_destroy(&actions);
        int status = -1;
        if (spawned != 0 || waitpid(pid, &status, 0) != pid)
            return -1;
        if (output != nullptr)
            *output = ReadAll(log);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // The entries 7z lists, by path.
    std::map<std::string, Entry> List(const std::string& password)
    {
        std::string text;
        EXPECT_EQ(SevenZip({ "l", "-slt", "-p" + password, zip }, &text), 0) << text;
        std::map<std::string, Entry> entries;
        std::istringstream lines(text.substr(std::min(text.find("----------"), text.size())));
        std::string line, path;
        while (std::getline(lines, line)) {
            const auto value = [&](const char* key) {
                return line.rfind(key, 0) == 0 ? line.substr(std::strlen(key)) : std::string();
            };
            if (line.rfind("Path = ", 0) == 0)
                path = value("Path = ");
            else if (line.rfind("Size = ", 0) == 0)
                entries[path].size = value("Size = ");
            else if (line.rfind("Modified = ", 0) == 0)
                entries[path].modified = value("Modified = ").substr(0, 19);
            else if (line.rfind("Encrypted = ", 0) == 0)
                entries[path].encrypted = value("Encrypted = ");
            else if (line.rfind("Method = ", 0) == 0)
                entries[path].method = value("Method = ");
            else if (line.rfind("Attributes = ", 0) == 0)
                entries[path].attributes = value("Attributes = ");
            else if (line.rfind("Characteristics = ", 0) == 0)
                entries[path].characteristics = value("Characteristics = ");
        }
        return entries;
    }

    fs::path dir;
    std::string zip;
};

std::string Utc(std::time_t t)
{
    std::tm tm {};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

struct RoundTripCase {
    const char* password;
    const char* locale;
};

class ZipRoundTrip : public ZipArchiveTest, public ::testing::WithParamInterface<RoundTripCase> { };

// Writes in a zone nine hours off UTC: an entry time taken from the zip's local DOS field
// instead of the UTC one would show up as a nine-hour shift.
TEST_P(ZipRoundTrip, SevenZipReadsBackNamesBytesTimesAndEncryption)
{
    const std::string password = GetParam().password;
    const std::string oldLocale = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, GetParam().locale), nullptr);
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    struct File {
        std::string name, bytes;
        std::time_t mtime;
    };
    const std::vector<File> files {
        { "empty.txt", "", 1331821500 },                       // 2012-03-15 14:25:00
        { "docs/a.txt", "alpha\n", 1331821501 },               // odd second: exact, not DOS-rounded
        { "ファイル 名.txt", "名前", 946684799 },              // 1999-12-31 23:59:59
        { "v1..2/it's \"q\".bin", RandomBytes(5 << 20), 1906502407 }, // 2030-06-01 00:00:07
    };
    {
        auto created = ZipArchive::Create(zip, password);
        ASSERT_FALSE(created.error) << created.error.message;
        for (const File& f : files) {
            const auto added = created.archive->Add(f.name, Write("f" + std::to_string(&f - files.data()), f.bytes, f.mtime));
            EXPECT_FALSE(added) << added.message;
        }
        const auto closed = created.archive->Close();
        ASSERT_FALSE(closed) << closed.message;
    }
    unsetenv("TZ");
    tzset();
    std::setlocale(LC_ALL, oldLocale.c_str());
    EXPECT_FALSE(fs::exists(zip + ".part"));

    std::string out;
    ASSERT_EQ(SevenZip({ "t", "-p" + password, zip }, &out), 0) << out;
    const auto entries = List(password);
    ASSERT_EQ(entries.size(), files.size());
    for (const File& f : files) {
        ASSERT_TRUE(entries.count(f.name)) << f.name;
        const Entry& e = entries.at(f.name);
        EXPECT_EQ(e.size, std::to_string(f.bytes.size())) << f.name;
        EXPECT_EQ(e.modified, Utc(f.mtime)) << f.name;
        EXPECT_NE(e.attributes.find("-rw-r--r--"), std::string::npos) << f.name << ": " << e.attributes;
        // 7-Zip guesses UTF-8 for names from Unix anyway; other readers need the flag.
        const bool ascii = std::all_of(f.name.begin(), f.name.end(), [](char c) { return c > 0; });
        EXPECT_EQ(e.characteristics.find("UTF8") != std::string::npos, !ascii) << f.name << ": " << e.characteristics;
        const bool encrypted = !password.empty() && !f.bytes.empty();
        EXPECT_EQ(e.encrypted, encrypted ? "+" : "-") << f.name;
        EXPECT_EQ(e.method.find("AES-256") != std::string::npos, encrypted) << f.name << ": " << e.method;
    }
    ASSERT_EQ(SevenZip({ "x", "-y", "-p" + password, "-o" + (dir / "out").string(), zip }, &out), 0) << out;
    for (const File& f : files)
        EXPECT_TRUE(ReadAll(dir / "out" / f.name) == f.bytes) << f.name;

    EXPECT_EQ(SevenZip({ "t", zip }) == 0, password.empty()) << "opening without a password";
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
    struct Row {
        std::string path, password;
        Code code;
        std::string mentions;
    } rows[] {
        { (dir / "missing" / "a.zip").string(), "", Code::NotFound, (dir / "missing").string() + "\" does not exist" },
        { (dir / "file" / "a.zip").string(), "", Code::InvalidArgument, "is not a folder" },
        { zip, "pw", Code::AlreadyExists, "exists already" },
        { (dir / "b.zip").string(), std::string("p\0w", 3), Code::InvalidArgument, "NUL" },
    };
    for (const Row& row : rows) {
        const auto created = ZipArchive::Create(row.path, row.password);
        EXPECT_EQ(created.archive, nullptr) << row.path;
        EXPECT_EQ(created.error.code, row.code) << row.path;
        EXPECT_NE(created.error.message.find(row.mentions), std::string::npos) << created.error.message;
        EXPECT_NE(created.error.message.find(row.path), std::string::npos) << created.error.message;
    }
    EXPECT_EQ(ReadAll(zip), "earlier archive");
    EXPECT_FALSE(fs::exists(dir / "b.zip"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);
}

TEST_F(ZipArchiveTest, RefusedAndFailedAddsKeepTheArchiveValid)
{
    auto zipArchive = ZipArchive::Create(zip, "pw").archive;
    ASSERT_NE(zipArchive, nullptr);
    const fs::path good = Write("good.txt", "good");
    ASSERT_FALSE(zipArchive->Add("docs/good.txt", good));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    struct Row {
        std::string name, file;
        Code code;
    } rows[] {
        { "", good, Code::InvalidArgument },
        { "/etc/passwd", good, Code::InvalidArgument },
        { "../up.txt", good, Code::InvalidArgument },
        { "a/../../b.txt", good, Code::InvalidArgument },
        { "a/./b.txt", good, Code::InvalidArgument },
        { "a//b.txt", good, Code::InvalidArgument },
        { "folder/", good, Code::InvalidArgument },
        { "..\\win.txt", good, Code::InvalidArgument },
        { "C:/win.txt", good, Code::InvalidArgument },
        { "latin\xe9.txt", good, Code::InvalidArgument },
        { std::string("nul\0.txt", 8), good, Code::InvalidArgument },
        { "docs/good.txt", good, Code::AlreadyExists },
        { "gone.txt", (dir / "src" / "gone.txt").string(), Code::NotFound },
        { "folder.txt", (dir / "src").string(), Code::InvalidArgument },
        { "fifo.txt", (dir / "fifo").string(), Code::InvalidArgument },
    };
    for (const Row& row : rows) {
        const auto added = zipArchive->Add(row.name, row.file);
        EXPECT_EQ(added.code, row.code) << row.name << ": " << added.message;
        EXPECT_NE(added.message.find(zip), std::string::npos) << added.message;
    }
    EXPECT_NE(zipArchive->Add("gone.txt", dir / "src" / "gone.txt").message.find("gone.txt\" does not exist"),
        std::string::npos);
    // Files whose size changes under the reader: the entry keeps its announced size.
    EXPECT_EQ(zipArchive->Add("grew.txt", "/proc/self/status").code, Code::FileChanged);
    // sysfs announces 4096 bytes and delivers fewer.
    const std::string sysfsFile = "/sys/kernel/mm/transparent_hugepage/enabled";
    const bool sysfs = fs::exists(sysfsFile);
    if (sysfs) {
        EXPECT_EQ(zipArchive->Add("shrank.txt", sysfsFile).code, Code::FileChanged);
    }
    ASSERT_FALSE(zipArchive->Close());

    std::string out;
    EXPECT_EQ(SevenZip({ "t", "-ppw", zip }, &out), 0) << out;
    const auto entries = List("pw");
    EXPECT_EQ(entries.size(), sysfs ? 3u : 2u);
    EXPECT_EQ(entries.at("docs/good.txt").size, "4");
    EXPECT_EQ(entries.at("grew.txt").size, "0");
    if (sysfs) {
        EXPECT_EQ(entries.at("shrank.txt").size, std::to_string(fs::file_size(sysfsFile)));
    }
}

TEST_F(ZipArchiveTest, HandleOperationsAndLifetime)
{
    std::string message;
    EXPECT_EQ(vorn::CreateZipdll((dir / "no" / "x.zip").string(), "", &message), nullptr);
    EXPECT_NE(message.find("does not exist"), std::string::npos);
    vorn::HZIP none;
    EXPECT_FALSE(vorn::IsZipHandleZdll(none));
    EXPECT_EQ(vorn::ZipAdddll(none, "a.txt", Write("a", "a")), int(Code::Closed));
    EXPECT_EQ(vorn::CloseZipdll(none), 0);

    vorn::HZIP handle = vorn::CreateZipdll(zip, "pw");
    ASSERT_TRUE(vorn::IsZipHandleZdll(handle));
    EXPECT_EQ(vorn::ZipAdddll(handle, "a.txt", Write("a", "a")), 0);
    EXPECT_EQ(vorn::ZipAdddll(handle, "../a.txt", Write("a", "a"), &message), int(Code::InvalidArgument));
    EXPECT_NE(message.find("\"..\" component"), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(zip)) << "an unfinished archive must not carry the final name";
    EXPECT_EQ(vorn::CloseZipdll(handle, &message), 0) << message;
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(SevenZip({ "t", "-ppw", zip }), 0);

    // An archive dropped without Close is finished, not lost; a closed one refuses more.
    const std::string second = (dir / "second.zip").string();
    auto archive = ZipArchive::Create(second, "").archive;
    ASSERT_NE(archive, nullptr);
    ASSERT_FALSE(archive->Add("b.txt", Write("b", "bee")));
    archive.reset();
    EXPECT_EQ(SevenZip({ "t", second }), 0);
    archive = ZipArchive::Create((dir / "third.zip").string(), "").archive;
    ASSERT_FALSE(archive->Close());
    EXPECT_EQ(archive->Add("b.txt", Write("b", "bee")).code, Code::Closed);
    EXPECT_FALSE(archive->Close());
    EXPECT_EQ(SevenZip({ "t", (dir / "third.zip").string() }), 0);
}

// A file-size limit makes the kernel refuse writes the way a full disk does.
TEST_F(ZipArchiveTest, WriteFailureIsReportedAndNoBrokenArchiveRemains)
{
    const fs::path big = Write("big", RandomBytes(1 << 20));
    auto archive = ZipArchive::Create(zip, "pw").archive;
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

    EXPECT_EQ(added.code, Code::Io);
    EXPECT_NE(added.message.find("File too large"), std::string::npos) << added.message;
    EXPECT_EQ(again.code, Code::Io);
    EXPECT_EQ(closed.code, Code::Io);
    EXPECT_NE(closed.message.find(zip), std::string::npos) << closed.message;
    EXPECT_FALSE(fs::exists(zip));
    EXPECT_FALSE(fs::exists(zip + ".part"));
}

// More than 65535 entries need the Zip64 end records; without them the count wraps.
TEST_F(ZipArchiveTest, ManyEntriesGetZip64EndRecords)
{
    const fs::path empty = Write("empty", "");
    auto archive = ZipArchive::Create(zip, "").archive;
    ASSERT_NE(archive, nullptr);
    constexpr int count = 65536 + 3;
    for (int i = 0; i < count; ++i)
        ASSERT_FALSE(archive->Add("d" + std::to_string(i % 16) + "/" + std::to_string(i), empty)) << i;
    ASSERT_FALSE(archive->Close());
    const std::string bytes = ReadAll(zip);
    EXPECT_NE(bytes.find(std::string("PK\x06\x06", 4), bytes.size() - 200), std::string::npos);
    std::string out;
    ASSERT_EQ(SevenZip({ "t", zip }, &out), 0) << out;
    EXPECT_NE(out.find("Files: " + std::to_string(count)), std::string::npos) << out;
}

} // namespace
