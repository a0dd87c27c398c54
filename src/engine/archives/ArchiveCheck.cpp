#include "engine/archives/ArchiveCheck.h"

#include "engine/archives/Crc32.h"

#include <archive.h>
#include <archive_entry.h>
#include <memory>
#include <mutex>

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

} // namespace

std::string VerifyArchive(const std::string& path, const std::string& password,
    const std::vector<ZipArchive::WrittenEntry>& expected)
{
    const std::string what = "The archive \"" + path + "\" failed verification: ";
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
