#include "engine/restore/LocalTarget.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

namespace {

std::atomic<std::uint64_t> tempCounter { 0 };

Error LocalError(const std::string& what)
{
    return MakeError(ErrorKind::LocalIo, what + ": " + std::strerror(errno) + ".");
}

// The folder part ("/a/b") and the name of a relative path.
std::pair<std::string, std::string> SplitPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return { "/", path };
    return { "/" + path.substr(0, slash), path.substr(slash + 1) };
}

} // namespace

std::string RestorePathProblem(const std::string& path)
{
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos)
        return "Its name cannot be a path inside the target folder.";
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return "Its name cannot be a path inside the target folder.";
        start = end + 1;
    }
    return {};
}

Result<LocalTarget> LocalTarget::Open(const std::string& root, bool create)
{
    if (root.empty())
        return MakeError(ErrorKind::Invalid, "No target folder is given.");
    std::error_code ignored;
    if (create)
        std::filesystem::create_directories(root, ignored);
    LocalTarget target;
    target.rootText_ = root;
    target.root_ = FolderHandle(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!target.root_)
        return LocalError("The target folder \"" + root + "\" cannot be opened");
    return target;
}

Result<bool> LocalTarget::ShouldWrite(
    const std::string& path, std::int64_t mtime, Overwrite rule, std::string& note) const
{
    if (const std::string problem = RestorePathProblem(path); !problem.empty())
        return MakeError(ErrorKind::Invalid, problem);
    const auto [folder, name] = SplitPath(path);
    // Only looks: a dry run makes no folder.
    int fd = ::openat(root_.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t start = 1;
    while (fd >= 0 && start < folder.size()) {
        const std::size_t end = std::min(folder.find('/', start), folder.size());
        const int next = ::openat(
            fd, folder.substr(start, end - start).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        ::close(fd);
        fd = next;
        if (fd < 0 && error != ENOENT)
            return MakeError(
                ErrorKind::LocalIo, "A symbolic link or a file stands in the way in the target folder.");
        start = end + 1;
    }
    if (fd < 0)
        return true; // its folder does not exist yet
    struct stat info { };
    const int found = ::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW);
    ::close(fd);
    if (found != 0)
        return true;
    if (!S_ISREG(info.st_mode))
        return MakeError(ErrorKind::LocalIo,
            "A symbolic link or a folder of that name is in the target; it is left alone.");
    if (rule == Overwrite::Always)
        return true;
    if (rule == Overwrite::Older && mtime >= 0 && info.st_mtime < mtime)
        return true;
    note = rule == Overwrite::Older ? "The file in the target is not older; it is kept."
                                    : "The file exists in the target; it is kept.";
    return false;
}

Result<PendingFile> LocalTarget::Begin(const std::string& path) const
{
    if (const std::string problem = RestorePathProblem(path); !problem.empty())
        return MakeError(ErrorKind::Invalid, problem);
    const auto [folder, name] = SplitPath(path);
    LocalFolderResult opened = OpenFolderBelow(root_.fd(), rootText_, folder);
    if (!opened.folder)
        return MakeError(ErrorKind::LocalIo, opened.error);
    PendingFile file;
    file.folder = std::move(opened.folder);
    file.folderText = rootText_ + (folder == "/" ? "" : folder);
    file.name = name;
    for (int attempt = 0; attempt < 100 && file.fd < 0; ++attempt) {
        file.tempName
            = ".vornrestore-" + std::to_string(getpid()) + "-" + std::to_string(++tempCounter) + ".part";
        file.fd = ::openat(file.folder.fd(), file.tempName.c_str(),
            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (file.fd < 0 && errno != EEXIST)
            return LocalError("Cannot write in the folder \"" + file.folderText + "\"");
    }
    if (file.fd < 0)
        return LocalError("Cannot write in the folder \"" + file.folderText + "\"");
    return file;
}

Result<LocalTarget::Place> LocalTarget::PlaceOf(const std::string& path) const
{
    if (const std::string problem = RestorePathProblem(path); !problem.empty())
        return MakeError(ErrorKind::Invalid, problem);
    const auto [folder, name] = SplitPath(path);
    LocalFolderResult opened = OpenFolderBelow(root_.fd(), rootText_, folder);
    if (!opened.folder)
        return MakeError(ErrorKind::LocalIo, opened.error);
    return Place { std::move(opened.folder), rootText_ + (folder == "/" ? "" : folder), name };
}

Status LocalTarget::SetTime(int folderFd, const std::string& name, std::int64_t mtime)
{
    if (mtime < 0)
        return Ok();
    const struct timespec times[2] = { { 0, UTIME_OMIT }, { time_t(mtime), 0 } };
    if (::utimensat(folderFd, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return LocalError("Cannot set the time of \"" + name + "\"");
    return Ok();
}

Status LocalTarget::Write(PendingFile& file, const void* data, std::size_t length)
{
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(file.fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return LocalError("Cannot write \"" + file.folderText + "/" + file.name + "\"");
        bytes += n;
        length -= std::size_t(n);
        file.written += std::uint64_t(n);
    }
    return Ok();
}

Status LocalTarget::Finish(PendingFile& file, std::uint64_t expectedSize, std::int64_t mtime)
{
    struct stat info { };
    if (::fstat(file.fd, &info) != 0 || std::uint64_t(info.st_size) != expectedSize
        || file.written != expectedSize) {
        Abandon(file);
        return MakeError(ErrorKind::LocalIo,
            "The restored copy holds " + std::to_string(file.written) + " bytes, but the backup recorded "
                + std::to_string(expectedSize) + ".");
    }
    if (mtime >= 0) {
        const struct timespec times[2] = { { 0, UTIME_OMIT }, { time_t(mtime), 0 } };
        if (::futimens(file.fd, times) != 0) {
            Abandon(file);
            return LocalError("Cannot set the time of \"" + file.folderText + "/" + file.name + "\"");
        }
    }
    const int closed = ::close(file.fd);
    file.fd = -1;
    if (closed != 0
        || ::renameat(file.folder.fd(), file.tempName.c_str(), file.folder.fd(), file.name.c_str()) != 0) {
        const Error why = LocalError("Cannot put \"" + file.folderText + "/" + file.name + "\" in place");
        Abandon(file);
        return why;
    }
    file.tempName.clear();
    return Ok();
}

void LocalTarget::Abandon(PendingFile& file)
{
    if (file.fd >= 0)
        ::close(file.fd);
    file.fd = -1;
    if (!file.tempName.empty() && file.folder)
        ::unlinkat(file.folder.fd(), file.tempName.c_str(), 0);
    file.tempName.clear();
}

Status LocalTarget::Sync() const
{
    if (::syncfs(root_.fd()) != 0)
        return LocalError("The restored files in \"" + rootText_ + "\" cannot be flushed to disk");
    return Ok();
}

} // namespace vorn
