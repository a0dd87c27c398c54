#include "remote/TempFile.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vorn::remote {

namespace {

constexpr std::size_t kNameMax = 255; // bytes of one file name on the common file systems
constexpr std::size_t kSuffixDigits = 8;

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

} // namespace

std::string MakeTemporaryName(std::string_view name, std::string_view kind)
{
    thread_local std::mt19937_64 random { std::random_device {}() };
    static constexpr char digits[] = "0123456789abcdef";
    std::string suffix(kSuffixDigits, '0');
    for (auto& c : suffix)
        c = digits[random() % 16];
    const std::string tail = "." + std::string(kind) + "-" + std::to_string(::getpid()) + "-" + suffix;
    if (1 + name.size() + tail.size() > kNameMax)
        return tail;
    return "." + std::string(name) + tail;
}

std::optional<pid_t> TemporaryNameOwner(std::string_view name, std::string_view kind)
{
    // ".KIND-PID-XXXXXXXX" at the end of the name, the name starting with ".".
    if (name.size() < kSuffixDigits + 1 || name.front() != '.')
        return std::nullopt;
    const std::string_view suffix = name.substr(name.size() - kSuffixDigits);
    for (const char c : suffix)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return std::nullopt;
    std::string_view rest = name.substr(0, name.size() - kSuffixDigits);
    if (rest.empty() || rest.back() != '-')
        return std::nullopt;
    rest.remove_suffix(1);
    const auto dash = rest.rfind('-');
    if (dash == std::string_view::npos || dash + 1 == rest.size() || rest.size() - dash > 11)
        return std::nullopt;
    std::int64_t pid = 0;
    for (const char c : rest.substr(dash + 1)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        pid = pid * 10 + (c - '0');
    }
    const std::string marker = "." + std::string(kind);
    if (pid <= 0 || pid > INT32_MAX || !rest.substr(0, dash).ends_with(marker))
        return std::nullopt;
    return pid_t(pid);
}

std::size_t RemoveLeftoverTemporaryFiles(int folderFd, std::string_view kind)
{
    const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return 0;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return 0;
    }
    std::vector<std::string> gone;
    while (const dirent* entry = ::readdir(dir)) {
        const auto owner = TemporaryNameOwner(entry->d_name, kind);
        // kill(pid, 0) fails with ESRCH only when no such process exists; a PID in use by
        // another program keeps the file, which is the safe side.
        if (owner && *owner != ::getpid() && ::kill(*owner, 0) != 0 && errno == ESRCH)
            gone.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::size_t removed = 0;
    for (const std::string& name : gone) {
        struct stat info { };
        if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)
            && ::unlinkat(folderFd, name.c_str(), 0) == 0)
            ++removed;
    }
    return removed;
}

TempFile::TempFile(int folderFd, std::string folderText, std::string_view name)
    : folderFd_(folderFd)
    , folderText_(std::move(folderText))
{
    // A clash with a leftover of the same name is possible but unlikely; try a few names.
    int error = 0;
    for (int attempt = 0; attempt < 20 && fd_ < 0; ++attempt) {
        name_ = MakeTemporaryName(name);
        fd_ = ::openat(folderFd_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        error = errno;
        if (fd_ < 0 && error != EEXIST)
            break;
    }
    if (fd_ < 0) {
        error_ = "Could not create a file in " + folderText_ + ": " + ErrnoText(error) + ".";
        name_.clear();
    }
}

TempFile::TempFile(int folderFd, std::string folderText, const std::string& existing, std::uint64_t length,
    dev_t device, ino_t inode)
    : folderFd_(folderFd)
    , folderText_(std::move(folderText))
{
    if (TemporaryNameOwner(existing) != ::getpid()) {
        error_ = "The partial file " + existing + " is not one of this run.";
        return;
    }
    fd_ = ::openat(folderFd_, existing.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    struct stat info { };
    if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_dev != device
        || info.st_ino != inode || std::uint64_t(info.st_size) != length) {
        error_ = "The partial file " + folderText_ + "/" + existing + " changed since it was written.";
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        return;
    }
    name_ = existing;
}

TempFile::~TempFile()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (!committed_ && !name_.empty())
        ::unlinkat(folderFd_, name_.c_str(), 0);
}

bool TempFile::Write(std::string_view bytes, std::string& error)
{
    if (fd_ < 0) {
        error = "The file is not open.";
        return false;
    }
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            error = "Could not write " + folderText_ + "/" + name_ + ": " + ErrnoText(errno) + ".";
            return false;
        }
        bytes.remove_prefix(std::size_t(written));
    }
    return true;
}

bool TempFile::Keep(dev_t& device, ino_t& inode)
{
    struct stat info { };
    const bool known = fd_ >= 0 && ::fstat(fd_, &info) == 0;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!known)
        return false; // the destructor removes it
    device = info.st_dev;
    inode = info.st_ino;
    committed_ = true;
    return true;
}

bool TempFile::CommitAs(const std::string& targetName, std::string& error)
{
    if (fd_ < 0) {
        error = "The file is not open.";
        return false;
    }
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!closed) {
        error = "Could not write " + folderText_ + "/" + name_ + ": " + ErrnoText(errno) + ".";
        return false;
    }
    if (::renameat(folderFd_, name_.c_str(), folderFd_, targetName.c_str()) != 0) {
        error = "Could not replace " + folderText_ + "/" + targetName + ": " + ErrnoText(errno) + ".";
        return false;
    }
    committed_ = true;
    return true;
}

} // namespace vorn::remote
