#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace vorn::remote {

// What is left of a large download that was cut off, kept in memory between the tries of
// that one file so that the next try can continue it with REST instead of fetching it whole
// again. The bytes sit in a temporary file of this process in the download's folder, never
// in the final file. Only the owner of this object knows the file: a later run, or another
// run at the same time, never takes it up. Discard (and the destructor) removes it, so a
// file that finally fails and a run that stops leave nothing behind.
struct ResumePoint {
    // Downloads from this size on are worth continuing rather than fetching again.
    static constexpr std::int64_t minimumSize = 16LL * 1024 * 1024;

    ResumePoint() = default;
    ~ResumePoint();
    ResumePoint(const ResumePoint&) = delete;
    ResumePoint& operator=(const ResumePoint&) = delete;

    // Whether a partial file is held.
    [[nodiscard]] bool Holds() const { return !temporaryName.empty(); }
    // Removes the partial file and forgets it.
    void Discard();

    int folderFd = -1; // the download's folder, owned by the caller of the download
    std::string temporaryName; // in that folder; "" when nothing is held
    std::uint64_t bytes = 0; // the length of the partial file
    dev_t device = 0; // which file it is: a file put under its name is not ours
    ino_t inode = 0;
    // The remote file when the cut transfer started: its size and its MDTM time ("" when
    // the server gives none). A resume needs both unchanged.
    std::int64_t size = -1;
    std::string modified;
};

} // namespace vorn::remote
