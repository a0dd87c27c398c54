#include "engine/restore/ArchiveEntries.h"

#include "engine/archives/Crc32.h"
#include "engine/restore/ZipEntryData.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <unordered_map>

namespace vorn {

namespace {

struct ReaderDeleter {
    void operator()(struct archive* a) const { archive_read_free(a); }
};

std::string ReaderError(struct archive* a)
{
    const char* text = archive_error_string(a);
    return text != nullptr && *text != '\0' ? text : "unknown error";
}

bool IsPasswordProblem(const std::string& text)
{
    return text.find("assphrase") != std::string::npos;
}

Error PasswordError(const std::string& path, bool given)
{
    return MakeError(ErrorKind::Invalid,
        given ? "The password does not open the archive \"" + path + "\"."
              : "The archive \"" + path + "\" is encrypted: a password is needed to open it.");
}

// Streams the current entry's data into `sink`, with its size and CRC counted.
Status CopyEntryData(struct archive* a, const ZipIndexEntry& want, EntrySink& sink)
{
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    const void* block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    for (;;) {
        if (sink.Stopped())
            return MakeError(ErrorKind::Cancelled, "Stopped");
        const int rc = archive_read_data_block(a, &block, &length, &offset);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc < ARCHIVE_WARN)
            return MakeError(
                ErrorKind::LocalIo, "The archive's data cannot be read (" + ReaderError(a) + ")");
        if (std::uint64_t(offset) != size)
            return MakeError(ErrorKind::LocalIo, "The archive's data has a gap");
        crc = Crc32(crc, block, length);
        size += length;
        if (Status written = sink.Write(block, length); !written)
            return written;
    }
    if (size != want.size)
        return MakeError(ErrorKind::LocalIo,
            "The archive holds " + std::to_string(size) + " bytes instead of " + std::to_string(want.size));
    if (want.hasCrc && crc != want.crc)
        return MakeError(ErrorKind::LocalIo, "The data does not match the archive's CRC");
    return Ok();
}

using Reader = std::unique_ptr<struct archive, ReaderDeleter>;

Result<Reader> OpenReader(const std::string& path, const std::string& password)
{
    Reader reader(archive_read_new());
    struct archive* a = reader.get();
    if (a == nullptr)
        return MakeError(ErrorKind::LocalIo, "Out of memory");
    // The seekable reader takes the central directory as the truth and seeks to each entry.
    archive_read_support_format_zip_seekable(a);
    if (!password.empty())
        archive_read_add_passphrase(a, password.c_str());
    if (archive_read_open_filename(a, path.c_str(), 256 * 1024) != ARCHIVE_OK)
        return MakeError(
            ErrorKind::LocalIo, "The archive \"" + path + "\" cannot be opened (" + ReaderError(a) + ").");
    return reader;
}

// Tells every wanted entry not yet done why it was not reached.
void FailRemaining(
    const std::vector<ZipIndexEntry>& index, std::vector<bool>& done, EntrySink& sink, const Error& why)
{
    for (std::size_t i = 0; i < index.size(); ++i)
        if (!done[i] && sink.Wants(i)) {
            done[i] = true;
            sink.Done(i, why, -1);
        }
}

// The time of an entry: its extended timestamp, else its DOS time (local time, as zip
// writers store it).
std::int64_t EntryTime(const ZipIndexEntry& entry)
{
    if (entry.mtime >= 0)
        return entry.mtime;
    const std::uint32_t dos = entry.dosTime;
    std::tm local {};
    local.tm_year = int(dos >> 25) + 80;
    local.tm_mon = int((dos >> 21) & 15) - 1;
    local.tm_mday = int((dos >> 16) & 31);
    local.tm_hour = int((dos >> 11) & 31);
    local.tm_min = int((dos >> 5) & 63);
    local.tm_sec = int(dos & 31) * 2;
    local.tm_isdst = -1;
    return dos == 0 ? -1 : std::int64_t(std::mktime(&local));
}

// Reads every wanted entry at its offset from the central directory: no other entry's
// header is looked at, and the decryption runs over whole blocks. Used when the wanted
// entries are all stored or deflated, plain or with WinZip AES (what this program writes).
Status ReadDirect(const std::string& path, const std::string& password,
    const std::vector<ZipIndexEntry>& index, EntrySink& sink, bool passwordChecked)
{
    std::vector<bool> done(index.size(), false);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const Error why = MakeError(ErrorKind::LocalIo,
            "The archive \"" + path + "\" cannot be opened (" + std::strerror(errno) + ").");
        FailRemaining(index, done, sink, why);
        return why;
    }
    for (std::size_t at = 0; at < index.size() && !sink.Stopped(); ++at) {
        if (!sink.Wants(at))
            continue;
        sink.Start(at);
        EntryProblem problem = EntryProblem::None;
        Status outcome = ReadZipEntryData(
            fd, index[at], password,
            [&](const void* data, std::size_t length) { return sink.Write(data, length); },
            [&] { return sink.Stopped(); }, problem);
        if (problem == EntryProblem::Password) {
            if (!passwordChecked) {
                ::close(fd);
                const Error why = PasswordError(path, !password.empty());
                FailRemaining(index, done, sink, why);
                return why;
            }
            outcome = MakeError(
                ErrorKind::LocalIo, "The entry is damaged: the archive's password does not open it");
        }
        passwordChecked = passwordChecked || (outcome && index[at].encrypted);
        done[at] = true;
        sink.Done(at, outcome, EntryTime(index[at]));
    }
    ::close(fd);
    FailRemaining(index, done, sink, MakeError(ErrorKind::Cancelled, "Stopped"));
    return Ok();
}

bool AllReadableDirectly(const std::vector<ZipIndexEntry>& index, EntrySink& sink)
{
    for (std::size_t i = 0; i < index.size(); ++i)
        if (sink.Wants(i) && !ZipEntryDataReadable(index[i]))
            return false;
    return true;
}

} // namespace

Status ReadArchiveEntries(const std::string& path, const std::string& password,
    const std::vector<ZipIndexEntry>& index, EntrySink& sink, bool passwordChecked)
{
    if (AllReadableDirectly(index, sink))
        return ReadDirect(path, password, index, sink, passwordChecked);
    std::vector<bool> done(index.size(), false);
    Result<Reader> opened = OpenReader(path, password);
    if (!opened) {
        FailRemaining(index, done, sink, opened.error());
        return opened.error();
    }
    struct archive* a = opened->get();
    std::unordered_map<std::string, std::size_t> byName;
    for (std::size_t i = 0; i < index.size(); ++i)
        byName.emplace(index[i].name, i);
    archive_entry* header = nullptr;
    for (std::size_t position = 0; !sink.Stopped(); ++position) {
        const int rc = archive_read_next_header(a, &header);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc < ARCHIVE_WARN) {
            const Error why = MakeError(ErrorKind::LocalIo,
                "The archive \"" + path + "\" is damaged: its entries cannot be read (" + ReaderError(a)
                    + ").");
            FailRemaining(index, done, sink, why);
            return why;
        }
        // Without a UTF-8 locale libarchive may give no name; the order of the data tells then.
        const char* name = archive_entry_pathname_utf8(header);
        const auto found = name != nullptr ? byName.find(name) : byName.end();
        const std::size_t at = found != byName.end() ? found->second : position;
        if (at >= index.size() || done[at] || !sink.Wants(at))
            continue;
        const std::int64_t mtime = archive_entry_mtime_is_set(header) ? archive_entry_mtime(header) : -1;
        sink.Start(at);
        Status outcome = CopyEntryData(a, index[at], sink);
        if (!outcome && index[at].encrypted && IsPasswordProblem(outcome.message())) {
            if (!passwordChecked) {
                const Error why = PasswordError(path, !password.empty());
                FailRemaining(index, done, sink, why);
                return why;
            }
            outcome = MakeError(
                ErrorKind::LocalIo, "The entry is damaged: the archive's password does not open it");
        }
        passwordChecked = passwordChecked || (outcome && index[at].encrypted);
        done[at] = true;
        sink.Done(at, outcome, mtime);
    }
    FailRemaining(index, done, sink,
        sink.Stopped()
            ? MakeError(ErrorKind::Cancelled, "Stopped")
            : MakeError(ErrorKind::LocalIo,
                "The archive \"" + path + "\" does not hold this entry where its directory says."));
    return Ok();
}

Result<std::string> ReadArchiveEntry(const std::string& path, const std::string& password,
    const std::vector<ZipIndexEntry>& index, std::size_t entry)
{
    class Collect : public EntrySink {
    public:
        explicit Collect(std::size_t wanted)
            : wanted_(wanted)
        {
        }
        bool Wants(std::size_t i) override { return i == wanted_; }
        Status Write(const void* data, std::size_t length) override
        {
            text.append(static_cast<const char*>(data), length);
            return Ok();
        }
        void Done(std::size_t, const Status& result, std::int64_t) override
        {
            if (!result)
                outcome = result;
        }
        std::string text;
        Status outcome;

    private:
        std::size_t wanted_;
    } collect(entry);
    if (Status read = ReadArchiveEntries(path, password, index, collect); !read)
        return read.error();
    if (!collect.outcome)
        return collect.outcome.error();
    return std::move(collect.text);
}

} // namespace vorn
