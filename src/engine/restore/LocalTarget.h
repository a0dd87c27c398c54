#pragma once

#include "common/Result.h"
#include "engine/LocalFiles.h"

#include <cstdint>
#include <string>

namespace vorn {

// What a restore does with a file that already exists in the target.
enum class Overwrite {
    Never, // keep it
    Older, // replace it when it is older than the restored copy
    Always,
};

// A restored file being written under a temporary name in its folder.
struct PendingFile {
    FolderHandle folder;
    std::string folderText;
    std::string name; // the final name
    std::string tempName;
    int fd = -1;
    std::uint64_t written = 0;
};

// The folder a restore writes into. Every write goes through descriptors opened below its
// root, one level at a time and never through a symbolic link, so a name from an archive or
// a link planted in the target cannot lead a write outside it. A file is written under a
// temporary name and takes its final name only once it is whole and checked, so a cut or
// stopped restore never leaves a partial file under a final name.
class LocalTarget {
public:
    // Opens (and makes, when missing) the folder `root`.
    [[nodiscard]] static Result<LocalTarget> Open(const std::string& root, bool create);

    // Whether `path` (relative, "/"-separated) is to be written under `rule`, given that the
    // restored copy has the time `mtime`: false with `note` saying why it is kept. Fails for
    // a path that leaves the folder or meets a link or a folder in the way.
    [[nodiscard]] Result<bool> ShouldWrite(
        const std::string& path, std::int64_t mtime, Overwrite rule, std::string& note) const;

    [[nodiscard]] Result<PendingFile> Begin(const std::string& path) const;

    // The open folder of `path` (made when missing) and its name there, for writers that
    // make their own temporary file.
    struct Place {
        FolderHandle folder;
        std::string folderText;
        std::string name;
    };
    [[nodiscard]] Result<Place> PlaceOf(const std::string& path) const;
    // Gives the entry `name` of `folderFd` the time `mtime` (nothing for -1).
    [[nodiscard]] static Status SetTime(int folderFd, const std::string& name, std::int64_t mtime);
    [[nodiscard]] static Status Write(PendingFile& file, const void* data, std::size_t length);
    // Checks the size, gives the file its time (when `mtime` >= 0), and renames it into place.
    [[nodiscard]] static Status Finish(PendingFile& file, std::uint64_t expectedSize, std::int64_t mtime);
    // Removes the temporary file of a restore that failed or was stopped.
    static void Abandon(PendingFile& file);
    // Flushes what was written to stable storage.
    [[nodiscard]] Status Sync() const;

    [[nodiscard]] const std::string& root() const { return rootText_; }

private:
    FolderHandle root_;
    std::string rootText_;
};

// Why `path` may not be a restored file's relative path ("" when it may): empty parts,
// "." or "..", a leading "/" or a NUL.
[[nodiscard]] std::string RestorePathProblem(const std::string& path);

} // namespace vorn
