#include "sftpclient/SftpRemoteSession.h"

#include "SftpFixture.h"
#include "remote/ResumePoint.h"
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

TEST_F(SftpRemoteSessionTest, ACutLargeDownloadContinuesOnlyWhileTheFileIsUnchanged)
{
    constexpr std::int64_t size = 20LL << 20;
    const fs::path big = server->data() / "big.bin";
    MakeRandomFile(big, size, 13);
    SetModificationTime(big, 1600000000);
    server->GiveToUser(server->data());
    auto session = Open();
    const fs::path local = scratch.path() / "local";
    fs::create_directories(local);
    const int folder = ::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    remote::TranslateInfo progress;
    remote::ResumePoint resume;
    std::uint64_t firstSeen = 0;
    const auto cutAfter = [&](std::uint64_t bytes) {
        session->SetTransferHook([&, bytes] {
            if (firstSeen == 0)
                firstSeen = progress.bytes;
            return progress.bytes < bytes;
        });
    };

    struct Try {
        const char* what;
        std::uint64_t cutAt; // 0: not cut
        bool touchFirst; // the file's time changes before this try
        bool continues; // this try starts where the last one stopped
    };
    const Try tries[] = {
        { "cut", 4u << 20, false, false },
        { "cut again, continued", 9u << 20, false, true },
        { "changed meanwhile: from zero", 12u << 20, true, false },
        { "completed, continued", 0, false, true },
    };
    for (const Try& t : tries) {
        SCOPED_TRACE(t.what);
        if (t.touchFirst)
            SetModificationTime(big, 1600000100);
        const std::uint64_t held = resume.Holds() ? resume.bytes : 0;
        firstSeen = 0;
        cutAfter(t.cutAt ? t.cutAt : ~0ull);
        auto result
            = session->DownloadResumable(folder, local.string(), big.string(), size, progress, resume);
        if (t.continues)
            EXPECT_GT(firstSeen, held);
        else
            EXPECT_LE(firstSeen, 4u << 20);
        if (t.cutAt) {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error().kind, ErrorKind::Cancelled);
            ASSERT_TRUE(resume.Holds());
            EXPECT_GE(resume.bytes, t.cutAt);
            EXPECT_EQ(Names(local).count("big.bin"), 0u) << "a partial file is never the copy";
            continue;
        }
        ASSERT_TRUE(result) << result.message();
        EXPECT_EQ(result->bytes, static_cast<std::uint64_t>(size));
        EXPECT_FALSE(resume.Holds());
    }
    ::close(folder);
    EXPECT_EQ(Names(local), std::set<std::string> { "big.bin" });
    EXPECT_EQ(ReadFile(local / "big.bin"), ReadFile(big));
}

} // namespace
} // namespace vorn::test
