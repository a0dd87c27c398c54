#include "schedule/SchedulerLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace vorn {

namespace {

std::string ErrorText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

} // namespace

SchedulerLock::AcquireResult SchedulerLock::Acquire(const std::string& databasePath)
{
    std::string path = databasePath + ".scheduler.lock";
    // A fresh open file description every time: flock conflicts between descriptions, so a
    // second Acquire in this same process is refused too. O_CLOEXEC keeps child processes
    // from inheriting, and then outliving us with, the lock.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return { nullptr, "Cannot open the scheduler lock file " + path + ": " + ErrorText(errno) + "." };
    int result = -1;
    for (int attempt = 0; attempt < 3 && result != 0; ++attempt) {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
        if (result != 0 && errno != EINTR)
            break;
    }
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return { nullptr, "Another scheduler already owns the database " + databasePath + "." };
        return { nullptr, "Cannot lock the scheduler lock file " + path + ": " + ErrorText(error) + "." };
    }
    return { std::unique_ptr<SchedulerLock>(new SchedulerLock(fd, std::move(path))), {} };
}

SchedulerLock::SchedulerLock(int fd, std::string path)
    : fd_(fd)
    , path_(std::move(path))
{
}

SchedulerLock::~SchedulerLock()
{
    // The file stays: removed, a process that had already opened it could lock the old file
    // while a newcomer locks a new one, and both would schedule.
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
}

} // namespace vorn
