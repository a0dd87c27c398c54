#pragma once

#include "common/Result.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct archive;

namespace vorn {

// A zip archive written one entry at a time, straight to disk: each file is streamed in
// chunks, so memory use does not grow with file sizes, and nothing already written is
// rewritten. With a password every non-empty entry is encrypted with AES-256; Zip64 records
// are written when an entry or the archive needs them. Entry names are UTF-8 and flagged so.
//
// The archive is written under the name `path` + ".part" and takes its own name only when
// Close() succeeds, so a file at `path` is always a complete archive. The destructor
// finishes an archive that was not closed, because the caller may already have deleted the
// local copies of the files it holds.
//
// One thread uses an archive at a time. libarchive formats the entries' DOS times with the
// non-reentrant localtime(), so the program writes one archive at a time.
//
// Failures name the archive, entry or file concerned. Their kinds: Invalid (a bad entry name,
// password or path; the archive closed already), NotFound (a missing folder or source file),
// AccessDenied, AlreadyExists (the archive, or an entry of that name), Changed (the source
// file changed size while it was being added), LocalIo (read or write failure, disk full).
class ZipArchive {
public:
    // Starts a new archive at `path`; an empty password gives an unencrypted archive. Fails
    // with a message when the folder is missing or not writable, when `path` exists (an
    // earlier archive is never overwritten) or when the password holds a NUL character.
    [[nodiscard]] static Result<std::unique_ptr<ZipArchive>> Create(
        const std::string& path, const std::string& password);

    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // Adds the regular file at `localFilePath` under `entryName` with mode 0644 and the
    // file's modification time. The name must be valid UTF-8, "/"-separated and relative,
    // without empty, "." or ".." components, backslashes or a drive prefix, and not used by
    // an earlier entry. A refused name or an unreadable file leaves the archive as it was. A
    // file whose size changes while it is read is still stored, cut or zero-padded to the size
    // it had when opened, and reported as Changed. After a write failure the archive is
    // unusable and every later call fails.
    [[nodiscard]] Status Add(std::string_view entryName, const std::string& localFilePath);

    // Finishes the archive, flushes it to disk and gives it its name. On failure nothing is
    // left at `path` or at the ".part" name. Repeated calls return the first call's result.
    [[nodiscard]] Status Close();

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] bool encrypted() const { return encrypted_; }
    [[nodiscard]] bool isOpen() const { return writer_ != nullptr; }
    [[nodiscard]] std::uint64_t entryCount() const { return entryCount_; }

    // What each added entry holds, in the order added: what a read-back must find.
    struct WrittenEntry {
        std::string name;
        std::uint64_t size = 0;
        std::uint32_t crc = 0; // CRC-32 of the bytes written
    };
    [[nodiscard]] const std::vector<WrittenEntry>& written() const { return written_; }

private:
    ZipArchive(std::string path, std::string partPath, int fd, bool encrypted);

    struct Output; // libarchive's write callback, defined with the libarchive types
    [[nodiscard]] Status StreamFile(int fd, std::uint64_t size);
    [[nodiscard]] Error MarkBroken(std::string reason);
    [[nodiscard]] std::string ArchiveErrorText() const;

    std::string path_;
    std::string partPath_;
    int fd_;
    bool encrypted_;
    struct archive* writer_ = nullptr;
    bool broken_ = false;
    bool discardOutput_ = false;
    std::string brokenReason_;
    Status closeResult_;
    std::uint64_t entryCount_ = 0;
    std::unordered_set<std::string> names_;
    std::vector<WrittenEntry> written_;
    std::uint32_t entryCrc_ = 0;
    std::vector<char> buffer_;
};

} // namespace vorn
