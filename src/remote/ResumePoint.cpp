#include "remote/ResumePoint.h"

#include "remote/TempFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn::remote {

ResumePoint::~ResumePoint()
{
    Discard();
}

void ResumePoint::Discard()
{
    // Only the file this object wrote goes: one put under its name since, or one named for
    // another process, is left alone.
    struct stat info { };
    if (Holds() && folderFd >= 0 && vorn::remote::TemporaryNameOwner(temporaryName) == ::getpid()
        && ::fstatat(folderFd, temporaryName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
        && info.st_dev == device && info.st_ino == inode)
        ::unlinkat(folderFd, temporaryName.c_str(), 0);
    temporaryName.clear();
    bytes = 0;
    device = 0;
    inode = 0;
    size = -1;
    modified.clear();
}

} // namespace vorn::remote
