#include "remote/RemoteSession.h"

#include "remote/TempFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vorn::remote {

namespace {

// The length of the open file `fd`; -1 when it cannot be told.
std::int64_t FileLength(int fd)
{
    const off_t end = ::lseek(fd, 0, SEEK_END);
    return end < 0 ? -1 : std::int64_t(end);
}

// Whether `delivered` bytes make the whole file: the listed size, else the server's.
Result<Transferred> CheckedLength(
    RemoteSession& session, const std::string& path, std::int64_t listedSize, Transferred done)
{
    std::int64_t size = listedSize;
    if (size < 0) {
        auto told = session.Size(path);
        if (!told) {
            done.sizeUnchecked = true;
            return done;
        }
        size = *told;
    }
    if (done.bytes == std::uint64_t(size))
        return done;
    return MakeError(ErrorKind::Protocol,
        "The transfer of " + path + " ended after " + std::to_string(done.bytes) + " of "
            + std::to_string(size) + " bytes.");
}

// An unnamed file in the system's temporary folder, gone when closed.
int AnonymousFile(std::string& error)
{
    const char* folder = std::getenv("TMPDIR");
    const std::string base = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    int fd = ::open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string pattern = base + "/vornrelay-XXXXXX";
        fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd >= 0)
            ::unlink(pattern.c_str());
    }
    if (fd < 0)
        error = "Could not create a temporary file in " + base + ": " + std::strerror(errno) + ".";
    return fd;
}

} // namespace

std::int64_t ExactSize(const Entry& entry)
{
    if (entry.sizeApproximate || entry.size.empty() || entry.size.size() > 18
        || entry.size.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(entry.size);
}

std::string BaseName(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsSafeEntryName(std::string_view name)
{
#ifdef _WIN32
    // Windows reads "\\" as a separator too, and refuses these characters in names.
    constexpr std::string_view refused("/\\\0<>:\"|?*", 10);
#else
    // Anything but "/" and NUL is an ordinary character in a POSIX name, "\\" included.
    constexpr std::string_view refused("/\0", 2);
#endif
    return !name.empty() && name != "." && name != ".."
        && name.find_first_of(refused) == std::string_view::npos;
}

Result<std::vector<std::string>> RemoteSession::ModificationTimes(const std::vector<std::string>& paths)
{
    std::vector<std::string> times;
    for (const std::string& path : paths) {
        auto time = ModificationTime(path);
        const ErrorKind kind = time ? ErrorKind::Failed : time.error().kind;
        if (kind == ErrorKind::Closed || kind == ErrorKind::Network || kind == ErrorKind::TimedOut
            || kind == ErrorKind::Cancelled)
            return time.error();
        times.push_back(time ? *time : std::string());
    }
    return times;
}

Result<Transferred> RemoteSession::DownloadInto(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, TranslateInfo& progress)
{
    const std::string name = BaseName(remotePath);
    if (!IsSafeEntryName(name))
        return MakeError(ErrorKind::Invalid, "Not a file name: " + name);
    TempFile file(folderFd, folderText, name);
    if (!file.OpenError().empty())
        return MakeError(ErrorKind::LocalIo, file.OpenError());
    auto got = Download(remotePath, file.Fd(), 0, progress);
    if (!got)
        return got;
    auto checked = CheckedLength(*this, remotePath, listedSize, *got);
    if (!checked)
        return checked;
    if (std::string error; !file.CommitAs(name, error))
        return MakeError(ErrorKind::LocalIo, error);
    return checked;
}

Result<Transferred> RemoteSession::DownloadResumable(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, TranslateInfo& progress, ResumePoint& resume)
{
    resume.Discard();
    return DownloadInto(folderFd, folderText, remotePath, listedSize, progress);
}

Result<Transferred> RemoteSession::RelayTo(RemoteSession& destination, const std::string& sourcePath,
    const std::string& destinationFolder, std::int64_t listedSize, TranslateInfo& progress)
{
    return RelayThroughFile(*this, destination, sourcePath, destinationFolder, listedSize, progress);
}

Result<Transferred> RelayThroughFile(RemoteSession& source, RemoteSession& destination,
    const std::string& sourcePath, const std::string& destinationFolder, std::int64_t listedSize,
    TranslateInfo& progress)
{
    const std::string name = BaseName(sourcePath);
    if (!IsSafeEntryName(name))
        return MakeError(ErrorKind::Invalid, "Not a file name: " + name);
    std::string error;
    const int fd = AnonymousFile(error);
    if (fd < 0)
        return MakeError(ErrorKind::LocalIo, error);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer { fd };
    auto got = source.Download(sourcePath, fd, 0, progress);
    if (!got)
        return got;
    auto checked = CheckedLength(source, sourcePath, listedSize, *got);
    if (!checked)
        return checked;
    if (FileLength(fd) != std::int64_t(checked->bytes) || ::lseek(fd, 0, SEEK_SET) != 0)
        return MakeError(
            ErrorKind::LocalIo, "The relayed copy of " + sourcePath + " could not be read back.");
    progress.Reset();
    auto sent = destination.Upload(fd, destinationFolder, name, progress);
    if (!sent)
        return sent;
    sent->sizeUnchecked = checked->sizeUnchecked;
    return sent;
}

} // namespace vorn::remote
