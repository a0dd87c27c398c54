// Copies from a server that lists `ls -l` style (vsftpd: the day alone for files older than
// six months, the minute for newer ones) carry the source's time to the second, from MDTM:
// plain copies with one session and with several, and the entries of an archive.
#include "RunHarness.h"
#include "store/ProjectOptions.h"
#include "support/Requirement.h"
#include "support/TestFiles.h"
#include "support/VsftpdServer.h"

#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

constexpr std::time_t kOld = 1331821537; // 2012-03-15 14:25:37 UTC: listed as the day

std::time_t ModifiedAt(const fs::path& file)
{
    struct stat info { };
    return ::stat(file.c_str(), &info) == 0 ? info.st_mtime : 0;
}

} // namespace

TEST(ExactTimes, CopiesFromAYearOnlyListingCarryTheSourcesSeconds)
{
    VORN_REQUIRE(VsftpdServer::Available(), "root and /usr/sbin/vsftpd, to start vsftpd");
    TempDir served;
    const std::time_t recent = std::time(nullptr) - 3600 - 17; // listed to the minute
    const Tree tree = { { "old.txt", "old" }, { "docs/old.bin", Random(70000, 3) },
        { "docs/recent.txt", "new" }, { "docs/deep/old2.txt", "deep" } };
    MakeTree(served.path(), tree, kOld);
    const utimbuf newer { recent, recent };
    ::utime((served.path() / "docs/recent.txt").c_str(), &newer);
    for (const auto& entry : fs::recursive_directory_iterator(served.path()))
        ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
    ::chmod(served.path().c_str(), 0755);
    VsftpdServer server(served.path());

    for (const int connections : { 1, 3 }) {
        for (const bool compressed : { false, true }) {
            SCOPED_TRACE(
                std::to_string(connections) + (compressed ? " connections, archive" : " connections"));
            RunHarness h;
            const fs::path dest = h.dir() / "dest";
            BackupProject project;
            project.ftpname = "nightly";
            project.ftpdest = dest.string();
            project.ftpip = "127.0.0.1";
            project.ftpuser = "anonymous";
            project.ftppassword = "x";
            project.ftpport = std::to_string(server.port());
            project.ftpbackmode = 1;
            project.ftptype = 1;
            project.ftpiscompress = compressed;
            h.Store(project);
            ProjectOptions options;
            ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", options));
            options.connections = connections;
            ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));

            ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();
            if (!compressed) {
                EXPECT_EQ(ReadTree(dest), ReadTree(served.path()));
                for (const auto& [path, bytes] : FilesOnly(tree))
                    EXPECT_EQ(ModifiedAt(dest / path), ModifiedAt(served.path() / path)) << path;
                continue;
            }
            fs::path zip;
            for (const auto& entry : fs::directory_iterator(dest))
                if (entry.path().extension() == ".zip")
                    zip = entry.path();
            std::string output;
            ASSERT_EQ(SevenZip({ "l", "-slt", zip.string() }, &output), 0) << output;
            char recentText[32];
            std::strftime(recentText, sizeof recentText, "%Y-%m-%d %H:%M:%S", std::gmtime(&recent));
            for (const auto& [name, time] :
                { std::pair<std::string, std::string>("old.txt", "2012-03-15 14:25:37"),
                    { "docs/recent.txt", recentText }, { "docs/deep/old2.txt", "2012-03-15 14:25:37" } }) {
                const auto at = output.find("Path = " + name + "\n");
                ASSERT_NE(at, std::string::npos) << name << "\n" << output;
                const auto modified = output.find("Modified = ", at);
                ASSERT_NE(modified, std::string::npos) << output;
                EXPECT_EQ(output.substr(modified + 11, 19), time) << name;
            }
        }
    }
}
