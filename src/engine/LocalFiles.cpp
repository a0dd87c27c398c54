#include "engine/LocalFiles.h"

#include "common/DecimalText.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vorn {

namespace {

int Field(std::string_view text, std::size_t pos, std::size_t len)
{
    if (pos >= text.size())
        return 0;
    return int(ParseDecimal(text.substr(pos, len)));
}

// Sets the modification time of `name` below `folderFd` to `tm` read as UTC, never through a
// symbolic link; the access time stays.
bool SetModificationTimeAt(int folderFd, const std::string& name, std::tm tm)
{
    const std::time_t when = timegm(&tm);
    if (when == std::time_t(-1) || tm.tm_year < 0)
        return false;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = when;
    times[1].tv_nsec = 0;
    return utimensat(folderFd, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace

bool StampLocalFile(const std::string& path, std::string_view listedTime)
{
    return StampLocalFileAt(AT_FDCWD, path, listedTime);
}

bool StampLocalFileAt(int folderFd, const std::string& name, std::string_view listedTime)
{
    if (listedTime.size() < 8)
        return false;
    std::tm tm {};
    tm.tm_year = Field(listedTime, 0, 4) - 1900;
    tm.tm_mon = Field(listedTime, 4, 2) - 1;
    tm.tm_mday = Field(listedTime, 6, 2);
    tm.tm_hour = Field(listedTime, 8, 2);
    tm.tm_min = Field(listedTime, 11, 2);
    tm.tm_sec = 0;
    return SetModificationTimeAt(folderFd, name, tm);
}

FolderHandle::~FolderHandle()
{
    if (fd_ >= 0)
        ::close(fd_);
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1))
{
}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

LocalFolderResult OpenFolderBelow(int rootFd, const std::string& rootText, const std::string& relative)
{
    LocalFolderResult result;
    result.folder = FolderHandle(::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string reached = rootText;
    std::size_t start = 0;
    while (result.folder && start < relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        const std::string part = relative.substr(start, end - start);
        start = end + 1;
        if (part.empty())
            continue;
        reached += "/" + part;
        const int parent = result.folder.fd();
        int fd = ::openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && (::mkdirat(parent, part.c_str(), 0777) == 0 || errno == EEXIST))
            fd = ::openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            // O_NOFOLLOW answers ELOOP for a link; ENOTDIR is a file (or a link) in the way.
            result.linked = error == ELOOP || error == ENOTDIR;
            result.error = result.linked
                ? "The local folder " + reached + " is a symbolic link or no folder; it is not followed."
                : "Cannot open the local folder " + reached + ": " + std::strerror(error) + ".";
            result.folder = FolderHandle();
            return result;
        }
        result.folder = FolderHandle(fd);
    }
    if (!result.folder && result.error.empty())
        result.error = "Cannot open the local folder " + rootText + ": " + std::strerror(errno) + ".";
    return result;
}

bool StampLocalFileExactAt(int folderFd, const std::string& name, std::string_view exactTime)
{
    if (exactTime.size() != 14)
        return false;
    std::tm tm {};
    tm.tm_year = Field(exactTime, 0, 4) - 1900;
    tm.tm_mon = Field(exactTime, 4, 2) - 1;
    tm.tm_mday = Field(exactTime, 6, 2);
    tm.tm_hour = Field(exactTime, 8, 2);
    tm.tm_min = Field(exactTime, 10, 2);
    tm.tm_sec = Field(exactTime, 12, 2);
    return SetModificationTimeAt(folderFd, name, tm);
}

} // namespace vorn
