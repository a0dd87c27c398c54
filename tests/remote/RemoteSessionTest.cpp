// The remote-session interface as the engine sees it, made by the factory from a server text
// and run against real servers on 127.0.0.1: what every protocol's session must do.
#include "remote/ServerAddress.h"
#include "sessions/SessionFactory.h"
#include "support/FtpServer.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

namespace {

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

std::unique_ptr<remote::RemoteSession> Open(const FtpServer& server)
{
    auto made = sessions::MakeSession("ftp://" + server.host());
    if (!made)
        return nullptr;
    auto session = std::move(*made);
    session->SetConnectTimeout(std::chrono::seconds(10));
    session->SetInactivityTimeout(std::chrono::seconds(10));
    if (!session->Connect(server.host(), std::uint16_t(server.port())) || !session->Login("user", "secret"))
        return nullptr;
    return session;
}

std::string MakeContent(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = char((i * 7919 + i / 251) & 0xff);
    return bytes;
}

struct Fd {
    explicit Fd(int value)
        : fd(value)
    {
    }
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int fd;
};

TEST(SessionFactory, TheSchemeChoosesTheProtocol)
{
    struct Row {
        const char* text;
        const char* scheme; // "" when no session is made
        const char* host;
    };
    const Row rows[] = {
        { "ftp.example.com", "ftp", "ftp.example.com" },
        { "ftp://host/path", "ftp", "host" },
        { "FTPES://Host", "ftpes", "Host" },
        { "ftps://[::1]", "ftps", "::1" },
        { "SFTP://host/site", "sftp", "host" },
        // Not a scheme: a bare host as typed, so that the connection fails visibly.
        { "ftpsx://host", "ftp", "ftpsx://host" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(remote::ParseServerAddress(row.text).host, row.host);
        auto made = sessions::MakeSession(row.text);
        ASSERT_TRUE(made) << made.message();
        EXPECT_EQ((*made)->Scheme(), row.scheme);
    }
}

TEST(RemoteSession, FoldersFilesAndTheirFacts)
{
    FtpServer server;
    fs::create_directories(server.root() / "in");
    WriteFile(server.root() / "in" / "a.txt", "hello");
    fs::create_symlink("a.txt", server.root() / "in" / "link");
    auto session = Open(server);
    ASSERT_TRUE(session);
    ASSERT_TRUE(session->ChangeFolder("/in"));
    const auto folder = session->CurrentFolder();
    ASSERT_TRUE(folder) << folder.message();
    EXPECT_EQ(*folder, "/in");
    ASSERT_TRUE(session->MakeFolder("new"));
    const auto listed = session->List("");
    ASSERT_TRUE(listed) << listed.message();
    std::map<std::string, remote::Entry> byName;
    for (const auto& entry : *listed)
        byName[entry.name] = entry;
    EXPECT_EQ(byName["a.txt"].kind, remote::EntryKind::File);
    EXPECT_EQ(remote::ExactSize(byName["a.txt"]), 5);
    EXPECT_NE(byName["a.txt"].timePrecision, remote::TimePrecision::None);
    EXPECT_EQ(byName["new"].kind, remote::EntryKind::Folder);
    EXPECT_TRUE(byName.count("link") == 1 && byName["link"].IsFile());
    const auto size = session->Size("a.txt");
    ASSERT_TRUE(size) << size.message();
    EXPECT_EQ(*size, 5);
    const auto set = session->SetModificationTime("a.txt", "20200102030405");
    ASSERT_TRUE(set) << set.message();
    const auto time = session->ModificationTime("a.txt");
    ASSERT_TRUE(time) << time.message();
    EXPECT_EQ(*time, "20200102030405");
    ASSERT_TRUE(session->Rename("a.txt", "b.txt"));
    ASSERT_TRUE(session->DeleteFile("b.txt"));
    EXPECT_FALSE(fs::exists(server.root() / "in" / "b.txt"));

    // A refusal keeps the server's code apart from the client's own outcome.
    const auto missing = session->Size("nothing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().replyCode, 550);
    EXPECT_EQ(missing.error().kind, ErrorKind::ServerPermanent);
    const auto wrongFolder = session->ChangeFolder("/nowhere");
    ASSERT_FALSE(wrongFolder);
    EXPECT_EQ(wrongFolder.error().replyCode, 550);
    EXPECT_TRUE(session->KeepAlive());
    session->Disconnect();
    const auto gone = session->KeepAlive();
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().kind, ErrorKind::Closed);
    EXPECT_EQ(gone.error().replyCode, 0);
}

TEST(RemoteSession, DownloadFromAnOffsetAndUploadUnderATemporaryName)
{
    FtpServer server;
    const std::string content = MakeContent(300'000);
    WriteFile(server.root() / "big.bin", content);
    auto session = Open(server);
    ASSERT_TRUE(session);
    TempDir local;
    remote::TranslateInfo progress;
    for (const std::uint64_t offset : { std::uint64_t(0), std::uint64_t(1000), std::uint64_t(299'999) }) {
        SCOPED_TRACE(offset);
        Fd file(::open((local.path() / "part").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
        const auto got = session->Download("/big.bin", file.fd, offset, progress);
        ASSERT_TRUE(got) << got.message();
        EXPECT_EQ(got->bytes, content.size() - offset);
        EXPECT_EQ(ReadFile(local.path() / "part"), content.substr(offset));
    }
    WriteFile(local.path() / "up.bin", content);
    WriteFile(server.root() / "up.bin", "old copy");
    Fd up(::open((local.path() / "up.bin").c_str(), O_RDONLY));
    const auto sent = session->Upload(up.fd, "/", "up.bin", progress);
    ASSERT_TRUE(sent) << sent.message();
    EXPECT_EQ(sent->bytes, content.size());
    EXPECT_EQ(ReadFile(server.root() / "up.bin"), content);
    // Only the file itself is left: the temporary name went with the rename.
    EXPECT_EQ(Names(server.root()), (std::set<std::string> { "big.bin", "up.bin" }));
}

TEST(RemoteSession, TheGenericRelayCopiesWholeFilesAndReplacesOnlyWhenComplete)
{
    FtpServer source;
    FtpServer destination;
    const std::string content = MakeContent(200'000);
    WriteFile(source.root() / "f.bin", content);
    WriteFile(destination.root() / "f.bin", "the good old copy");
    auto from = Open(source);
    auto to = Open(destination);
    ASSERT_TRUE(from && to);
    remote::TranslateInfo progress;
    const auto relayed = remote::RelayThroughFile(*from, *to, "/f.bin", "/", -1, progress);
    ASSERT_TRUE(relayed) << relayed.message();
    EXPECT_EQ(ReadFile(destination.root() / "f.bin"), content);
    // A listed size the file does not have: the copy is refused and the old one stays.
    WriteFile(destination.root() / "f.bin", "the good old copy");
    const auto wrong = remote::RelayThroughFile(*from, *to, "/f.bin", "/", 12345, progress);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(ReadFile(destination.root() / "f.bin"), "the good old copy");
    // The fast path between two FTP sessions gives the same file.
    fs::remove(destination.root() / "f.bin");
    ASSERT_TRUE(from->RelayTo(*to, "/f.bin", "/", std::int64_t(content.size()), progress));
    EXPECT_EQ(ReadFile(destination.root() / "f.bin"), content);
}

} // namespace
