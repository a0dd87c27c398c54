#include "SftpFixture.h"
#include "support/TestFiles.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <unistd.h>

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using sftp::SftpEntry;

class SftpFilesTest : public SftpTest {
protected:
    std::map<std::string, SftpEntry> ListByName(sftp::SftpSession& session, const std::string& folder)
    {
        auto entries = session.List(folder);
        EXPECT_TRUE(entries) << (entries ? "" : entries.message());
        std::map<std::string, SftpEntry> byName;
        if (entries)
            for (const SftpEntry& e : *entries)
                byName[e.name] = e;
        return byName;
    }
};

TEST_F(SftpFilesTest, LinksToFilesAreTheFilesAndLinksToFoldersAreMarkedWithTheirLoops)
{
    const fs::path d = server->data();
    WriteFile(d / "file.txt", "12345");
    SetModificationTime(d / "file.txt", 981173106); // 2001-02-03 04:05:06 UTC
    WriteFile(d / "sub" / "inner.bin", std::string(70000, 'x'));
    fs::create_symlink("file.txt", d / "to-file");
    fs::create_symlink("sub", d / "to-folder");
    fs::create_symlink("missing", d / "broken");
    fs::create_symlink("..", d / "sub" / "back-up");
    server->GiveToUser(d);
    auto session = LoggedIn(*server);

    for (const bool follow : { false, true }) {
        SCOPED_TRACE(follow ? "following links" : "not following links");
        session->SetFollowLinks(follow);
        auto top = ListByName(*session, d.string());
        ASSERT_EQ(top.size(), 5u);
        EXPECT_EQ(top["file.txt"].kind, SftpEntry::Kind::File);
        EXPECT_EQ(top["file.txt"].size, 5);
        EXPECT_EQ(top["file.txt"].mtime, 981173106);
        EXPECT_FALSE(top["file.txt"].link);
        const SftpEntry& toFile = top["to-file"];
        EXPECT_TRUE(toFile.link);
        EXPECT_EQ(toFile.kind, SftpEntry::Kind::File);
        EXPECT_EQ(toFile.size, 5);
        EXPECT_EQ(toFile.mtime, 981173106);
        EXPECT_TRUE(toFile.unusable.empty());
        const SftpEntry& toFolder = top["to-folder"];
        EXPECT_TRUE(toFolder.link);
        EXPECT_EQ(toFolder.kind, SftpEntry::Kind::Folder);
        EXPECT_EQ(toFolder.linkTarget, (d / "sub").string());
        EXPECT_FALSE(toFolder.loop);
        EXPECT_FALSE(top["broken"].unusable.empty());
        EXPECT_EQ(top["sub"].kind, SftpEntry::Kind::Folder);
        EXPECT_FALSE(top["sub"].link);

        auto inner = ListByName(*session, (d / "to-folder").string());
        ASSERT_EQ(inner.size(), 2u);
        EXPECT_EQ(inner["inner.bin"].size, 70000);
        EXPECT_EQ(inner["back-up"].kind, SftpEntry::Kind::Folder);
        EXPECT_EQ(inner["back-up"].loop, follow) << "a link to a folder above leads back";
    }
}

TEST_F(SftpFilesTest, HostileNamesAreListedAndFetchedAsTheyAre)
{
    const std::string names[] = { "new\nline", "-starts-with-dash", "back\\slash", "quotes \"'`$(x)",
        std::string("\xff\xfe not utf-8"), "trailing space ", "\x1b[31mred", std::string(255, 'n'),
        "\xe6\x97\xa5\xe6\x9c\xac.txt" };
    for (const std::string& name : names)
        WriteFile(server->data() / name, "content of " + name);
    server->GiveToUser(server->data());
    auto session = LoggedIn(*server);
    auto listed = ListByName(*session, server->data().string());
    ASSERT_EQ(listed.size(), std::size(names));
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ASSERT_EQ(listed.count(name), 1u);
        EXPECT_TRUE(listed[name].unusable.empty());
        const fs::path copy = scratch.path() / "copy";
        const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        auto got = session->Download((server->data() / name).string(), fd, 0, listed[name].size);
        ::close(fd);
        ASSERT_TRUE(got) << got.message();
        EXPECT_EQ(ReadFile(copy), "content of " + name);
    }
    // A missing file after a download (whose close is still being answered) fails alone.
    const int out = ::open((scratch.path() / "other").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    auto missing = session->Download((server->data() / "missing").string(), out);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().replyCode, 2) << missing.message();
    auto again = session->Download((server->data() / names[0]).string(), out);
    ::close(out);
    ASSERT_TRUE(again) << again.message();
    EXPECT_EQ(ReadFile(scratch.path() / "other"), "content of " + names[0]);

    const int fd = ::open((scratch.path() / "copy").c_str(), O_RDONLY);
    const std::string longest(255, 'u');
    auto sent = session->Upload(fd, server->data().string(), longest);
    ASSERT_TRUE(sent) << sent.message();
    EXPECT_EQ(ReadFile(server->data() / longest), ReadFile(scratch.path() / "copy"));
    for (const char* bad : { "", ".", "..", "a/b" }) {
        auto refused = session->Upload(fd, server->data().string(), bad);
        ASSERT_FALSE(refused) << bad;
        EXPECT_EQ(refused.error().kind, ErrorKind::Invalid);
    }
    ::close(fd);
}

TEST_F(SftpFilesTest, FolderAndFileOperationsChangeTheServerAndFailWithTheServersReason)
{
    const fs::path d = server->data();
    WriteFile(d / "old.txt", "new content");
    WriteFile(d / "target.txt", "to be replaced");
    server->GiveToUser(d);
    auto session = LoggedIn(*server);

    EXPECT_TRUE(session->KeepAlive());
    ASSERT_TRUE(session->ChangeFolder(d.string()));
    EXPECT_EQ(*session->CurrentFolder(), d.string());
    ASSERT_TRUE(session->MakeFolder("made"));
    EXPECT_TRUE(fs::is_directory(d / "made"));
    ASSERT_TRUE(session->ChangeFolder("made"));
    ASSERT_TRUE(session->ParentFolder());
    EXPECT_EQ(*session->CurrentFolder(), d.string());

    ASSERT_TRUE(session->Rename("old.txt", "target.txt"));
    EXPECT_EQ(ReadFile(d / "target.txt"), "new content");
    EXPECT_FALSE(fs::exists(d / "old.txt"));
    ASSERT_TRUE(session->SetModificationTime("target.txt", 1234567890));
    EXPECT_EQ(*session->ModificationTime("target.txt"), 1234567890);
    EXPECT_EQ(*session->Size("target.txt"), 11);
    ASSERT_TRUE(session->DeleteFile("target.txt"));
    EXPECT_FALSE(fs::exists(d / "target.txt"));
    ASSERT_TRUE(session->RemoveFolder("made"));

    struct Failing {
        const char* what;
        Status status;
    };
    const Failing failures[] = {
        { "delete a missing file", session->DeleteFile("missing") },
        { "rename a missing file", session->Rename("missing", "other") },
        { "enter a missing folder", session->ChangeFolder("missing") },
        { "make a folder twice", session->MakeFolder(".") },
    };
    for (const Failing& f : failures) {
        SCOPED_TRACE(f.what);
        ASSERT_FALSE(f.status);
        EXPECT_EQ(f.status.error().kind, ErrorKind::ServerPermanent);
        EXPECT_GT(f.status.error().replyCode, 0);
    }
    auto missing = session->Stat("missing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().replyCode, 2); // no such file
    EXPECT_NE(missing.message().find("no such file"), std::string::npos) << missing.message();
}

// VmHWM of this process in KiB: the most memory it has held so far.
long PeakKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// A folder of 200 000 entries is listed whole in one pass, each name once, holding memory in
// proportion to the entries (a few hundred bytes each, ASan's overhead included).
TEST_F(SftpFilesTest, AFolderOf200000EntriesIsListedWhole)
{
    const fs::path big = server->data() / "big";
    fs::create_directories(big);
    const std::string make
        = "python3 -c 'import os, sys\nfor i in range(200000): os.close(os.open(\"%s/e%06d\" "
          "% (sys.argv[1], i), os.O_CREAT | os.O_WRONLY, 0o644))' "
        + big.string();
    ASSERT_EQ(std::system(make.c_str()), 0);
    auto session = LoggedIn(*server);
    const long before = PeakKiB();
    auto entries = session->List(big.string());
    ASSERT_TRUE(entries) << entries.message();
    ASSERT_EQ(entries->size(), 200000u);
    std::vector<bool> seen(200000, false);
    for (const SftpEntry& e : *entries) {
        ASSERT_EQ(e.name.size(), 7u) << e.name;
        const int i = std::stoi(e.name.substr(1));
        ASSERT_FALSE(seen[i]) << e.name;
        seen[i] = true;
    }
    EXPECT_LT(PeakKiB() - before, 400L * 1024);
}

} // namespace
} // namespace vorn::test
