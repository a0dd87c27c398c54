#pragma once

#include <string>
#include <string_view>

namespace vorn {

// Sets the file's modification time to the listed time text (YYYYMMDD, optionally followed
// by hh:mm with the colon at index 10), read as UTC; a text without time of day gives
// midnight. The access time is left alone. False when the text is too short to hold a date
// or the file's time cannot be set.
bool StampLocalFile(const std::string& path, std::string_view listedTime);

// An open folder descriptor, closed with the object.
class FolderHandle {
public:
    FolderHandle() = default;
    explicit FolderHandle(int fd)
        : fd_(fd)
    {
    }
    ~FolderHandle();
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    [[nodiscard]] int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A folder of the destination tree, or why it cannot be used.
struct LocalFolderResult {
    FolderHandle folder;
    std::string error; // why not; empty when `folder` is open
    bool linked = false; // a component is a symbolic link or no folder: refused, never followed
};

// Opens the folder `relative` ("/a/b", "/" for the root itself) below the open folder
// `rootFd`, one level at a time, making a missing level. No level is ever reached through a
// symbolic link (openat with O_NOFOLLOW, mkdirat), so a link planted in the destination
// cannot lead the writes elsewhere; such a level is refused with `linked` set. The root is
// the caller's: a link at or above it is the user's own choice of path.
[[nodiscard]] LocalFolderResult OpenFolderBelow(
    int rootFd, const std::string& rootText, const std::string& relative);

// StampLocalFile for the entry `name` of the open folder `folderFd`, without following a
// symbolic link of that name.
bool StampLocalFileAt(int folderFd, const std::string& name, std::string_view listedTime);
// Sets the modification time of the entry `name` of the open folder `folderFd` (never through a
// symbolic link) to an exact time of 14 digits YYYYMMDDhhmmss in UTC, as MDTM gives it. False
// when the text does not hold such a time or the time cannot be set.
bool StampLocalFileExactAt(int folderFd, const std::string& name, std::string_view exactTime);

} // namespace vorn
