#include "engine/archives/ZipArchive.h"

#include "engine/Durability.h"
#include "engine/archives/Crc32.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace vorn {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t ChunkSize = 256 * 1024;
constexpr int BlockSize = 64 * 1024;
// The zip format stores name lengths in 16 bits.
constexpr std::size_t MaxEntryNameBytes = 0xffff;

std::string ErrnoText(int err)
{
    return std::generic_category().message(err);
}

std::string Quoted(std::string_view text)
{
    return '"' + std::string(text) + '"';
}

// Length of the UTF-8 sequence starting at `i`, or 0 when it is malformed (overlong forms,
// surrogates and code points above U+10FFFF included).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i)
{
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80)
        return 1;
    std::size_t length;
    std::uint32_t cp;
    if ((lead & 0xe0) == 0xc0) {
        length = 2;
        cp = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3;
        cp = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (next & 0x3f);
    }
    static constexpr std::uint32_t smallest[] = { 0, 0, 0x80, 0x800, 0x10000 };
    if (cp < smallest[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return length;
}

bool IsValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// The name as it may appear in a message: malformed bytes and control characters become "?".
std::string Printable(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, i);
        if (length == 0 || static_cast<unsigned char>(text[i]) < 0x20) {
            out += '?';
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

// Why `name` may not name an entry, or "" when it may. The rules keep every entry inside the
// folder it is extracted to, on any system that extracts it.
std::string EntryNameProblem(std::string_view name)
{
    if (name.empty())
        return "the entry name is empty";
    if (name.size() > MaxEntryNameBytes)
        return "the entry name is longer than 65535 bytes";
    if (name.find('\0') != std::string_view::npos)
        return "the entry name contains a NUL character";
    if (!IsValidUtf8(name))
        return "the entry name is not valid UTF-8";
    if (name.find('\\') != std::string_view::npos)
        return "the entry name contains a backslash";
    if (name.front() == '/')
        return "the entry name is an absolute path";
    const unsigned char first = static_cast<unsigned char>(name[0]);
    if (name.size() >= 2 && name[1] == ':' && ((first | 0x20) >= 'a' && (first | 0x20) <= 'z'))
        return "the entry name starts with a drive letter";
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string_view part = name.substr(start, end - start);
        if (part.empty())
            return "the entry name has an empty path component";
        if (part == "." || part == "..")
            return "the entry name contains a \"" + std::string(part) + "\" component";
        if (end == name.size())
            return {};
        start = end + 1;
    }
}

struct EntryDeleter {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

// Closes a descriptor on every way out of the scope that opened it.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : fd_(fd)
    {
    }
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

// libarchive hands every finished block to Write. Its close callback's result is ignored by
// libarchive, so the archive file is flushed and closed by Close() itself, not here.
struct ZipArchive::Output {
    static la_ssize_t Write(struct archive* a, void* client, const void* buffer, std::size_t length)
    {
        auto* self = static_cast<ZipArchive*>(client);
        if (self->discardOutput_)
            return la_ssize_t(length);
        const char* next = static_cast<const char*>(buffer);
        std::size_t left = length;
        while (left > 0) {
            const ssize_t written = ::write(self->fd_, next, left);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                const int err = written < 0 ? errno : ENOSPC;
                archive_set_error(a, err, "%s", ErrnoText(err).c_str());
                return -1;
            }
            next += written;
            left -= std::size_t(written);
        }
        return la_ssize_t(length);
    }
};

ZipArchive::ZipArchive(std::string path, std::string partPath, int fd, bool encrypted)
    : path_(std::move(path))
    , partPath_(std::move(partPath))
    , fd_(fd)
    , encrypted_(encrypted)
{
}

Result<std::unique_ptr<ZipArchive>> ZipArchive::Create(const std::string& path, const std::string& password)
{
    const auto failure = [&](ErrorKind kind, const std::string& why) {
        return MakeError(kind, "Cannot create the archive " + Quoted(path) + ": " + why + ".");
    };
    if (path.empty())
        return MakeError(ErrorKind::Invalid, "Cannot create an archive without a path.");
    if (password.find('\0') != std::string::npos)
        return failure(ErrorKind::Invalid, "the password contains a NUL character");

    const fs::path target(path);
    if (!target.has_filename())
        return failure(ErrorKind::Invalid, "the path names a folder, not a file");
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code ec;
    const fs::file_status folderStatus = fs::status(folder, ec);
    if (folderStatus.type() == fs::file_type::not_found)
        return failure(ErrorKind::NotFound, "the folder " + Quoted(folder.string()) + " does not exist");
    if (ec)
        return failure(ErrorKind::AccessDenied,
            "the folder " + Quoted(folder.string()) + " cannot be reached (" + ec.message() + ")");
    if (!fs::is_directory(folderStatus))
        return failure(ErrorKind::Invalid, Quoted(folder.string()) + " is not a folder");
    if (fs::exists(fs::symlink_status(target, ec)))
        return failure(ErrorKind::AlreadyExists, "a file of that name exists already");

    std::string partPath = path + ".part";
    const int fd = ::open(partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        const ErrorKind code = err == EACCES || err == EPERM || err == EROFS ? ErrorKind::AccessDenied
            : err == EEXIST                                                  ? ErrorKind::AlreadyExists
                                                                             : ErrorKind::LocalIo;
        return failure(code, "cannot create " + Quoted(partPath) + " (" + ErrnoText(err) + ")");
    }

    std::unique_ptr<ZipArchive> zip(new ZipArchive(path, std::move(partPath), fd, !password.empty()));
    zip->writer_ = archive_write_new();
    struct archive* a = zip->writer_;
    const auto setupFailed = [&](const std::string& step) {
        std::string why = step + " (" + zip->ArchiveErrorText() + ")";
        // The destructor sees an archive that never opened: it only removes the ".part" file.
        archive_write_free(zip->writer_);
        zip->writer_ = nullptr;
        return failure(ErrorKind::LocalIo, why);
    };
    if (a == nullptr)
        return failure(ErrorKind::LocalIo, "out of memory");
    if (archive_write_set_format_zip(a) != ARCHIVE_OK)
        return setupFailed("the zip format is not available");
    if (archive_write_set_options(a, "zip:hdrcharset=UTF-8") != ARCHIVE_OK)
        return setupFailed("UTF-8 entry names are not available");
    if (!password.empty()) {
        if (archive_write_set_options(a, "zip:encryption=aes256") != ARCHIVE_OK)
            return setupFailed("AES-256 encryption is not available");
        if (archive_write_set_passphrase(a, password.c_str()) != ARCHIVE_OK)
            return setupFailed("the password was not accepted");
    }
    // Without this libarchive pads the last block with zeros, which readers report as junk
    // after the end of the archive.
    archive_write_set_bytes_per_block(a, BlockSize);
    archive_write_set_bytes_in_last_block(a, 1);
    if (archive_write_open2(a, zip.get(), nullptr, &Output::Write, nullptr, nullptr) != ARCHIVE_OK)
        return setupFailed("the archive could not be started");
    zip->buffer_.resize(ChunkSize);
    return zip;
}

ZipArchive::~ZipArchive()
{
    if (writer_ != nullptr) {
        (void)Close();
    } else if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(partPath_.c_str());
    }
}

std::string ZipArchive::ArchiveErrorText() const
{
    const char* text = writer_ != nullptr ? archive_error_string(writer_) : nullptr;
    return text != nullptr && *text != '\0' ? std::string(text) : std::string("unknown libarchive error");
}

Error ZipArchive::MarkBroken(std::string reason)
{
    broken_ = true;
    brokenReason_ = std::move(reason);
    return MakeError(
        ErrorKind::LocalIo, "Cannot write the archive " + Quoted(path_) + ": " + brokenReason_ + ".");
}

Status ZipArchive::Add(std::string_view entryName, const std::string& localFilePath)
{
    const std::string what
        = "Cannot add " + Quoted(Printable(entryName)) + " to the archive " + Quoted(path_) + ": ";
    if (writer_ == nullptr)
        return MakeError(ErrorKind::Invalid, what + "the archive is closed.");
    if (broken_)
        return MakeError(ErrorKind::LocalIo, what + "an earlier write failed (" + brokenReason_ + ").");
    if (const std::string problem = EntryNameProblem(entryName); !problem.empty())
        return MakeError(ErrorKind::Invalid, what + problem + ".");
    if (names_.count(std::string(entryName)) != 0)
        return MakeError(ErrorKind::AlreadyExists, what + "an entry of that name exists already.");

    // O_NONBLOCK keeps the open from waiting forever on a FIFO; regular files ignore it.
    const FileDescriptor file(::open(localFilePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        const int err = errno;
        if (err == ENOENT)
            return MakeError(
                ErrorKind::NotFound, what + "the file " + Quoted(localFilePath) + " does not exist.");
        const ErrorKind code = err == EACCES || err == EPERM ? ErrorKind::AccessDenied : ErrorKind::LocalIo;
        return MakeError(code, what + "cannot open " + Quoted(localFilePath) + " (" + ErrnoText(err) + ").");
    }
    struct stat info { };
    if (::fstat(file.get(), &info) != 0)
        return MakeError(ErrorKind::LocalIo,
            what + "cannot read " + Quoted(localFilePath) + " (" + ErrnoText(errno) + ").");
    if (!S_ISREG(info.st_mode))
        return MakeError(ErrorKind::Invalid, what + Quoted(localFilePath) + " is not a regular file.");

    // The size goes into the entry header before the data, so libarchive picks Zip64 for
    // large files up front and never has to guess.
    std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
    if (!entry)
        return MakeError(ErrorKind::LocalIo, what + "out of memory.");
    const std::string name(entryName);
    archive_entry_set_pathname_utf8(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), la_int64_t(info.st_size));
    archive_entry_set_mtime(entry.get(), info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    const int header = archive_write_header(writer_, entry.get());
    if (header == ARCHIVE_FATAL)
        return MarkBroken(ArchiveErrorText());
    if (header < ARCHIVE_WARN)
        return MakeError(ErrorKind::LocalIo, what + ArchiveErrorText() + ".");

    entryCrc_ = 0;
    const Status result = StreamFile(file.get(), std::uint64_t(info.st_size));
    if (broken_)
        return result;
    if (archive_write_finish_entry(writer_) < ARCHIVE_WARN)
        return MarkBroken(ArchiveErrorText());
    names_.insert(name);
    written_.push_back({ name, std::uint64_t(info.st_size), entryCrc_ });
    ++entryCount_;
    if (!result)
        return MakeError(result.error().kind, what + result.message());
    return result;
}

// Writes exactly `size` bytes of entry data, the size its header announced. A file that
// turns out shorter is padded with zeros so the archive stays readable, and reported.
Status ZipArchive::StreamFile(int fd, std::uint64_t size)
{
    const auto writeData = [&](const char* data, std::size_t length) {
        entryCrc_ = Crc32(entryCrc_, data, length);
        while (length > 0) {
            const la_ssize_t taken = archive_write_data(writer_, data, length);
            if (taken <= 0)
                return false;
            data += taken;
            length -= std::size_t(taken);
        }
        return true;
    };

    std::optional<Error> problem;
    std::uint64_t left = size;
    while (left > 0) {
        const ssize_t got
            = ::read(fd, buffer_.data(), std::size_t(std::min<std::uint64_t>(left, buffer_.size())));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = MakeError(ErrorKind::LocalIo, "reading the file failed (" + ErrnoText(errno) + ")");
            break;
        }
        if (got == 0) {
            problem = MakeError(ErrorKind::Changed, "the file became shorter while it was being added");
            break;
        }
        if (!writeData(buffer_.data(), std::size_t(got)))
            return MarkBroken(ArchiveErrorText());
        left -= std::uint64_t(got);
    }
    if (problem) {
        const std::uint64_t kept = size - left;
        std::fill(buffer_.begin(), buffer_.end(), '\0');
        while (left > 0) {
            const std::size_t length = std::size_t(std::min<std::uint64_t>(left, buffer_.size()));
            if (!writeData(buffer_.data(), length))
                return MarkBroken(ArchiveErrorText());
            left -= length;
        }
        problem->message += "; the entry holds its first " + std::to_string(kept) + " of "
            + std::to_string(size) + " bytes followed by zeros.";
        return *problem;
    }
    char extra;
    ssize_t more;
    do
        more = ::read(fd, &extra, 1);
    while (more < 0 && errno == EINTR);
    if (more > 0)
        return MakeError(ErrorKind::Changed,
            "the file grew while it was being added; the entry holds only its first " + std::to_string(size)
                + " bytes.");
    return Ok();
}

Status ZipArchive::Close()
{
    if (writer_ == nullptr)
        return closeResult_;

    // libarchive frees the compressor of an open entry only when finishing it succeeds, so a
    // broken archive is finished into the void before its file is removed.
    discardOutput_ = broken_;
    const int closed = archive_write_close(writer_);
    std::string failure = broken_ ? brokenReason_ : closed != ARCHIVE_OK ? ArchiveErrorText() : std::string();
    archive_write_free(writer_);
    writer_ = nullptr;

    // A full disk may only show when the last buffered blocks reach it.
    if (failure.empty() && ::fsync(fd_) != 0)
        failure = "flushing to disk failed (" + ErrnoText(errno) + ")";
    if (::close(fd_) != 0 && failure.empty())
        failure = "closing the file failed (" + ErrnoText(errno) + ")";
    fd_ = -1;

    // A complete archive is never written over another file, nor thrown away.
    bool keepPart = false;
    std::error_code ec;
    if (failure.empty() && fs::exists(fs::symlink_status(path_, ec))) {
        failure = "a file of that name appeared meanwhile; the archive is left at " + Quoted(partPath_);
        keepPart = true;
    } else if (failure.empty()) {
        fs::rename(partPath_, path_, ec);
        if (ec)
            failure = "renaming " + Quoted(partPath_) + " failed (" + ec.message() + ")";
        // The new name is on disk only once the folder is.
        else if (const Status synced = SyncFolder(fs::path(path_).parent_path().string()); !synced)
            failure = synced.message().substr(0, synced.message().size() - 1); // without its "."
    }
    if (!failure.empty()) {
        if (!keepPart)
            ::unlink(partPath_.c_str());
        closeResult_ = MakeError(
            ErrorKind::LocalIo, "Cannot finish the archive " + Quoted(path_) + ": " + failure + ".");
    }
    return closeResult_;
}

} // namespace vorn
