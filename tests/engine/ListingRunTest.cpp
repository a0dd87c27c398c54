// A run against a LIST-only server whose listing mixes the forms servers print: every line
// that names a file is copied under its exact name and size, every line that cannot be read
// is a failed file, and a folder the server will not enter is a failed folder.
#include "RunHarness.h"
#include "ftpclient/Ftp.h"
#include "store/ProjectOptions.h"
#include "support/ScriptedFtpServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

// The listing; the files it names hold these bytes. "33.5k" is the size a server rounded.
const char* const kListing = "total 42\r\n"
                             "-rw-r--r--   1 owner    group          11 Mar 15  2012 plain.txt\r\n"
                             "-rw-r--r--   1 user     group          12  2.   Okt.  2003 german  file.txt\r\n"
                             "-rw-r--r--   1 user     group          13  3月 15 14:25 日本語.txt\r\n"
                             "-rw-r--r--   1 user     group          14 1999/10/12 17:12 numeric\r\n"
                             "-rw-r--r--   1 user     group       9,730 Oct 08, 2002 09:47 separated.bin\r\n"
                             "-rw-r--r--   1 user     group       33.5k Mar 15  2012 approximate.bin\r\n"
                             "- [RWCEAFMS] rhesus             15       Oct 20 15:27    netware.exe\r\n"
                             "100644 1 500 100 16 1155110400 octal mode\r\n"
                             "2002-09-02  18:48                    17 dos name.txt\r\n"
                             "drwxr-xr-x   2 user     group        4096 Mar 15  2012 stuck\r\n"
                             "drwxr-xr-x   2 user     group        4096 01-jun-99 folder\r\n"
                             "this line is no listing\r\n"
                             "Contents of /pub/incoming\r\n"
                             "-rw-r--r--   1 user     group           5 Foo 15 14:25 strange month\r\n";

const Tree kFiles = {
    { "plain.txt", std::string(11, 'p') },
    { "german  file.txt", std::string(12, 'g') },
    { "日本語.txt", std::string(13, 'j') },
    { "numeric", std::string(14, 'n') },
    { "separated.bin", std::string(9730, 's') },
    { "approximate.bin", std::string(34290, 'a') },
    { "netware.exe", std::string(15, 'w') },
    { "octal mode", std::string(16, 'o') },
    { "dos name.txt", std::string(17, 'd') },
    { "folder", "/" },
};

} // namespace

TEST(ListingRun, CopiesEveryUnderstoodFileAndReportsTheRest)
{
    TempDir root;
    MakeTree(root.path(), kFiles, 1331821537);
    fs::create_directory(root.path() / "stuck");
    WriteFile(root.path() / "listing.txt", kListing);
    // The server's listing file sits beside the files but is not in the listing.
    ScriptedFtpServer server({ "--root", root.path().string(), "--list",
        (root.path() / "listing.txt").string(), "--reply", "CWD /stuck=314 Folder unchanged." });

    // What the client makes of the lines: three of them it cannot read, and says so.
    sf::Ftp ftp(false);
    ASSERT_TRUE(ftp.Connect(sf::IPAddress("127.0.0.1"), server.port()).IsOk());
    ASSERT_TRUE(ftp.Login("user", "secret").IsOk());
    const auto listing = ftp.GetDirectoryListing("");
    ASSERT_TRUE(listing.IsOk()) << listing.GetMessage();
    std::map<std::string, std::string> unusable;
    for (const sf::Info& entry : listing.GetEntries())
        if (!entry.unusable.empty())
            unusable[entry.name] = entry.unusable;
    EXPECT_EQ(listing.GetCount(), 14u);
    EXPECT_EQ(unusable,
        (std::map<std::string, std::string> {
            { "listing", "Listing line not understood: this line is no listing" },
            { "/pub/incoming", "Listing line not understood: Contents of /pub/incoming" },
            { "month",
                "Listing line not understood: -rw-r--r--   1 user     group           5 Foo 15 14:25 strange "
                "month" },
        }));

    RunHarness h;
    BackupProject project;
    project.ftpname = "mixed";
    project.ftpsource = "/";
    project.ftpdest = (h.dir() / "dest").string();
    project.ftpip = "127.0.0.1";
    project.ftpuser = "user";
    project.ftppassword = "secret";
    project.ftpport = std::to_string(server.port());
    project.ftpbackmode = 1;
    project.ftptype = 1;
    h.Store(project);
    ASSERT_EQ(h.Run("mixed"), RunOutcome::Success) << server.log();

    // Names and sizes first, so a failure shows which file went wrong; then every byte.
    const auto sizes = [](const Tree& tree) {
        std::map<std::string, std::size_t> result;
        for (const auto& [name, bytes] : tree)
            result[name] = bytes.size();
        return result;
    };
    const Tree copied = ReadTree(h.dir() / "dest");
    EXPECT_EQ(sizes(copied), sizes(kFiles));
    EXPECT_TRUE(copied == kFiles);
    const auto statuses = h.observer.statusByPath();
    EXPECT_EQ(statuses.at("/listing"), "Failed");
    EXPECT_EQ(statuses.at("/month"), "Failed");
    EXPECT_EQ(h.observer.record().resultTexts,
        std::vector<std::string> {
            "Transmission Results: Folder(s):2, File(s):9, Failed Folder(s):1, Failed File(s):3." });
}

// The walk sends a folder's CWD, EPSV and LIST together. When the server refuses the CWD, the
// LIST lists the folder the session is still in: the refused folder fails, and nothing of that
// other listing is copied or reported as its content, with one session or with a pool.
TEST(ListingRun, AFolderRefusedWithItsListingOnTheWayFailsAndTakesNothingOfAnother)
{
    TempDir root;
    TempDir aside;
    MakeTree(root.path(), { { "top.txt", "top" }, { "sub/inner.txt", "inner" } }, 1331821537);
    WriteFile(aside.path() / "list",
        "-rw-r--r-- 1 u g 3 Mar 15  2012 top.txt\r\ndrwxr-xr-x 2 u g 4096 Mar 15  2012 sub\r\n");
    ScriptedFtpServer server({ "--root", root.path().string(), "--list", (aside.path() / "list").string(),
        "--reply", "CWD /sub=550 Permission denied." });
    for (const int connections : { 1, 3 }) {
        SCOPED_TRACE(std::to_string(connections) + " connections");
        RunHarness h;
        BackupProject project;
        project.ftpname = "refused";
        project.ftpsource = "/";
        project.ftpdest = (h.dir() / "dest").string();
        project.ftpip = "127.0.0.1";
        project.ftpuser = "user";
        project.ftppassword = "secret";
        project.ftpport = std::to_string(server.port());
        project.ftpbackmode = 1;
        project.ftptype = 1;
        h.Store(project);
        ProjectOptions options;
        ASSERT_TRUE(LoadProjectOptions(h.db(), "refused", options));
        options.connections = connections;
        ASSERT_TRUE(SaveProjectOptions(h.db(), "refused", options));
        ASSERT_EQ(h.Run("refused"), RunOutcome::Success) << server.log();

        EXPECT_TRUE(ReadTree(h.dir() / "dest") == (Tree { { "top.txt", "top" } })) << server.log();
        std::map<std::string, std::string> underSub;
        for (const auto& [path, status] : h.observer.statusByPath())
            if (path.rfind("/sub", 0) == 0)
                underSub[path] = status;
        EXPECT_EQ(underSub, (std::map<std::string, std::string> { { "/sub/", "Failed" } }));
        EXPECT_EQ(h.observer.record().resultTexts,
            std::vector<std::string> {
                "Transmission Results: Folder(s):1, File(s):1, Failed Folder(s):1, Failed File(s):0." });
    }
    EXPECT_NE(server.log().find("-- read\n<- CWD /sub\n<- EPSV\n<- LIST\n"), std::string::npos)
        << server.log();
}
