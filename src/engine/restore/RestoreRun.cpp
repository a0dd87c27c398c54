#include "engine/restore/RestoreRun.h"

#include "common/TimeText.h"
#include "engine/ConnectionOps.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"
#include "engine/restore/ArchiveEntries.h"
#include "remote/ContentDigest.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace vorn {

namespace fs = std::filesystem;

namespace {

// Row ids of restores, far from those of runs, so both may share one status list.
std::atomic<std::uint64_t> nextRowId { std::uint64_t(1) << 62 };

class Row {
public:
    Row(RunObserver* observer, const RestoreItem& item)
        : observer_(observer)
        , id_(nextRowId++)
    {
        if (observer_)
            observer_->OnFileRowInserted(
                id_, FormatLocalNow("%H:%M:%S"), item.path, FormatSizeText(std::to_string(item.size)));
    }
    void Finish(FileStatus status, const std::string& reason = {}) const
    {
        if (observer_)
            observer_->OnFileRowStatus(id_, status, reason);
    }

private:
    RunObserver* observer_;
    std::uint64_t id_;
};

// The whole restore's progress in the run's figures: bytes written of the bytes to write.
class Progress {
public:
    Progress(TransferFigures* figures, std::uint64_t total)
        : figures_(figures)
    {
        if (figures_ == nullptr)
            return;
        figures_->ResetSpeed();
        figures_->progressInfo.Reset();
        figures_->progressInfo.totalBytes = total;
    }
    void Add(std::uint64_t bytes)
    {
        if (figures_ == nullptr)
            return;
        const std::uint64_t now = figures_->progressInfo.bytes += bytes;
        const std::uint64_t total = figures_->progressInfo.totalBytes;
        figures_->progressInfo.percent = total == 0 ? 100.0f : float(100.0 * double(now) / double(total));
        figures_->ShowProgress();
    }

private:
    TransferFigures* figures_;
};

bool HasWildcard(const std::string& pattern)
{
    return pattern.find_first_of("*?[") != std::string::npos;
}

bool Stopped(const RestoreEnvironment& env)
{
    return env.control != nullptr && env.control->stopRequested();
}

// The items to write: selected, without a problem, allowed by the overwrite rule. The
// others get their final row now (a dry run's all do).
std::vector<const RestoreItem*> Decide(const std::vector<RestoreItem>& items, const LocalTarget* target,
    const RestoreRequest& request, const RestoreEnvironment& env, RestoreTally& tally,
    std::int64_t (*timeOf)(const RestoreItem&))
{
    std::vector<const RestoreItem*> chosen;
    for (const RestoreItem& item : items) {
        if (!RestoreSelects(item.path, request.include))
            continue;
        std::string note;
        Result<bool> write = item.problem.empty()
            ? (target != nullptr ? target->ShouldWrite(item.path, timeOf(item), request.overwrite, note)
                                 : Result<bool>(true))
            : Result<bool>(MakeError(ErrorKind::Failed, item.problem));
        if (write && *write && !request.dryRun) {
            chosen.push_back(&item);
            continue;
        }
        const Row row(env.observer, item);
        if (!write) {
            ++tally.filesFailed;
            row.Finish(FileStatus::Failed, write.message());
        } else if (!*write) {
            ++tally.filesKept;
            row.Finish(FileStatus::Ignored, note);
        } else {
            ++tally.filesDone;
            tally.bytes += item.size;
            row.Finish(FileStatus::WouldRestore);
        }
    }
    return chosen;
}

std::int64_t RecordedTime(const RestoreItem& item)
{
    return ManifestSeconds(item.time);
}

// Writes the wanted entries of one archive into the target as they come. Several sinks may
// read parts of one archive at once, each on its own thread: the counts, the rows and the
// progress they share are touched under `shared`.
class ArchiveSink : public EntrySink {
public:
    ArchiveSink(const LocalTarget& target, const RestoreEnvironment& env, RestoreTally& tally,
        Progress& progress, bool timesFromManifest, std::mutex& shared)
        : target_(target)
        , env_(env)
        , tally_(tally)
        , progress_(progress)
        , timesFromManifest_(timesFromManifest)
        , shared_(shared)
    {
    }
    void Add(std::size_t entry, const RestoreItem& item) { wanted_.emplace(entry, &item); }

    bool Wants(std::size_t index) override { return wanted_.count(index) != 0; }
    void Start(std::size_t index) override
    {
        current_ = wanted_.at(index);
        digest_ = ExpectedDigest(*current_);
    }
    Status Write(const void* data, std::size_t length) override
    {
        if (!pending_) {
            if (Status begun = BeginFile(*current_); !begun)
                return begun;
        }
        if (digest_)
            digest_->Update(std::string_view(static_cast<const char*>(data), length));
        {
            const std::lock_guard lock(shared_);
            progress_.Add(length);
        }
        return LocalTarget::Write(*pending_, data, length);
    }
    void Done(std::size_t index, const Status& outcome, std::int64_t mtime) override
    {
        const RestoreItem& item = *wanted_.at(index);
        Status result = outcome;
        if (result && !pending_)
            result = BeginFile(item); // an empty file
        if (result && digest_ && current_ == &item)
            result = CheckDigest(item);
        digest_.reset();
        if (result)
            result
                = LocalTarget::Finish(*pending_, item.size, timesFromManifest_ ? RecordedTime(item) : mtime);
        else if (pending_)
            LocalTarget::Abandon(*pending_);
        pending_.reset();
        current_ = nullptr;
        if (!result && result.error().kind == ErrorKind::Cancelled)
            return; // stopped: its temporary file is gone, no final name was written
        const std::lock_guard lock(shared_);
        const Row row(env_.observer, item);
        if (result) {
            ++tally_.filesDone;
            tally_.bytes += item.size;
            row.Finish(FileStatus::Success);
        } else {
            ++tally_.filesFailed;
            row.Finish(FileStatus::Failed, result.message());
        }
    }
    bool Stopped() override { return vorn::Stopped(env_); }

private:
    // The checksum a server gave for the copy when it was backed up ("SHA-256:hex"), to be
    // computed again over the data as it comes out of the archive.
    static std::unique_ptr<remote::ContentDigest> ExpectedDigest(const RestoreItem& item)
    {
        const std::size_t colon = item.digest.find(':');
        const auto kind = remote::DigestFromName(std::string_view(item.digest).substr(0, colon));
        if (colon == std::string::npos || kind == remote::DigestKind::None)
            return nullptr;
        return std::make_unique<remote::ContentDigest>(kind);
    }
    Status CheckDigest(const RestoreItem& item)
    {
        const std::string expected = item.digest.substr(item.digest.find(':') + 1);
        const std::string got = digest_->Hex();
        if (remote::SameDigest(got, expected))
            return Ok();
        return MakeError(ErrorKind::LocalIo,
            "The data does not match the " + std::string(remote::DigestName(digest_->kind()))
                + " checksum recorded when it was backed up (" + expected + ", restored " + got + ")");
    }

    Status BeginFile(const RestoreItem& item)
    {
        Result<PendingFile> begun = target_.Begin(item.path);
        if (!begun)
            return begun.error();
        pending_.emplace(std::move(*begun));
        return Ok();
    }

    const LocalTarget& target_;
    const RestoreEnvironment& env_;
    RestoreTally& tally_;
    Progress& progress_;
    bool timesFromManifest_;
    std::mutex& shared_;
    std::unordered_map<std::size_t, const RestoreItem*> wanted_;
    std::optional<PendingFile> pending_;
    const RestoreItem* current_ = nullptr;
    std::unique_ptr<remote::ContentDigest> digest_;
};

} // namespace

bool RestoreSelects(const std::string& path, const std::vector<std::string>& patterns)
{
    if (patterns.empty())
        return true;
    for (std::string pattern : patterns) {
        while (pattern.size() > 1 && pattern.back() == '/')
            pattern.pop_back();
        if (pattern.starts_with("/"))
            pattern.erase(0, 1);
        if (!HasWildcard(pattern)) {
            if (path == pattern || (path.starts_with(pattern) && path[pattern.size()] == '/'))
                return true;
            continue;
        }
        if (fnmatch(pattern.c_str(), path.c_str(), 0) == 0)
            return true;
        const std::size_t slash = path.rfind('/');
        if (pattern.find('/') == std::string::npos && slash != std::string::npos
            && fnmatch(pattern.c_str(), path.c_str() + slash + 1, 0) == 0)
            return true;
    }
    return false;
}

void ReportRestoreRow(
    RunObserver* observer, const RestoreItem& item, FileStatus status, const std::string& reason)
{
    Row(observer, item).Finish(status, reason);
}

std::string RestoreResultText(const RestoreTally& tally, bool dryRun)
{
    if (!tally.failReason.empty() && tally.filesDone == 0)
        return "Restore Results: Failed!";
    return std::string(
               dryRun ? "Dry Run Restore Results: Would Restore File(s):" : "Restore Results: File(s):")
        + std::to_string(tally.filesDone) + ", Kept File(s):" + std::to_string(tally.filesKept)
        + ", Failed File(s):" + std::to_string(tally.filesFailed) + ".";
}

namespace {

std::uint64_t TotalBytes(const std::vector<const RestoreItem*>& items)
{
    std::uint64_t total = 0;
    for (const RestoreItem* item : items)
        total += item->size;
    return total;
}

// Opens the target; a dry run only looks at it (a missing target is then fine).
std::optional<LocalTarget> OpenTarget(const RestoreRequest& request, RestoreTally& tally)
{
    Result<LocalTarget> target = LocalTarget::Open(request.target, !request.dryRun);
    if (target)
        return std::move(*target);
    if (!request.dryRun)
        tally.failReason = target.message();
    return std::nullopt;
}

void SyncTarget(const LocalTarget& target, RestoreTally& tally)
{
    if (tally.filesDone > 0)
        if (Status synced = target.Sync(); !synced)
            tally.failReason = synced.message();
}

} // namespace

namespace {

// Entries of one archive below this many are read by one thread: a second reader would cost
// more than it saves.
constexpr std::size_t kEntriesPerLane = 48;

// The entries of `held` (in the archive's order) cut into `lanes` runs of about equal bytes.
std::vector<std::vector<const RestoreItem*>> SplitIntoLanes(
    std::vector<const RestoreItem*> held, std::size_t lanes)
{
    std::sort(held.begin(), held.end(), [](const auto* a, const auto* b) { return a->entry < b->entry; });
    const std::uint64_t share = (TotalBytes(held) + 4096 * held.size()) / lanes + 1;
    std::vector<std::vector<const RestoreItem*>> parts(1);
    std::uint64_t bytes = 0;
    for (const RestoreItem* item : held) {
        if (bytes >= share && parts.size() < lanes) {
            parts.emplace_back();
            bytes = 0;
        }
        parts.back().push_back(item);
        bytes += item->size + 4096; // a file's own costs count too, not only its bytes
    }
    return parts;
}

// Reads the wanted `held` entries of one archive into the target. A large share is read by
// several readers at once, each taking a run of the entries: the key derivation and the
// decryption of every entry cost far more than seeking past the others' headers. Returns
// the failure of the archive as a whole (a wrong password), else Ok.
Status ReadOneArchive(const BackupArchives& set, const BackupArchive& source,
    const std::vector<const RestoreItem*>& held, const LocalTarget& target, const RestoreEnvironment& env,
    RestoreTally& tally, Progress& progress, std::mutex& shared)
{
    const std::size_t cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    const std::size_t lanes = std::max<std::size_t>(1, std::min(cores, held.size() / kEntriesPerLane));
    const auto parts = SplitIntoLanes(held, lanes);
    const std::string path = (fs::path(set.folder) / source.file).string();
    std::vector<Status> outcomes(parts.size());
    auto read = [&](std::size_t lane) {
        ArchiveSink sink(target, env, tally, progress, source.hasManifest, shared);
        for (const RestoreItem* item : parts[lane])
            sink.Add(item->entry, *item);
        outcomes[lane] = ReadArchiveEntries(path, set.password, source.index, sink, source.hasManifest);
    };
    std::vector<std::thread> helpers;
    for (std::size_t lane = 1; lane < parts.size(); ++lane) {
        try {
            helpers.emplace_back(read, lane);
        } catch (const std::system_error&) {
            read(lane); // no thread to be had: this one reads that run too
        }
    }
    read(0);
    for (std::thread& helper : helpers)
        helper.join();
    for (const Status& outcome : outcomes)
        if (!outcome && outcome.error().kind == ErrorKind::Invalid)
            return outcome;
    return Ok();
}

} // namespace

RestoreTally RestoreFromArchives(const BackupArchives& set, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env)
{
    RestoreTally tally;
    std::optional<LocalTarget> target = OpenTarget(request, tally);
    if (!tally.failReason.empty())
        return tally;
    const std::vector<const RestoreItem*> chosen
        = Decide(items, target ? &*target : nullptr, request, env, tally, &RecordedTime);
    Progress progress(env.figures, TotalBytes(chosen));
    // Each archive that holds a chosen file is read once, in the chain's order; a file a
    // later archive replaced is taken from that one only.
    std::map<std::size_t, std::vector<const RestoreItem*>> byArchive;
    for (const RestoreItem* item : chosen)
        byArchive[item->archive].push_back(item);
    std::mutex shared;
    for (const auto& [archive, held] : byArchive) {
        if (Stopped(env))
            break;
        const Status read
            = ReadOneArchive(set, set.archives[archive], held, *target, env, tally, progress, shared);
        if (!read) {
            tally.failReason = read.message();
            break;
        }
    }
    tally.stopped = Stopped(env);
    if (target && !request.dryRun)
        SyncTarget(*target, tally);
    return tally;
}

namespace {

std::string UtcTimeText(std::time_t when)
{
    std::tm utc {};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

// Copies the file `path` below `folder` into the target; never through a link.
Status CopyOne(const std::string& folder, const RestoreItem& item, const LocalTarget& target,
    const RestoreEnvironment& env, Progress& progress)
{
    const std::string from = folder + "/" + item.path;
    const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return MakeError(ErrorKind::LocalIo, "Cannot read \"" + from + "\": " + std::strerror(errno) + ".");
    Result<PendingFile> pending = target.Begin(item.path);
    if (!pending) {
        ::close(in);
        return pending.error();
    }
    std::vector<char> buffer(256 * 1024);
    Status result;
    for (;;) {
        if (Stopped(env)) {
            result = MakeError(ErrorKind::Cancelled, "Stopped");
            break;
        }
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            result = MakeError(
                ErrorKind::LocalIo, "Cannot read \"" + from + "\": " + std::strerror(errno) + ".");
        if (n <= 0)
            break;
        progress.Add(std::uint64_t(n));
        if (result = LocalTarget::Write(*pending, buffer.data(), std::size_t(n)); !result)
            break;
    }
    ::close(in);
    if (!result) {
        LocalTarget::Abandon(*pending);
        return result;
    }
    return LocalTarget::Finish(*pending, item.size, RecordedTime(item));
}

} // namespace

Result<std::vector<RestoreItem>> ItemsInFolder(const std::string& folder)
{
    std::vector<RestoreItem> items;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::none, error);
    if (error)
        return MakeError(
            ErrorKind::LocalIo, "The copy in \"" + folder + "\" cannot be read: " + error.message() + ".");
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error)
            return MakeError(ErrorKind::LocalIo,
                "The copy in \"" + folder + "\" cannot be read: " + error.message() + ".");
        const std::string name = it->path().filename().string();
        // Working files of runs and restores are no part of the copy.
        if (name.starts_with(".vornbackup-") || name.starts_with(".vornrestore-")) {
            if (it->is_directory(error))
                it.disable_recursion_pending();
            continue;
        }
        struct stat info { };
        if (::lstat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        items.push_back({ fs::relative(it->path(), folder).generic_string(), std::uint64_t(info.st_size),
            UtcTimeText(info.st_mtime), 0, 0, {} });
    }
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return items;
}

RestoreTally RestoreEach(const std::vector<RestoreItem>& items, const RestoreRequest& request,
    const RestoreEnvironment& env, const WriteItems& write)
{
    RestoreTally tally;
    std::optional<LocalTarget> target = OpenTarget(request, tally);
    if (!tally.failReason.empty())
        return tally;
    const std::vector<const RestoreItem*> chosen
        = Decide(items, target ? &*target : nullptr, request, env, tally, &RecordedTime);
    if (!chosen.empty()) {
        const FileReport report = [&](const RestoreItem& item, const Status& outcome) {
            const Row row(env.observer, item);
            if (outcome) {
                ++tally.filesDone;
                tally.bytes += item.size;
                row.Finish(FileStatus::Success);
            } else {
                ++tally.filesFailed;
                row.Finish(FileStatus::Failed, outcome.message());
            }
        };
        if (Status written = write(chosen, *target, report); !written)
            tally.failReason = written.message();
    }
    tally.stopped = Stopped(env);
    if (target && !request.dryRun)
        SyncTarget(*target, tally);
    return tally;
}

RestoreTally RestoreFromFolder(const std::string& folder, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env)
{
    return RestoreEach(
        items, request, env, [&](const auto& chosen, const LocalTarget& target, const FileReport& report) {
            Progress progress(env.figures, TotalBytes(chosen));
            for (const RestoreItem* item : chosen) {
                if (Stopped(env))
                    break;
                const Status copied = CopyOne(folder, *item, target, env, progress);
                if (!copied && copied.error().kind == ErrorKind::Cancelled)
                    break;
                report(*item, copied);
            }
            return Ok();
        });
}

} // namespace vorn
