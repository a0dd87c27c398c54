#include "schedule/SchedulerLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vorn {

namespace {

std::string ErrorText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// Takes an exclusive flock on `fd` without waiting; 0 or the error number.
int LockNow(int fd)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
    return EINTR;
}

// The user's own folder for run-time files, else /tmp.
std::string RuntimeFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info { };
    if (runtime != nullptr && *runtime == '/' && ::stat(runtime, &info) == 0 && S_ISDIR(info.st_mode))
        return runtime;
    return "/tmp";
}

// The lock file named after the database file's identity (device and inode), so that every
// path to the one file (hard links included) meets the same lock. -1 with `error` set when it
// cannot be used; -1 with `error` empty when the database file does not exist yet.
int OpenIdentityLock(const std::string& databasePath, std::string& lockPath, std::string& error)
{
    struct stat db { };
    if (::stat(databasePath.c_str(), &db) != 0)
        return -1;
    lockPath = RuntimeFolder() + "/vornbackup-scheduler-" + std::to_string(::getuid()) + "-"
        + std::to_string(db.st_dev) + "-" + std::to_string(db.st_ino) + ".lock";
    // O_NOFOLLOW and the owner check: in a shared /tmp another user could plant the name.
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat info { };
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        error = "Cannot use the scheduler lock file " + lockPath + ": "
            + (fd < 0 ? ErrorText(errno) : std::string("it is not a file of this user")) + ".";
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

SchedulerLock::AcquireResult Refusal(int error, const std::string& databasePath, const std::string& lockPath)
{
    if (error == EWOULDBLOCK)
        return { nullptr, "Another scheduler already owns the database " + databasePath + "." };
    return { nullptr, "Cannot lock the scheduler lock file " + lockPath + ": " + ErrorText(error) + "." };
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
    if (const int error = LockNow(fd)) {
        ::close(fd);
        return Refusal(error, databasePath, path);
    }
    std::string identityPath;
    std::string identityError;
    const int identityFd = OpenIdentityLock(databasePath, identityPath, identityError);
    if (!identityError.empty()) {
        ::close(fd);
        return { nullptr, identityError };
    }
    if (identityFd >= 0) {
        if (const int error = LockNow(identityFd)) {
            ::close(identityFd);
            ::close(fd);
            return Refusal(error, databasePath, identityPath);
        }
    }
    return { std::unique_ptr<SchedulerLock>(new SchedulerLock(fd, identityFd, std::move(path))), {} };
}

SchedulerLock::SchedulerLock(int fd, int identityFd, std::string path)
    : fd_(fd)
    , identityFd_(identityFd)
    , path_(std::move(path))
{
}

SchedulerLock::~SchedulerLock()
{
    // The files stay: removed, a process that had already opened one could lock the old file
    // while a newcomer locks a new one, and both would schedule.
    if (identityFd_ >= 0) {
        ::flock(identityFd_, LOCK_UN);
        ::close(identityFd_);
    }
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
}

} // namespace vorn
