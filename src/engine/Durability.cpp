#include "engine/Durability.h"

#include "remote/TempFile.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace vorn {

namespace {

std::atomic<CopySync> copySync { CopySync::FileSystemOnce };

std::string ErrnoText(int error)
{
    return std::generic_category().message(error);
}

// Opens `folder`, runs `sync` on it and says why it failed, naming `what` was synced.
template <typename Sync> Status OnFolder(const std::string& folder, const char* what, Sync sync)
{
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return MakeError(ErrorKind::LocalIo,
            "\"" + folder + "\" cannot be opened to sync " + what + ": " + ErrnoText(errno) + ".");
    int rc;
    do
        rc = sync(fd);
    while (rc != 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (rc != 0)
        return MakeError(ErrorKind::LocalIo,
            "Syncing " + std::string(what) + " of \"" + folder + "\" to disk failed: " + ErrnoText(error)
                + ".");
    return Ok();
}

} // namespace

void SetCopySyncForMeasurement(CopySync mode)
{
    copySync = mode;
    remote::TempFile::SetSyncBeforeCommit(mode == CopySync::EachFile);
}

CopySync CurrentCopySync()
{
    return copySync;
}

Status SyncFolder(const std::string& folder)
{
    return OnFolder(folder, "the folder", [](int fd) { return ::fsync(fd); });
}

Status SyncCopies(const std::string& folder)
{
    if (copySync != CopySync::FileSystemOnce)
        return Ok();
    return OnFolder(folder, "the copies", [](int fd) { return ::syncfs(fd); });
}

} // namespace vorn
