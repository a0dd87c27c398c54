// SFTP through the real headless command: OpenSSH's sshd and pyftpdlib on 127.0.0.1, the
// projects in a real database file, archives read back by 7z.
#include "StoreTestSupport.h"
#include "store/ProjectDb.h"
#include "store/ProjectOptions.h"
#include "support/FtpServer.h"
#include "support/SshServer.h"
#include "support/TestFiles.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <utime.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

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

// The real command, stdin closed, killed after 90 s; HOME points into the test's folder so
// that the user's own known_hosts plays no part.
Outcome Cli(const TempFolder& folder, const std::string& db, const std::vector<std::string>& args)
{
    std::string line = "cd " + Quote(folder.path().string()) + " && HOME=" + Quote(folder.path().string())
        + " timeout -s KILL 90 " + Quote(VORN_CLI_PATH) + " --db " + Quote(db);
    for (const std::string& arg : args)
        line += " " + Quote(arg);
    line += " </dev/null >out.txt 2>err.txt";
    const int status = std::system(line.c_str());
    return { WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(folder.File("out.txt")),
        ReadWholeFile(folder.File("err.txt")) };
}

constexpr const char* kRule = "File Rule(.txt .bin)\xA1\xA2Modify Time Any\xA1\xA2"
                              "File Size Any^";
constexpr std::time_t kStamp = 1700000007; // an odd second: minutes alone cannot give it

std::time_t ModifiedAt(const fs::path& path)
{
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0 ? info.st_mtime : 0;
}

std::string SftpHost()
{
    return "sftp://127.0.0.1";
}

class CliSftpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SshServer::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        server = std::make_unique<SshServer>();
        source = server->data() / "site";
        WriteFile(source / "a.txt", "alpha");
        MakeRandomFile(source / "sub" / "b.bin", 300000, 5);
        fs::create_directories(server->data() / "elsewhere");
        WriteFile(server->data() / "elsewhere" / "c.txt", "linked");
        fs::create_directory_symlink(server->data() / "elsewhere", source / "dirlink");
        const utimbuf times { kStamp, kStamp };
        ::utime((source / "a.txt").c_str(), &times);
        server->GiveToUser(server->data());
        db = folder.File("projects.db");
    }

    // An SFTP source project; `destination` is a local folder, or with `ftp` a folder of
    // that FTP server.
    void Store(const std::string& name, const std::string& destination, bool compress = false,
        const FtpServer* ftp = nullptr, const std::string& password = SshServer::password)
    {
        auto opened = ProjectDb::Open(db);
        BackupProject p;
        p.ftpname = name;
        p.ftpsource = source.string();
        p.ftpip = SftpHost();
        p.ftpuser = SshServer::user;
        p.ftppassword = password;
        p.ftpport = std::to_string(server->port());
        p.ftpbackmode = 1;
        p.ftptype = ftp ? 2 : 1;
        p.ftprule = kRule;
        p.ftpiscompress = compress;
        if (ftp) {
            p.ftpdestip = ftp->host();
            p.ftpdestuser = ftp->options().user;
            p.ftpdestpass = ftp->options().password;
            p.ftpdestport = std::to_string(ftp->port());
            p.ftpdestpath = destination;
        } else {
            p.ftpdest = destination;
        }
        ASSERT_TRUE(opened.db && InsertProject(opened.db.get(), p)) << opened.error;
    }

    void Trust(const std::string& name)
    {
        const Outcome trusted = Cli(folder, db, { "trust", name, "--yes" });
        ASSERT_EQ(trusted.exitCode, 0) << trusted.out << trusted.err;
    }

    std::unique_ptr<SshServer> server;
    fs::path source;
    TempFolder folder;
    std::string db;
};

TEST_F(CliSftpTest, UnknownKeyFailsTheRunUntilTrustStoresItThenTheTreeComesWithItsSeconds)
{
    Store("site", folder.File("dest"));
    const Outcome refused = Cli(folder, db, { "run", "site" });
    EXPECT_EQ(refused.exitCode, 1) << refused.out << refused.err;
    EXPECT_NE(refused.err.find(server->Fingerprint()), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("vornbackup-cli trust site"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(folder.File("dest/a.txt")));

    // Without --yes and without an answer nothing is stored.
    const Outcome unanswered = Cli(folder, db, { "trust", "site" });
    EXPECT_EQ(unanswered.exitCode, 1);
    EXPECT_NE(unanswered.out.find(server->Fingerprint()), std::string::npos) << unanswered.out;
    const fs::path ownFile = folder.path() / "known_hosts";
    EXPECT_FALSE(fs::exists(ownFile) && fs::file_size(ownFile) > 0);

    const Outcome trusted = Cli(folder, db, { "trust", "site", "--yes" });
    ASSERT_EQ(trusted.exitCode, 0) << trusted.out << trusted.err;
    EXPECT_NE(trusted.out.find("ssh-"), std::string::npos) << trusted.out;
    EXPECT_NE(trusted.out.find(server->Fingerprint()), std::string::npos) << trusted.out;

    const Outcome run = Cli(folder, db, { "run", "site" });
    // The link to a folder is not entered: its row fails with the reason, and the run says so.
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find("follow-links=1"), std::string::npos) << run.out << run.err;
    EXPECT_EQ(ReadWholeFile(folder.File("dest/a.txt")), "alpha");
    EXPECT_EQ(fs::file_size(folder.File("dest/sub/b.bin")), 300000u);
    EXPECT_FALSE(fs::exists(folder.File("dest/dirlink")));
    struct stat info { };
    ASSERT_EQ(::stat(folder.File("dest/a.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, kStamp);

    // With follow-links=1 the link's folder is copied too, and a link back up the tree is
    // reported instead of walked round and round.
    fs::create_directory_symlink(source, source / "sub" / "loop");
    ASSERT_EQ(Cli(folder, db, { "options", "site", "follow-links=1" }).exitCode, 0);
    const Outcome followed = Cli(folder, db, { "run", "site" });
    EXPECT_EQ(followed.exitCode, 3) << followed.out << followed.err;
    EXPECT_EQ(ReadWholeFile(folder.File("dest/dirlink/c.txt")), "linked");
    EXPECT_NE((followed.out + followed.err).find("leads back"), std::string::npos) << followed.out;
    EXPECT_FALSE(fs::exists(folder.File("dest/sub/loop")));
}

TEST_F(CliSftpTest, ChangedKeyFailsNamingBothFingerprintsAndTrustReplacesNothing)
{
    Store("site", folder.File("dest"));
    const SshServer other;
    WriteFile(folder.path() / "known_hosts", server->KnownHostsLineWithKeyOf(other) + "\n");
    const std::string before = ReadWholeFile(folder.File("known_hosts"));
    for (const std::vector<std::string>& args : { std::vector<std::string> { "run", "site" },
             std::vector<std::string> { "trust", "site", "--yes" } }) {
        SCOPED_TRACE(args.front());
        const Outcome outcome = Cli(folder, db, args);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.out << outcome.err;
        EXPECT_NE(outcome.err.find(server->Fingerprint()), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find(other.Fingerprint()), std::string::npos) << outcome.err;
    }
    EXPECT_EQ(ReadWholeFile(folder.File("known_hosts")), before);
    EXPECT_FALSE(fs::exists(folder.File("dest/a.txt")));
}

TEST_F(CliSftpTest, TheKeyFileOptionLogsInWithTheKeyAndThePasswordAsItsPassphrase)
{
    // The passphrase is no login password: only the key can let this project in.
    Store("keyed", folder.File("dest"), false, nullptr, SshServer::passphrase);
    Trust("keyed");
    const Outcome refused = Cli(folder, db, { "run", "keyed" });
    EXPECT_EQ(refused.exitCode, 1) << refused.out << refused.err;
    ASSERT_EQ(
        Cli(folder, db, { "options", "keyed", "ssh-key=" + server->keyWithPassphrase().string() }).exitCode,
        0);
    const Outcome run = Cli(folder, db, { "run", "keyed" });
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err; // the link to a folder fails its row
    EXPECT_EQ(ReadWholeFile(folder.File("dest/a.txt")), "alpha");
}

TEST_F(CliSftpTest, SftpIntoAZipArchiveThat7zReads)
{
    Store("zipped", folder.File("dest"), true);
    Trust("zipped");
    const Outcome run = Cli(folder, db, { "run", "zipped" });
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err; // the link to a folder fails its row
    fs::path archive;
    for (const auto& entry : fs::directory_iterator(folder.File("dest")))
        if (entry.path().extension() == ".zip")
            archive = entry.path();
    ASSERT_FALSE(archive.empty());
    const std::string listing = folder.File("7z.txt");
    const int status = std::system(
        ("timeout -s KILL 60 7z l -slt " + Quote(archive.string()) + " </dev/null >" + Quote(listing))
            .c_str());
    ASSERT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    const std::string text = ReadWholeFile(listing);
    EXPECT_NE(text.find("a.txt"), std::string::npos) << text;
    EXPECT_NE(text.find("Size = 300000"), std::string::npos) << text;
    EXPECT_EQ(std::system(
                  ("timeout -s KILL 60 7z t " + Quote(archive.string()) + " </dev/null >/dev/null").c_str()),
        0);
}

TEST_F(CliSftpTest, SftpToFtpAndFtpToSftp)
{
    const FtpServer ftp;
    fs::create_directories(ftp.root() / "in");
    Store("up", "/in", false, &ftp);
    Trust("up");
    const Outcome up = Cli(folder, db, { "run", "up" });
    EXPECT_EQ(up.exitCode, 3) << up.out << up.err; // the link to a folder fails its row
    EXPECT_EQ(ReadWholeFile(ftp.root() / "in" / "a.txt"), "alpha");
    EXPECT_EQ(fs::file_size(ftp.root() / "in" / "sub" / "b.bin"), 300000u);

    // Back the other way: the FTP server's copy into a new folder of the SFTP server, which
    // takes the FTP file's time to the second.
    const std::time_t ftpStamp = kStamp + 86400 + 13;
    const utimbuf times { ftpStamp, ftpStamp };
    ASSERT_EQ(::utime((ftp.root() / "in" / "a.txt").c_str(), &times), 0);
    {
        auto opened = ProjectDb::Open(db);
        BackupProject p;
        p.ftpname = "down";
        p.ftpsource = "/in";
        p.ftpip = ftp.host();
        p.ftpuser = ftp.options().user;
        p.ftppassword = ftp.options().password;
        p.ftpport = std::to_string(ftp.port());
        p.ftpbackmode = 1;
        p.ftptype = 2;
        p.ftprule = kRule;
        p.ftpdestip = SftpHost();
        p.ftpdestuser = SshServer::user;
        p.ftpdestpass = SshServer::password;
        p.ftpdestport = std::to_string(server->port());
        p.ftpdestpath = (server->data() / "back").string();
        ASSERT_TRUE(opened.db && InsertProject(opened.db.get(), p)) << opened.error;
    }
    const Outcome down = Cli(folder, db, { "run", "down" });
    EXPECT_EQ(down.exitCode, 0) << down.out << down.err;
    EXPECT_EQ(ReadWholeFile(server->data() / "back" / "a.txt"), "alpha");
    EXPECT_EQ(fs::file_size(server->data() / "back" / "sub" / "b.bin"), 300000u);
    EXPECT_EQ(ModifiedAt(server->data() / "back" / "a.txt"), ftpStamp);

    // SFTP to SFTP: the site into another folder of the same server, with the site's seconds.
    {
        auto opened = ProjectDb::Open(db);
        BackupProject p;
        p.ftpname = "twin";
        p.ftpsource = source.string();
        p.ftpip = p.ftpdestip = SftpHost();
        p.ftpuser = p.ftpdestuser = SshServer::user;
        p.ftppassword = p.ftpdestpass = SshServer::password;
        p.ftpport = p.ftpdestport = std::to_string(server->port());
        p.ftpbackmode = 1;
        p.ftptype = 2;
        p.ftprule = kRule;
        p.ftpdestpath = (server->data() / "twin").string();
        ASSERT_TRUE(opened.db && InsertProject(opened.db.get(), p)) << opened.error;
    }
    const Outcome twin = Cli(folder, db, { "run", "twin" });
    EXPECT_EQ(twin.exitCode, 3) << twin.out << twin.err; // the link to a folder, as above
    EXPECT_EQ(ReadWholeFile(server->data() / "twin" / "a.txt"), "alpha");
    EXPECT_EQ(ModifiedAt(server->data() / "twin" / "a.txt"), kStamp);
    EXPECT_EQ(
        ReadWholeFile(server->data() / "twin" / "sub" / "b.bin"), ReadWholeFile(source / "sub" / "b.bin"));
}

// A server whose sessions are cut mid-run is logged in to again and the run completes; one
// that is gone for good fails the run with the reason. Neither hangs: the run is frozen with
// SIGSTOP as soon as its first file arrived, so the cut always falls in the middle.
TEST_F(CliSftpTest, AServerKilledMidRunIsReconnectedOrFailsTheRunWithTheReason)
{
    source = server->data() / "many";
    for (int i = 0; i < 120; ++i)
        MakeRandomFile(source / ("f" + std::to_string(i) + ".bin"), 64 * 1024, i);
    server->GiveToUser(source);
    const struct {
        const char* what;
        bool listenerToo; // the whole server goes, not only its sessions
    } rows[] = { { "sessions cut", false }, { "server gone", true } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string name = row.listenerToo ? "gone" : "cut";
        Store(name, folder.File(name));
        Trust(name);
        ASSERT_EQ(Cli(folder, db, { "options", name, "retries=2" }).exitCode, 0);
        Outcome outcome;
        std::atomic<bool> done { false };
        std::thread run([&] {
            outcome = Cli(folder, db, { "run", name });
            done = true;
        });
        const auto started = std::chrono::steady_clock::now();
        const auto arrived = [&] {
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(folder.File(name), error))
                if (entry.path().extension() == ".bin")
                    return true;
            return false;
        };
        while (!done && !arrived() && std::chrono::steady_clock::now() - started < std::chrono::seconds(60))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        server->SignalConnections(SIGSTOP);
        const bool cutMidRun = !done;
        if (row.listenerToo)
            server->Kill();
        else
            server->SignalConnections(SIGKILL);
        run.join();
        ASSERT_TRUE(cutMidRun) << "the run ended before the cut";
        if (row.listenerToo) {
            EXPECT_NE(outcome.exitCode, 0) << outcome.out << outcome.err;
            EXPECT_NE((outcome.out + outcome.err).find("127.0.0.1"), std::string::npos)
                << outcome.out << outcome.err;
            continue;
        }
        EXPECT_EQ(outcome.exitCode, 0) << outcome.out << outcome.err;
        for (int i = 0; i < 120; ++i) {
            const std::string file = "f" + std::to_string(i) + ".bin";
            ASSERT_EQ(ReadWholeFile(folder.File(name + "/" + file)), ReadWholeFile(source / file)) << file;
        }
    }
}

} // namespace
