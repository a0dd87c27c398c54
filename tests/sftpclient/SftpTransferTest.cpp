#include "SftpFixture.h"
#include "support/TestFiles.h"

#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using sftp::SftpSession;

// How many processes hold `file` open (the tests run as root, so the server's are seen).
int OpenedBy(const fs::path& file)
{
    const fs::path target = fs::canonical(file);
    int count = 0;
    std::error_code error;
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        std::error_code ignored;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", ignored))
            if (fs::read_symlink(fd.path(), ignored) == target)
                ++count;
    }
    return count;
}

class SftpTransferTest : public SftpTest {
protected:
    // An open file of the scratch folder; closed with the test.
    int Open(const std::string& name, int flags)
    {
        const int fd = ::open((scratch.path() / name).c_str(), flags | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        fds.push_back(fd);
        return fd;
    }
    void TearDown() override
    {
        for (int fd : fds)
            ::close(fd);
    }
    void CutDownloadResumes(std::int64_t size, std::uint64_t bulkThreshold);
    void CancelEndsAWait(std::uint64_t bulkThreshold);

    std::vector<int> fds;
};

// Both ways a large file is read: over the session's own connection, and over the second
// connection it opens for files from its threshold on.
struct Path {
    const char* what;
    std::uint64_t bulkThreshold;
};
constexpr Path kPaths[] = {
    { "first connection", UINT64_MAX },
    { "second connection", SftpSession::bulkReadThreshold },
};

TEST_F(SftpTransferTest, ACutDownloadResumesAtItsOffsetAndTheSizeIsChecked)
{
    constexpr std::int64_t size = 24LL << 20;
    MakeRandomFile(server->data() / "big.bin", size, 7);
    server->GiveToUser(server->data());
    for (const Path& path : kPaths) {
        SCOPED_TRACE(path.what);
        CutDownloadResumes(size, path.bulkThreshold);
    }
}

void SftpTransferTest::CutDownloadResumes(std::int64_t size, std::uint64_t bulkThreshold)
{
    auto session = LoggedIn(*server);
    session->SetBulkReadThreshold(bulkThreshold);
    const std::string remote = (server->data() / "big.bin").string();
    const int fd = Open("big.part", O_RDWR | O_CREAT | O_TRUNC);

    std::uint64_t seen = 0;
    session->SetTransferHook([&] { return seen < (4u << 20); });
    auto cut
        = session->Download(remote, fd, 0, size, [&](std::uint64_t bytes, std::uint64_t) { seen = bytes; });
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.error().kind, ErrorKind::Cancelled);
    const auto kept = static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_END));
    ASSERT_GE(kept, 4u << 20);
    ASSERT_LT(kept, static_cast<std::uint64_t>(size));

    session->SetTransferHook({});
    auto rest = session->Download(remote, fd, kept, size);
    ASSERT_TRUE(rest) << rest.message();
    EXPECT_EQ(*rest, static_cast<std::uint64_t>(size) - kept);
    EXPECT_EQ(ReadFile(scratch.path() / "big.part"), ReadFile(server->data() / "big.bin"));

    // A listing that no longer fits the file: the copy is not complete.
    const int other = Open("short.part", O_RDWR | O_CREAT | O_TRUNC);
    auto wrong = session->Download(remote, other, 0, size - 1);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().kind, ErrorKind::Failed);
    auto longer = session->Download(remote, other, 0, size + 1);
    ASSERT_FALSE(longer);
    EXPECT_NE(longer.message().find("ended after"), std::string::npos) << longer.message();

    // A file that fits one read request, whose end is not asked for a second time: the size
    // is checked all the same, on both sides of the listed one.
    WriteFile(server->data() / "small.bin", std::string(1000, 's'));
    const std::string small = (server->data() / "small.bin").string();
    for (const std::int64_t listed : { 1000, 999, 1001, 0 }) {
        SCOPED_TRACE(listed);
        const int part = Open("small.part", O_RDWR | O_CREAT | O_TRUNC);
        auto got = session->Download(small, part, 0, listed);
        EXPECT_EQ(bool(got), listed == 1000) << (got ? "" : got.message());
        if (got)
            EXPECT_EQ(ReadFile(scratch.path() / "small.part"), std::string(1000, 's'));
        ::close(part);
    }
}

// The open of a hinted file goes out while the file before it is read: its Download takes that
// handle, another Download or any other operation closes it, and its refusal is the error of
// its own Download.
TEST_F(SftpTransferTest, AHintedOpenIsTakenByItsDownloadAndClosedOtherwise)
{
    for (const char* name : { "a", "b", "c" })
        WriteFile(server->data() / name, std::string(3000, name[0]));
    server->GiveToUser(server->data());
    auto session = LoggedIn(*server);
    const auto path = [&](const char* name) { return (server->data() / name).string(); };
    const auto fetch = [&](const char* name) -> Result<std::uint64_t> {
        const int fd = Open(std::string(name) + ".part", O_RDWR | O_CREAT | O_TRUNC);
        auto got = session->Download(path(name), fd, 0, name[0] == 'm' ? 1 : 3000);
        if (got)
            EXPECT_EQ(ReadFile(scratch.path() / (std::string(name) + ".part")), std::string(3000, name[0]));
        return got;
    };
    const auto waitOpened = [&](const char* name, int wanted) {
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (OpenedBy(server->data() / name) != wanted && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return OpenedBy(server->data() / name);
    };

    // Taken: b is open on the server before its Download asks for it.
    session->ExpectDownload(path("b"));
    ASSERT_TRUE(fetch("a"));
    EXPECT_EQ(waitOpened("b", 1), 1);
    ASSERT_TRUE(fetch("b"));
    // Not taken: another file comes instead, and b is closed.
    session->ExpectDownload(path("b"));
    ASSERT_TRUE(fetch("a"));
    EXPECT_EQ(waitOpened("b", 1), 1);
    ASSERT_TRUE(fetch("c"));
    // A listing between the hint and the Download: the listing is whole, and so is c.
    session->ExpectDownload(path("c"));
    ASSERT_TRUE(fetch("a"));
    auto listed = session->List(server->data().string());
    ASSERT_TRUE(listed) << listed.message();
    EXPECT_EQ(waitOpened("b", 0), 0);
    EXPECT_EQ(waitOpened("c", 0), 0);
    ASSERT_TRUE(fetch("c"));
    // A refused open: the hinted file's own Download says why, as it does without a hint.
    const std::string unhinted = fetch("missing").message();
    session->ExpectDownload(path("missing"));
    ASSERT_TRUE(fetch("a"));
    auto refused = fetch("missing");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.message(), unhinted);
    // A long run of hinted files leaves no handle behind.
    for (int i = 0; i < 100; ++i) {
        session->ExpectDownload(path(i % 2 ? "a" : "b"));
        ASSERT_TRUE(fetch(i % 2 ? "b" : "a"));
    }
    ASSERT_TRUE(session->List(server->data().string()));
    EXPECT_EQ(waitOpened("a", 0) + waitOpened("b", 0), 0);
}

TEST_F(SftpTransferTest, AnUploadArrivesWholeUnderItsNameAndReplacesTheOldCopyOnlyWhenComplete)
{
    MakeRandomFile(scratch.path() / "up.bin", (9 << 20) + 123, 3);
    WriteFile(server->data() / "up.bin", "the old copy");
    server->GiveToUser(server->data());
    auto session = LoggedIn(*server);
    const int fd = Open("up.bin", O_RDONLY);

    // Stopped half-way: the old copy stays, no temporary file is left.
    session->SetTransferHook([n = 0]() mutable { return ++n < 3; });
    auto stopped = session->Upload(fd, server->data().string(), "up.bin");
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind, ErrorKind::Cancelled);
    EXPECT_EQ(ReadFile(server->data() / "up.bin"), "the old copy");
    EXPECT_EQ(Names(server->data()), std::set<std::string> { "up.bin" });

    session->SetTransferHook({});
    auto sent = session->Upload(fd, server->data().string(), "up.bin");
    ASSERT_TRUE(sent) << sent.message();
    EXPECT_EQ(*sent, (9u << 20) + 123);
    EXPECT_EQ(ReadFile(server->data() / "up.bin"), ReadFile(scratch.path() / "up.bin"));
    EXPECT_EQ(Names(server->data()), std::set<std::string> { "up.bin" });
}

struct Interruption {
    const char* what;
    int signal; // sent to the server's connection processes in the middle of the download
    ErrorKind kind;
};

TEST_F(SftpTransferTest, AServerThatDiesOrStopsAnsweringFailsTheTransferWithoutHanging)
{
    MakeRandomFile(server->data() / "big.bin", 64LL << 20, 5);
    server->GiveToUser(server->data());
    const Interruption rows[] = {
        { "killed", SIGKILL, ErrorKind::Closed },
        { "silent", SIGSTOP, ErrorKind::TimedOut },
    };
    for (const auto& [row, path] : { std::pair { rows[0], kPaths[0] }, std::pair { rows[1], kPaths[0] },
             std::pair { rows[0], kPaths[1] }, std::pair { rows[1], kPaths[1] } }) {
        SCOPED_TRACE(std::string(row.what) + ", " + path.what);
        auto session = LoggedIn(*server);
        session->SetBulkReadThreshold(path.bulkThreshold);
        session->SetInactivityTimeout(std::chrono::seconds(2));
        bool signalled = false;
        session->SetTransferHook([&] {
            if (!signalled)
                server->SignalConnections(row.signal);
            signalled = true;
            return true;
        });
        const int fd = Open(std::string(row.what) + path.what + ".part", O_WRONLY | O_CREAT | O_TRUNC);
        const auto start = Clock::now();
        auto result = session->Download((server->data() / "big.bin").string(), fd, 0, 64LL << 20);
        const auto took = Clock::now() - start;
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, row.kind) << result.message();
        EXPECT_LT(took, std::chrono::seconds(15));
        if (row.signal == SIGKILL && path.bulkThreshold == UINT64_MAX) {
            EXPECT_FALSE(session->KeepAlive()) << "the connection is gone";
        }
        session->Disconnect();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(20)) << "closing a silent session must not hang";
        server->SignalConnections(SIGKILL);
    }
}

TEST_F(SftpTransferTest, CancelFromAnotherThreadEndsAWaitAtOnce)
{
    MakeRandomFile(server->data() / "big.bin", 32LL << 20, 9);
    server->GiveToUser(server->data());
    for (const Path& path : kPaths) {
        SCOPED_TRACE(path.what);
        CancelEndsAWait(path.bulkThreshold);
        server->SignalConnections(SIGKILL);
    }
}

void SftpTransferTest::CancelEndsAWait(std::uint64_t bulkThreshold)
{
    auto session = LoggedIn(*server);
    session->SetBulkReadThreshold(bulkThreshold);
    session->SetInactivityTimeout(std::chrono::seconds(60));
    session->SetTransferHook([&, once = false]() mutable {
        if (!once)
            server->SignalConnections(SIGSTOP);
        once = true;
        return true;
    });
    const int fd = Open("cancelled.part", O_WRONLY | O_CREAT | O_TRUNC);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        session->Cancel();
    });
    const auto start = Clock::now();
    auto result = session->Download((server->data() / "big.bin").string(), fd, 0, 32LL << 20);
    canceller.join();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::Cancelled) << result.message();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(session->List(server->data().string()));
    EXPECT_FALSE(session->KeepAlive());
}

} // namespace
} // namespace vorn::test
