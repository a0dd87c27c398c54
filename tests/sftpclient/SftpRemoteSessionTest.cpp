#include "sftpclient/SftpRemoteSession.h"

#include "SftpFixture.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using remote::EntryKind;

class SftpRemoteSessionTest : public SftpTest {
protected:
    std::unique_ptr<sftp::SftpRemoteSession> Open()
    {
        auto session = std::make_unique<sftp::SftpRemoteSession>();
        const auto known = scratch.path() / "known_hosts";
        WriteFile(known, server->KnownHostsLine() + "\n");
        session->Sftp().SetKnownHostsFiles("", known.string());
        EXPECT_TRUE(session->Connect("127.0.0.1", server->port()));
        EXPECT_TRUE(session->Login(SshServer::user, SshServer::password));
        return session;
    }
};

TEST_F(SftpRemoteSessionTest, ListingsAndTimesReadAsTheEngineExpectsThem)
{
    const fs::path d = server->data();
    WriteFile(d / "a.txt", "abc");
    SetModificationTime(d / "a.txt", 1331821507); // 2012-03-15 14:25:07 UTC
    fs::create_directories(d / "sub");
    fs::create_symlink("a.txt", d / "link");
    fs::create_symlink(".", d / "sub" / "here");
    server->GiveToUser(d);
    auto session = Open();
    session->Sftp().SetFollowLinks(true);
    EXPECT_EQ(session->Scheme(), "sftp");

    auto entries = session->List(d.string());
    ASSERT_TRUE(entries) << entries.message();
    std::map<std::string, remote::Entry> byName;
    for (const auto& e : *entries)
        byName[e.name] = e;
    EXPECT_EQ(byName["a.txt"].kind, EntryKind::File);
    EXPECT_EQ(byName["a.txt"].size, "3");
    EXPECT_EQ(byName["a.txt"].time, "2012031514:25");
    EXPECT_EQ(byName["link"].kind, EntryKind::Link);
    EXPECT_TRUE(byName["link"].IsFile());
    EXPECT_EQ(byName["link"].size, "3");
    EXPECT_EQ(byName["sub"].kind, EntryKind::Folder);
    auto inner = session->List((d / "sub").string());
    ASSERT_TRUE(inner);
    ASSERT_EQ(inner->size(), 1u);
    EXPECT_EQ((*inner)[0].kind, EntryKind::Folder);
    EXPECT_EQ((*inner)[0].linkTarget, (d / "sub").string());
    EXPECT_FALSE((*inner)[0].unusable.empty()) << "a link to its own folder loops";

    EXPECT_EQ(*session->ModificationTime((d / "a.txt").string()), "20120315142507");
    ASSERT_TRUE(session->SetModificationTime((d / "a.txt").string(), "20200229235958"));
    EXPECT_EQ(*session->ModificationTime((d / "a.txt").string()), "20200229235958");
    EXPECT_FALSE(session->SetModificationTime((d / "a.txt").string(), "2020-02-29"));
}

TEST_F(SftpRemoteSessionTest, DownloadsIntoAFolderAndRelaysBetweenSftpSessions)
{
    MakeRandomFile(server->data() / "src" / "file.bin", 3 << 20, 11);
    fs::create_directories(server->data() / "dst");
    server->GiveToUser(server->data());
    auto source = Open();
    auto destination = Open();
    const std::string remotePath = (server->data() / "src" / "file.bin").string();

    const fs::path local = scratch.path() / "local";
    fs::create_directories(local);
    const int folder = ::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    remote::TranslateInfo progress;
    auto wrong = source->DownloadInto(folder, local.string(), remotePath, (3 << 20) + 1, progress);
    EXPECT_FALSE(wrong);
    EXPECT_TRUE(Names(local).empty()) << "an incomplete copy is never kept";
    auto got = source->DownloadInto(folder, local.string(), remotePath, 3 << 20, progress);
    ::close(folder);
    ASSERT_TRUE(got) << got.message();
    EXPECT_EQ(progress.bytes.load(), 3u << 20);
    EXPECT_EQ(ReadFile(local / "file.bin"), ReadFile(server->data() / "src" / "file.bin"));

    auto relayed
        = source->RelayTo(*destination, remotePath, (server->data() / "dst").string(), 3 << 20, progress);
    ASSERT_TRUE(relayed) << relayed.message();
    EXPECT_EQ(relayed->bytes, 3u << 20);
    EXPECT_EQ(ReadFile(server->data() / "dst" / "file.bin"), ReadFile(server->data() / "src" / "file.bin"));
}

} // namespace
} // namespace vorn::test
