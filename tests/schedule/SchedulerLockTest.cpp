#include "schedule/SchedulerLock.h"

#include "support/TempDir.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using vorn::SchedulerLock;

namespace {

// Whether a separate process can take the lock on `path` right now.
bool OtherProcessCanLock(const std::string& path)
{
    const pid_t child = fork();
    if (child == 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
        _exit(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(SchedulerLock, OneHolderPerDatabaseUntilReleased)
{
    const vorn::test::TempDir folder; // the locks go beside the database, never elsewhere
    const std::string dir = folder.path().string();
    const std::string db = dir + "/gm_ftp_database.db";

    SchedulerLock::AcquireResult first = SchedulerLock::Acquire(db);
    ASSERT_TRUE(first.lock) << first.error;
    EXPECT_EQ(first.lock->path(), db + ".scheduler.lock");
    struct stat info { };
    ASSERT_EQ(stat(first.lock->path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u); // beside a database that holds passwords

    const SchedulerLock::AcquireResult second = SchedulerLock::Acquire(db);
    EXPECT_FALSE(second.lock);
    EXPECT_EQ(second.error, "Another scheduler already owns the database " + db + ".");
    EXPECT_FALSE(OtherProcessCanLock(first.lock->path()));
    EXPECT_TRUE(SchedulerLock::Acquire(dir + "/other.db").lock);

    first.lock.reset();
    EXPECT_TRUE(OtherProcessCanLock(db + ".scheduler.lock"));
    EXPECT_TRUE(SchedulerLock::Acquire(db).lock);

    const std::string missing = dir + "/no-such-folder/gm_ftp_database.db";
    const SchedulerLock::AcquireResult refused = SchedulerLock::Acquire(missing);
    EXPECT_FALSE(refused.lock);
    EXPECT_EQ(
        refused.error.rfind("Cannot open the scheduler lock file " + missing + ".scheduler.lock: ", 0), 0u)
        << refused.error;
}

// The lock goes with the file, not with a path: a hard link to the database in another
// folder meets the same lock, in this process and in another.
TEST(SchedulerLock, AHardLinkToTheDatabaseMeetsTheSameLock)
{
    std::string dir = (std::filesystem::temp_directory_path() / "vorn-lock-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::filesystem::create_directory(dir + "/elsewhere");
    const std::string db = dir + "/gm_ftp_database.db";
    const std::string link = dir + "/elsewhere/linked.db";
    {
        std::ofstream(db) << "x";
    }
    std::filesystem::create_hard_link(db, link);

    SchedulerLock::AcquireResult first = SchedulerLock::Acquire(db);
    ASSERT_TRUE(first.lock) << first.error;
    const SchedulerLock::AcquireResult second = SchedulerLock::Acquire(link);
    EXPECT_FALSE(second.lock);
    EXPECT_EQ(second.error, "Another scheduler already owns the database " + link + ".");
    const pid_t child = fork();
    if (child == 0)
        _exit(SchedulerLock::Acquire(link).lock ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);

    first.lock.reset();
    EXPECT_TRUE(SchedulerLock::Acquire(link).lock);
    std::filesystem::remove_all(dir);
}

} // namespace
