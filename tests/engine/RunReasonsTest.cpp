// What a run records of its failures: the run's reason and each failed item, read back
// from the history in the real database file, for server-to-server copies and archives.
#include "RunHarness.h"
#include "store/RunHistory.h"
#include "support/FtpServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

TEST(RunReasons, FailuresOfRelaysAndArchivesAreRecordedWithTheirReasons)
{
    FtpServerOptions refusing;
    refusing.refuseRetr = "locked.txt";
    FtpServer source(refusing);
    WriteFile(source.root() / "open.txt", "open");
    WriteFile(source.root() / "locked.txt", "locked");
    FtpServer destination;
    struct Case {
        const char* what;
        int type; // 1 Ftp->Local (compressed), 2 Ftp->Ftp
        std::string destinationPassword;
        bool destinationIsAFile; // Ftp->Local: a file where the destination folder belongs
        RunOutcome outcome;
        std::vector<FailedItem> failed;
    };
    const std::string localDest = "dest";
    const Case cases[] = {
        { "relay with a refused RETR", 2, "secret", false, RunOutcome::Success,
            { { "/locked.txt", "550 Permission denied: locked.txt is not readable." } } },
        { "relay to a destination refusing the login", 2, "wrong", false, RunOutcome::Fail,
            { { "/", "Destination: Login refused: 530 Authentication failed." } } },
        { "archive where a file blocks the folder", 1, "", true, RunOutcome::Fail,
            { { "/", "Cannot create the folder {dest}: a file of that name is in the way" } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunHarness h;
        const fs::path dest = h.dir() / localDest;
        if (c.destinationIsAFile)
            WriteFile(dest, "in the way");
        BackupProject project = RunHarness::LocalProject(source, "", dest.string());
        project.ftptype = c.type;
        project.ftpiscompress = c.type == 1;
        if (c.type == 2) {
            project.ftpdestip = destination.host();
            project.ftpdestuser = destination.options().user;
            project.ftpdestpass = c.destinationPassword;
            project.ftpdestport = std::to_string(destination.port());
            project.ftpdestpath = "copy";
        }
        h.Store(project);
        EXPECT_EQ(h.Run(project.ftpname), c.outcome);

        const auto runs = QueryRuns(h.db(), FindProjectId(h.db(), project.ftpname).value_or(-1));
        ASSERT_EQ(runs.size(), 1u);
        std::vector<FailedItem> expected = c.failed;
        for (FailedItem& item : expected) {
            if (const auto at = item.reason.find("{dest}"); at != std::string::npos)
                item.reason.replace(at, 6, dest.string());
        }
        EXPECT_EQ(QueryFailedItems(h.db(), runs[0].id), expected);
        EXPECT_EQ(runs[0].outcome, c.outcome == RunOutcome::Success ? "Success" : "Fail");
        EXPECT_EQ(runs[0].reason, c.outcome == RunOutcome::Fail ? expected[0].reason : "");
        EXPECT_EQ(runs[0].filesFailed, c.outcome == RunOutcome::Success ? 1u : 0u);
        // The failed rows carried the same reasons to the observer.
        for (const auto& row : h.observer.record().rows)
            EXPECT_EQ(row.reason, row.status == "Failed" ? expected[0].reason : "") << row.path;
    }
}
