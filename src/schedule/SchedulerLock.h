#pragma once

#include <memory>
#include <string>

namespace vorn {

// Keeps a second scheduler (another window or console on the same database) from starting
// the same projects again: exclusive advisory locks, held as long as the object lives, on the
// file beside the database named database path + ".scheduler.lock" and on a file named after
// the database file's identity (device and inode) in $XDG_RUNTIME_DIR (else /tmp), which
// every path to the same file meets, a hard link's too.
class SchedulerLock {
public:
    struct AcquireResult;

    // Takes the lock without waiting. When another holder has it (in this or any other
    // process) or the file cannot be opened, gives a null lock and a message saying why.
    [[nodiscard]] static AcquireResult Acquire(const std::string& databasePath);

    ~SchedulerLock();
    SchedulerLock(const SchedulerLock&) = delete;
    SchedulerLock& operator=(const SchedulerLock&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }

private:
    SchedulerLock(int fd, int identityFd, std::string path);
    int fd_;
    int identityFd_; // -1 when the database file did not exist yet
    std::string path_;
};

struct SchedulerLock::AcquireResult {
    std::unique_ptr<SchedulerLock> lock;
    std::string error;
};

} // namespace vorn
