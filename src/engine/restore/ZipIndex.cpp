#include "engine/restore/ZipIndex.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::size_t kEndSize = 22;
// A directory larger than this is no archive this program wrote; refusing it bounds memory.
constexpr std::uint64_t kMaxDirectoryBytes = std::uint64_t(1) << 31;

std::uint16_t U16(const unsigned char* p)
{
    return std::uint16_t(p[0] | (p[1] << 8));
}

std::uint32_t U32(const unsigned char* p)
{
    return std::uint32_t(U16(p)) | (std::uint32_t(U16(p + 2)) << 16);
}

std::uint64_t U64(const unsigned char* p)
{
    return std::uint64_t(U32(p)) | (std::uint64_t(U32(p + 4)) << 32);
}

class Fd {
public:
    explicit Fd(int fd)
        : fd_(fd)
    {
    }
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

bool ReadAt(int fd, std::uint64_t offset, std::vector<unsigned char>& into, std::size_t length)
{
    into.resize(length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, into.data() + done, length - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

struct Directory {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t entries = 0;
};

Error Damaged(const std::string& path, const std::string& what)
{
    return MakeError(
        ErrorKind::LocalIo, "The archive \"" + path + "\" is damaged or no zip archive: " + what + ".");
}

// Where the central directory lies, from the end record (and its Zip64 form when the plain
// one holds the marker values).
Result<Directory> FindDirectory(int fd, std::uint64_t fileSize, const std::string& path)
{
    const std::size_t tail = std::size_t(std::min<std::uint64_t>(fileSize, kEndSize + 0xffff));
    std::vector<unsigned char> buffer;
    if (tail < kEndSize || !ReadAt(fd, fileSize - tail, buffer, tail))
        return Damaged(path, "it is too short");
    std::size_t at = tail - kEndSize + 1;
    do {
        --at;
    } while (at > 0 && U32(&buffer[at]) != kEndSignature);
    if (U32(&buffer[at]) != kEndSignature)
        return Damaged(path, "its end record is missing");
    const unsigned char* end = &buffer[at];
    Directory dir { U32(end + 16), U32(end + 12), U16(end + 10) };
    const std::uint64_t endOffset = fileSize - tail + at;
    if ((dir.offset == 0xffffffff || dir.size == 0xffffffff || dir.entries == 0xffff) && endOffset >= 20) {
        std::vector<unsigned char> locator;
        std::vector<unsigned char> record;
        if (!ReadAt(fd, endOffset - 20, locator, 20) || U32(locator.data()) != kZip64LocatorSignature
            || !ReadAt(fd, U64(&locator[8]), record, 56) || U32(record.data()) != kZip64EndSignature)
            return Damaged(path, "its Zip64 end record is missing");
        dir = { U64(&record[48]), U64(&record[40]), U64(&record[32]) };
    }
    if (dir.size > kMaxDirectoryBytes || dir.offset + dir.size > fileSize)
        return Damaged(path, "its central directory lies outside the file");
    return dir;
}

// The Zip64 sizes and offset, and the AES marker, of an entry's extra fields.
void ReadExtra(const unsigned char* p, std::size_t length, ZipIndexEntry& entry, bool wideSize,
    bool wideCompressed, bool wideOffset)
{
    for (std::size_t at = 0; at + 4 <= length;) {
        const std::uint16_t id = U16(p + at);
        const std::uint16_t size = U16(p + at + 2);
        const unsigned char* data = p + at + 4;
        if (at + 4 + size > length)
            break;
        if (id == 0x0001) {
            std::size_t k = 0;
            if (wideSize && k + 8 <= size)
                entry.size = U64(data + k), k += 8;
            if (wideCompressed && k + 8 <= size)
                entry.compressedSize = U64(data + k), k += 8;
            if (wideOffset && k + 8 <= size)
                entry.localOffset = U64(data + k);
        } else if (id == 0x5455 && size >= 5 && (data[0] & 1) != 0) {
            entry.mtime = std::int64_t(std::int32_t(U32(data + 1)));
        } else if (id == 0x9901 && size >= 7) {
            entry.hasCrc = U16(data) != 2;
            entry.aesStrength = data[4];
            entry.aesMethod = U16(data + 5);
        }
        at += 4 + std::size_t(size);
    }
}

} // namespace

Result<std::vector<ZipIndexEntry>> ReadZipIndex(const std::string& path)
{
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info { };
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0)
        return MakeError(ErrorKind::LocalIo,
            "The archive \"" + path + "\" cannot be opened: " + std::strerror(errno) + ".");
    const Result<Directory> dir = FindDirectory(fd.get(), std::uint64_t(info.st_size), path);
    if (!dir)
        return dir.error();
    std::vector<unsigned char> bytes;
    if (!ReadAt(fd.get(), dir->offset, bytes, std::size_t(dir->size)))
        return Damaged(path, "its central directory cannot be read");
    std::vector<ZipIndexEntry> entries;
    entries.reserve(std::size_t(std::min<std::uint64_t>(dir->entries, 1 << 20)));
    for (std::size_t at = 0; at + 46 <= bytes.size();) {
        const unsigned char* p = &bytes[at];
        if (U32(p) != kCentralSignature)
            return Damaged(path, "an entry of its central directory is malformed");
        const std::size_t nameLength = U16(p + 28), extraLength = U16(p + 30), commentLength = U16(p + 32);
        if (at + 46 + nameLength + extraLength + commentLength > bytes.size())
            return Damaged(path, "its central directory is cut short");
        ZipIndexEntry entry;
        entry.encrypted = (U16(p + 8) & 1) != 0;
        entry.method = U16(p + 10);
        entry.dosTime = (std::uint32_t(U16(p + 14)) << 16) | U16(p + 12);
        entry.crc = U32(p + 16);
        entry.compressedSize = U32(p + 20);
        entry.size = U32(p + 24);
        entry.localOffset = U32(p + 42);
        entry.name.assign(reinterpret_cast<const char*>(p + 46), nameLength);
        ReadExtra(p + 46 + nameLength, extraLength, entry, entry.size == 0xffffffff,
            entry.compressedSize == 0xffffffff, entry.localOffset == 0xffffffff);
        entries.push_back(std::move(entry));
        at += 46 + nameLength + extraLength + commentLength;
    }
    if (entries.size() != dir->entries)
        return Damaged(
            path, "its central directory holds another number of entries than its end record says");
    std::stable_sort(entries.begin(), entries.end(),
        [](const ZipIndexEntry& a, const ZipIndexEntry& b) { return a.localOffset < b.localOffset; });
    return entries;
}

} // namespace vorn
