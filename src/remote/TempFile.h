#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vorn::remote {

// A download in progress: a new file with a name of its own (see MakeTemporaryName) in an
// open folder. It replaces the target only through CommitAs, so a failed download never
// touches the previous copy; otherwise the destructor removes it. Every name is taken
// relative to the folder's descriptor and no symbolic link is followed: the file is created
// new (O_EXCL), and the rename replaces a link of the target's name by the file itself.
class TempFile {
public:
    // `folderFd` stays owned by the caller and open while this object lives; `folderText`
    // names it in messages.
    TempFile(int folderFd, std::string folderText, std::string_view name);
    // Opens the partial file `existing` of an earlier try again, to add to its end. It must be
    // a temporary file of this process, the very file (`device`, `inode`) and `length` bytes
    // long; otherwise OpenError() says why and nothing is touched.
    TempFile(int folderFd, std::string folderText, const std::string& existing, std::uint64_t length,
        dev_t device, ino_t inode);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Empty when the file was created; otherwise why not.
    [[nodiscard]] const std::string& OpenError() const { return error_; }
    [[nodiscard]] const std::string& Name() const { return name_; }
    // The open file, for a transfer that writes it directly; -1 when it is not open.
    [[nodiscard]] int Fd() const { return fd_; }

    [[nodiscard]] bool Write(std::string_view bytes, std::string& error);
    // Closes the file and leaves it in place for a later try; returns false (and removes it)
    // when it cannot be told apart from others. `device`/`inode` identify it then.
    [[nodiscard]] bool Keep(dev_t& device, ino_t& inode);
    // Flushes, closes and renames the file over `targetName` in the same folder.
    [[nodiscard]] bool CommitAs(const std::string& targetName, std::string& error);

private:
    int folderFd_;
    std::string folderText_;
    int fd_ = -1;
    std::string name_;
    std::string error_;
    bool committed_ = false;
};

// A temporary name for `name` of the process `pid`: ".NAME.KIND-PID-XXXXXXXX" with a random
// suffix, or ".KIND-PID-XXXXXXXX" when the long form would pass the 255 bytes a file name may
// have (the rename gives the final name). The PID tells a later run whether the file is the
// leftover of a process that is gone.
[[nodiscard]] std::string MakeTemporaryName(std::string_view name, std::string_view kind = "vornpart");

// The PID in a temporary name of `kind` made by MakeTemporaryName; nullopt for any other name.
[[nodiscard]] std::optional<pid_t> TemporaryNameOwner(
    std::string_view name, std::string_view kind = "vornpart");

// Removes from the open folder the temporary files of `kind` whose process is gone (a run
// killed during a download); those of a process still running are left alone. Returns how
// many were removed.
std::size_t RemoveLeftoverTemporaryFiles(int folderFd, std::string_view kind = "vornpart");

} // namespace vorn::remote
