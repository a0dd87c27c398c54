#include "engine/archives/ArchiveCheck.h"

#include "engine/archives/Crc32.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace vorn {

namespace {

struct ReaderDeleter {
    void operator()(struct archive* a) const { archive_read_free(a); }
};

std::mutex hookMutex;
std::function<void(const std::string&)> closedHook;

std::string ReaderError(struct archive* a)
{
    const char* text = archive_error_string(a);
    return text != nullptr && *text != '\0' ? text : "unknown error";
}

// Reads one entry's data; "" when its size and CRC are what was written.
std::string CheckEntryData(struct archive* a, const ZipArchive::WrittenEntry& want)
{
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    const void* block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    for (;;) {
        const int rc = archive_read_data_block(a, &block, &length, &offset);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc < ARCHIVE_WARN)
            return "entry \"" + want.name + "\" cannot be read back (" + ReaderError(a) + ")";
        // Sparse blocks come with offsets; a zip entry has none, but gaps would be zeros.
        while (size < std::uint64_t(offset)) {
            const char zero = 0;
            crc = Crc32(crc, &zero, 1);
            ++size;
        }
        crc = Crc32(crc, block, length);
        size += length;
    }
    if (size != want.size)
        return "entry \"" + want.name + "\" holds " + std::to_string(size) + " bytes instead of "
            + std::to_string(want.size);
    if (crc != want.crc)
        return "entry \"" + want.name + "\" does not hold the bytes written (CRC mismatch)";
    return {};
}

// Little-endian fields of the zip records.
std::uint64_t Field(const unsigned char* at, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint16_t kAesMethod = 99;

// The archive's bytes, read where asked; a read past the end gives false.
class ZipFile {
public:
    explicit ZipFile(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        struct stat info { };
        if (fd_ >= 0 && ::fstat(fd_, &info) == 0)
            size_ = std::uint64_t(info.st_size);
    }
    ~ZipFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ZipFile(const ZipFile&) = delete;
    ZipFile& operator=(const ZipFile&) = delete;
    [[nodiscard]] bool ok() const { return fd_ >= 0; }
    [[nodiscard]] std::uint64_t size() const { return size_; }
    bool Read(std::uint64_t offset, std::size_t length, std::vector<unsigned char>& out) const
    {
        out.resize(length);
        if (offset > size_ || length > size_ - offset)
            return false;
        std::size_t done = 0;
        while (done < length) {
            const ssize_t got = ::pread(fd_, out.data() + done, length - done, off_t(offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += std::size_t(got);
        }
        return true;
    }

private:
    int fd_;
    std::uint64_t size_ = 0;
};

// Where the central directory lies, as the end records say.
struct Directory {
    std::uint64_t entries = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t end = 0; // where the record after the directory begins
};

// The end record (and the Zip64 end record it points to); "" or why they are not right.
std::string ReadEnd(const ZipFile& zip, Directory& dir)
{
    const std::uint64_t tail = std::min<std::uint64_t>(zip.size(), 22 + 0xffff);
    std::vector<unsigned char> bytes;
    if (tail < 22 || !zip.Read(zip.size() - tail, std::size_t(tail), bytes))
        return "the end record is missing (the file is too short)";
    // The last signature whose comment reaches exactly to the end of the file.
    std::optional<std::size_t> at;
    for (std::size_t i = bytes.size() - 22 + 1; i-- > 0;)
        if (Field(&bytes[i], 4) == kEndSignature && i + 22 + Field(&bytes[i + 20], 2) == bytes.size()) {
            at = i;
            break;
        }
    if (!at)
        return "the end record is missing (the archive is cut short or has bytes after its end)";
    const unsigned char* end = &bytes[*at];
    const std::uint64_t endPos = zip.size() - tail + *at;
    if (Field(end + 4, 2) != 0 || Field(end + 6, 2) != 0)
        return "the end record names another disk";
    dir = { Field(end + 10, 2), Field(end + 16, 4), Field(end + 12, 4), endPos };
    if (dir.entries != 0xffff && dir.offset != 0xffffffff && dir.size != 0xffffffff)
        return {};
    std::vector<unsigned char> locator;
    if (endPos < 20 || !zip.Read(endPos - 20, 20, locator)
        || Field(locator.data(), 4) != kZip64LocatorSignature)
        return "the Zip64 end record locator is missing";
    const std::uint64_t zip64Pos = Field(&locator[8], 8);
    std::vector<unsigned char> record;
    if (!zip.Read(zip64Pos, 56, record) || Field(record.data(), 4) != kZip64EndSignature)
        return "the Zip64 end record is missing where its locator points";
    if (zip64Pos + 56 > endPos - 20)
        return "the Zip64 end record overlaps its locator";
    dir = { Field(&record[32], 8), Field(&record[48], 8), Field(&record[40], 8), zip64Pos };
    return {};
}

// One central-directory entry, its Zip64 values in place.
struct CentralEntry {
    std::string name;
    std::uint16_t flags = 0, method = 0;
    std::uint32_t crc = 0;
    std::uint64_t packed = 0, size = 0, offset = 0;
};

// Takes the Zip64 extra field's values for the fields that hold 0xffffffff.
void ApplyZip64Extra(const unsigned char* extra, std::size_t length, CentralEntry& e, bool hasOffset)
{
    for (std::size_t i = 0; i + 4 <= length;) {
        const std::size_t id = Field(extra + i, 2), len = Field(extra + i + 2, 2);
        if (i + 4 + len > length)
            return;
        if (id == 1) {
            std::size_t at = i + 4;
            for (std::uint64_t* value : { &e.size, &e.packed, hasOffset ? &e.offset : nullptr })
                if (value != nullptr && *value == 0xffffffff && at + 8 <= i + 4 + len) {
                    *value = Field(extra + at, 8);
                    at += 8;
                }
            return;
        }
        i += 4 + len;
    }
}

// Reads the whole central directory; "" or why it is not sound.
std::string ReadDirectory(const ZipFile& zip, const Directory& dir, std::vector<CentralEntry>& out)
{
    std::vector<unsigned char> bytes;
    if (dir.offset + dir.size != dir.end || dir.size > (std::uint64_t(1) << 32)
        || !zip.Read(dir.offset, std::size_t(dir.size), bytes))
        return "the central directory is not where the end record says (it is cut or misplaced)";
    std::size_t at = 0;
    for (std::uint64_t n = 0; n < dir.entries; ++n) {
        if (at + 46 > bytes.size() || Field(&bytes[at], 4) != kCentralSignature)
            return "the central directory ends after " + std::to_string(n) + " of its "
                + std::to_string(dir.entries) + " entries";
        const unsigned char* h = &bytes[at];
        const std::size_t nameLength = Field(h + 28, 2), extraLength = Field(h + 30, 2);
        const std::size_t total = 46 + nameLength + extraLength + Field(h + 32, 2);
        if (at + total > bytes.size())
            return "central-directory entry " + std::to_string(n + 1) + " runs past the directory";
        CentralEntry e { std::string(reinterpret_cast<const char*>(h + 46), nameLength),
            std::uint16_t(Field(h + 8, 2)), std::uint16_t(Field(h + 10, 2)), std::uint32_t(Field(h + 16, 4)),
            Field(h + 20, 4), Field(h + 24, 4), Field(h + 42, 4) };
        ApplyZip64Extra(h + 46 + nameLength, extraLength, e, true);
        out.push_back(std::move(e));
        at += total;
    }
    if (at != bytes.size())
        return "the central directory holds bytes beyond its " + std::to_string(dir.entries) + " entries";
    return {};
}

// The local header of `e` against its central-directory entry; "" or the mismatch. `end`
// receives where the entry's data (and descriptor) ends.
std::string CheckLocalHeader(const ZipFile& zip, const CentralEntry& e, std::uint64_t& end)
{
    const std::string what = "entry \"" + e.name + "\": ";
    std::vector<unsigned char> h;
    if (!zip.Read(e.offset, 30, h) || Field(h.data(), 4) != kLocalSignature)
        return what + "no local header at offset " + std::to_string(e.offset);
    const std::size_t nameLength = Field(&h[26], 2), extraLength = Field(&h[28], 2);
    std::vector<unsigned char> rest;
    if (!zip.Read(e.offset + 30, nameLength + extraLength, rest))
        return what + "the local header is cut";
    if (std::string(reinterpret_cast<const char*>(rest.data()), nameLength) != e.name)
        return what + "the local header names another file";
    if (Field(&h[8], 2) != e.method)
        return what + "the local header gives another compression method";
    CentralEntry local { e.name, std::uint16_t(Field(&h[6], 2)), e.method, std::uint32_t(Field(&h[14], 4)),
        Field(&h[18], 4), Field(&h[22], 4), 0 };
    ApplyZip64Extra(rest.data() + nameLength, extraLength, local, false);
    end = e.offset + 30 + nameLength + extraLength + e.packed;
    if ((local.flags & 8) != 0) {
        // The sizes and CRC follow the data; Zip64 entries give 8-byte sizes there.
        std::vector<unsigned char> d;
        const bool wide = e.packed >= 0xffffffff || e.size >= 0xffffffff || Field(&h[22], 4) == 0xffffffff;
        const std::size_t length = wide ? 20 : 12;
        const std::size_t skip = zip.Read(end, 4, d) && Field(d.data(), 4) == 0x08074b50 ? 4 : 0;
        if (!zip.Read(end, length + skip, d))
            return what + "its data descriptor is missing or cut";
        local.crc = std::uint32_t(Field(&d[skip], 4));
        local.packed = Field(&d[skip + 4], wide ? 8 : 4);
        local.size = Field(&d[skip + (wide ? 12 : 8)], wide ? 8 : 4);
        end += length + skip;
    }
    if (local.crc != e.crc || local.packed != e.packed || local.size != e.size)
        return what + "the local header and the central directory disagree on its size or CRC";
    return {};
}

// The archive's layout as an unzip program reads it: the end records, every central
// directory entry against the entry written and against its local header.
std::string CheckStructure(const std::string& path, const std::vector<ZipArchive::WrittenEntry>& expected)
{
    const ZipFile zip(path);
    if (!zip.ok())
        return "it cannot be opened (" + std::generic_category().message(errno) + ")";
    Directory dir;
    std::vector<CentralEntry> entries;
    if (std::string problem = ReadEnd(zip, dir); !problem.empty())
        return problem;
    if (std::string problem = ReadDirectory(zip, dir, entries); !problem.empty())
        return problem;
    if (entries.size() != expected.size())
        return "the central directory lists " + std::to_string(entries.size()) + " entries instead of "
            + std::to_string(expected.size());
    std::uint64_t previousEnd = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const CentralEntry& e = entries[i];
        const ZipArchive::WrittenEntry& want = expected[i];
        if (e.name != want.name)
            return "entry \"" + want.name + "\" is missing from the central directory (found \"" + e.name
                + "\")";
        // AES entries may carry no CRC; their data is checked by its authentication code below.
        if (e.size != want.size || (e.crc != want.crc && !(e.method == kAesMethod && e.crc == 0)))
            return "entry \"" + want.name
                + "\": the central directory gives another size or CRC than written";
        std::uint64_t end = 0;
        if (e.offset < previousEnd)
            return "entry \"" + want.name + "\" overlaps the entry before it";
        if (std::string problem = CheckLocalHeader(zip, e, end); !problem.empty())
            return problem;
        if (end > dir.offset)
            return "entry \"" + want.name + "\" runs into the central directory";
        previousEnd = end;
    }
    return {};
}

// The first problem the read-back finds, in one line; "" when there is none.
std::string VerificationProblem(const std::string& path, const std::string& password,
    const std::vector<ZipArchive::WrittenEntry>& expected)
{
    const std::string what = "The archive \"" + path + "\" failed verification: ";
    if (const std::string problem = CheckStructure(path, expected); !problem.empty())
        return what + problem + ".";
    std::unique_ptr<struct archive, ReaderDeleter> reader(archive_read_new());
    struct archive* a = reader.get();
    if (a == nullptr)
        return what + "out of memory.";
    archive_read_support_format_zip(a);
    if (!password.empty())
        archive_read_add_passphrase(a, password.c_str());
    if (archive_read_open_filename(a, path.c_str(), 64 * 1024) != ARCHIVE_OK)
        return what + "it cannot be opened (" + ReaderError(a) + ").";
    // The entries come back in the order they were written.
    std::size_t index = 0;
    archive_entry* header = nullptr;
    for (;; ++index) {
        const int rc = archive_read_next_header(a, &header);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc < ARCHIVE_WARN)
            return what + "its entries cannot be read (" + ReaderError(a) + ").";
        if (index >= expected.size())
            return what + "it holds more entries than were written.";
        // Without a UTF-8 locale libarchive cannot convert some names and gives none; the
        // order, sizes and CRCs still identify the entries then.
        const char* name = archive_entry_pathname_utf8(header);
        if (name != nullptr && *name != '\0' && expected[index].name != name)
            return what + "entry \"" + expected[index].name + "\" is missing (found \"" + name + "\").";
        if (const std::string problem = CheckEntryData(a, expected[index]); !problem.empty())
            return what + problem + ".";
    }
    if (index < expected.size())
        return what + "entry \"" + expected[index].name + "\" is missing.";
    return {};
}

} // namespace

Status VerifyArchive(const std::string& path, const std::string& password,
    const std::vector<ZipArchive::WrittenEntry>& expected)
{
    if (std::string problem = VerificationProblem(path, password, expected); !problem.empty())
        return MakeError(ErrorKind::Failed, std::move(problem));
    return Ok();
}

std::string FailedVerificationPath(const std::string& archivePath)
{
    const std::string stem = archivePath.size() > 4 && archivePath.ends_with(".zip")
        ? archivePath.substr(0, archivePath.size() - 4)
        : archivePath;
    return stem + "-FAILED-VERIFICATION.zip";
}

void SetArchiveClosedHookForTesting(std::function<void(const std::string& path)> hook)
{
    std::lock_guard lock(hookMutex);
    closedHook = std::move(hook);
}

void RunArchiveClosedHook(const std::string& path)
{
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard lock(hookMutex);
        hook = closedHook;
    }
    if (hook)
        hook(path);
}

} // namespace vorn
