#include "engine/Walks.h"

#include "common/DecimalText.h"
#include "common/TimeText.h"
#include "engine/ConnectionOps.h"
#include "engine/LocalFiles.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unordered_map>

namespace vorn {

// Unix listings give the time of day only for recent files: a file listed "2012031514:25" when
// it was copied is listed "20120315" once it is older, without having changed.
bool SameListedTime(const std::string& remembered, const std::string& listed)
{
    if (remembered == listed)
        return true;
    const std::string& dateOnly = remembered.size() == 8 ? remembered : listed;
    const std::string& other = remembered.size() == 8 ? listed : remembered;
    return dateOnly.size() == 8 && other.size() > 8 && other.compare(0, 8, dateOnly) == 0;
}

bool BackupModeAdmits(const sf::Info& entry, std::int32_t backupMode, const CopiedFile* lastCopy,
    const std::function<bool()>& copyInPlace)
{
    if (backupMode != kIncrementalBackupMode || lastCopy == nullptr)
        return true;
    if (lastCopy->size != entry.size || !SameListedTime(lastCopy->time, entry.time))
        return true;
    return !copyInPlace();
}

std::string JoinRemote(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

namespace {

std::atomic<std::uint64_t> nextRowId { 1 };

enum class FolderResult { Done, Failed, Stopped };

// One status row: inserted with "..." and given exactly one final status.
class StatusRow {
public:
    StatusRow(RunObserver* observer, const std::string& remotePath, const std::string& sizeText)
        : observer_(observer)
        , id_(nextRowId++)
    {
        if (observer_)
            observer_->OnFileRowInserted(
                id_, FormatLocalNow("%H:%M:%S"), remotePath, FormatSizeText(sizeText));
    }
    void Finish(const char* status, const std::string& reason = {})
    {
        if (observer_)
            observer_->OnFileRowStatus(id_, status, reason);
    }

private:
    RunObserver* observer_;
    std::uint64_t id_;
};

// False when the run is to stop; blocks while it is paused.
bool KeepGoing(const RunEnvironment& env)
{
    return env.control == nullptr || env.control->WaitWhilePaused();
}

bool StopRequested(const RunEnvironment& env)
{
    return env.control != nullptr && env.control->stopRequested();
}

void StartTransfer(const RunEnvironment& env)
{
    TransferFigures& f = *env.figures;
    f.progressInfo.Reset();
    if (!f.transferStartClockSet.exchange(true))
        f.transferStartClock = ClockMs();
}

void CountTransferred(const RunEnvironment& env, const std::string& sizeText)
{
    TransferFigures& f = *env.figures;
    const std::uint64_t total = f.transferredBytes += ParseByteCount(sizeText);
    const std::int64_t elapsed = ClockMs() - f.transferStartClock + 1;
    f.transferSpeed = float(total * 1000 / std::uint64_t(elapsed > 0 ? elapsed : 1));
}

// The part of `remote` below the root, always beginning with "/".
std::string RelativePart(const WalkContext& ctx, const std::string& remote)
{
    std::string rel = remote.size() > ctx.rootRemote.size() ? remote.substr(ctx.rootRemote.size()) : "";
    if (rel.empty() || rel.front() != '/')
        rel.insert(0, "/");
    return rel;
}

std::string JoinLocal(const std::string& root, const std::string& relative)
{
    if (!root.empty() && root.back() == '/')
        return root + relative.substr(1);
    return root + relative;
}

// A compressed walk downloads into "incoming" below the staging folder. A file that cannot be
// added to the archive moves to "kept" under its relative path, where a later file of the
// same name from another folder cannot replace it. Only an empty "incoming" is removed.
class StagingFolders {
public:
    explicit StagingFolders(const std::string& staging)
        : staging_(staging)
        , incoming_(staging.empty() ? std::string() : staging + "/incoming")
    {
        if (!incoming_.empty() && !EnsureLocalFolder(incoming_))
            incoming_.clear();
    }
    ~StagingFolders()
    {
        std::error_code ignored;
        if (!incoming_.empty())
            std::filesystem::remove(incoming_, ignored);
    }
    StagingFolders(const StagingFolders&) = delete;
    StagingFolders& operator=(const StagingFolders&) = delete;

    [[nodiscard]] const std::string& incoming() const { return incoming_; }

    void Keep(const std::string& localFile, const std::string& entryName) const
    {
        const std::filesystem::path target = std::filesystem::path(staging_) / "kept" / entryName;
        std::error_code error;
        std::filesystem::create_directories(target.parent_path(), error);
        if (!error)
            std::filesystem::rename(localFile, target, error);
    }

private:
    std::string staging_;
    std::string incoming_;
};

// Incremental runs stamp a copy to the second: a listing that gives only a date (older files
// in Unix listings) is completed by one MDTM, when the server offers it, and the answer is
// remembered with the copy so that later runs need not ask again.
void StampCopy(sf::Ftp& source, const std::string& localFile, const sf::Info& entry,
    const std::string& remotePath, CopyRecords* records)
{
    std::string exact;
    if (records != nullptr && entry.time.size() == 8) {
        exact = records->seen().count(remotePath) ? records->seen().at(remotePath).exactTime : std::string();
        if (exact.empty() && source.Supports("MDTM")
            && source.ModificationTime(remotePath, exact).GetStatus() == 213)
            records->NoteExactTime(remotePath, exact);
    }
    if (exact.empty() || !StampLocalFileExact(localFile, exact))
        StampLocalFile(localFile, entry.time);
}

// A local copy is in place when a regular file (not a link) of the listed size is there.
bool LocalCopyInPlace(const std::string& localFile, const sf::Info& entry)
{
    struct stat info { };
    if (::lstat(localFile.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    return entry.size.empty() || std::uint64_t(info.st_size) == ParseByteCount(entry.size);
}

// The sizes the destination server lists in one folder, listed once per folder and only
// when a file needs the check. A folder that cannot be listed holds nothing.
class DestinationSizes {
public:
    explicit DestinationSizes(sf::Ftp& destination)
        : destination_(destination)
    {
    }
    bool Holds(const std::string& folder, const sf::Info& entry)
    {
        if (!listed_ || folder != folder_) {
            listed_ = true;
            folder_ = folder;
            sizes_.clear();
            const auto listing = destination_.GetDirectoryListing(folder);
            if (listing.IsOk())
                for (const sf::Info& file : listing.GetEntries())
                    if (file.isFile)
                        sizes_[file.name] = file.size;
        }
        const auto found = sizes_.find(entry.name);
        return found != sizes_.end() && found->second == entry.size;
    }

private:
    sf::Ftp& destination_;
    bool listed_ = false;
    std::string folder_;
    std::unordered_map<std::string, std::string> sizes_;
};

// What both walks share: the folder order (depth first from the pending stack, without
// recursion), the listing of each folder and the handling of its entries.
struct FolderWalk {
    sf::Ftp& source;
    WalkContext& ctx;
    TransferTally& tally;
    const RunEnvironment& env;
    const WalkOptions& options;
    // Ensures and enters the current folders on every side; false fails the folder.
    std::function<bool()> enterFolder;
    // Transfers one admitted file; returns the row's final status, or nullptr when the run
    // was stopped during the transfer.
    std::function<const char*(const sf::Info&, const std::string& remotePath)> transferFile;
    // Incremental runs: whether the last copy of a file is still where it was put.
    std::function<bool(const sf::Info&, const std::string& remotePath)> copyInPlace;

    // Records a file that passed the rules; true when it is unchanged since its last copy,
    // which then gets no row (an unchanged site of 100 000 files must not flood the list).
    bool Unchanged(const sf::Info& entry, const std::string& remotePath)
    {
        CopyRecords* records = options.records;
        if (records == nullptr)
            return false;
        records->MarkSeen(remotePath, entry);
        if (options.modeCheckBypass || options.fullArchive)
            return false;
        if (BackupModeAdmits(entry, options.backupMode, records->Last(remotePath),
                [&] { return copyInPlace && copyInPlace(entry, remotePath); }))
            return false;
        records->MarkUnchanged(remotePath);
        ++tally.filesUnchanged;
        return true;
    }

    FolderResult ProcessFolder()
    {
        // A paused run holds before the next folder's commands, not after them.
        if (!KeepGoing(env))
            return FolderResult::Stopped;
        if (!enterFolder())
            return FolderResult::Failed;
        const auto listing = source.GetDirectoryListing("");
        if (!listing.IsOk())
            return FolderResult::Failed;
        for (const sf::Info& entry : listing.GetEntries()) {
            if (!KeepGoing(env))
                return FolderResult::Stopped;
            if (entry.name == "." || entry.name == "..")
                continue;
            const bool safe = ftp::IsSafeEntryName(entry.name);
            if (!entry.isFile) {
                // A folder whose name cannot be a path component is never entered.
                if (safe)
                    ctx.pending.push_back(JoinRemote(ctx.currentRemote, entry.name));
                else
                    ++tally.foldersFailed;
                continue;
            }
            const std::string remotePath = JoinRemote(ctx.currentRemote, entry.name);
            const bool passes
                = safe && PassesFilterRules(ctx.rules, entry.name, ParseByteCount(entry.size), entry.time);
            if ((passes && Unchanged(entry, remotePath)) || (safe && !passes && env.dryRun))
                continue;
            StatusRow row(env.observer, remotePath, entry.size);
            if (!safe) {
                ++tally.filesFailed;
                row.Finish("Failed");
                continue;
            }
            if (!passes) {
                row.Finish("Ignore");
                continue;
            }
            if (env.dryRun) {
                ++tally.filesDone;
                row.Finish("Would copy");
                continue;
            }
            StartTransfer(env);
            const char* status = transferFile(entry, remotePath);
            if (status == nullptr) {
                ++tally.filesFailed;
                row.Finish("Failed");
                return FolderResult::Stopped;
            }
            const bool copied = std::string_view(status) == "Success";
            ++(copied ? tally.filesDone : tally.filesFailed);
            if (copied && options.records != nullptr)
                options.records->MarkCopied(remotePath, entry);
            row.Finish(status);
        }
        ++tally.foldersDone;
        return FolderResult::Done;
    }

    // Returns 1 when the root folder was processed. `descend` sets the current folders for
    // a folder taken from the pending stack.
    int Run(const std::function<void(const std::string& relative)>& descend)
    {
        FolderResult result = ProcessFolder();
        if (result == FolderResult::Failed)
            return 0;
        while (result == FolderResult::Done && !ctx.pending.empty()) {
            ctx.currentRemote = ctx.pending.back();
            ctx.pending.pop_back();
            descend(RelativePart(ctx, ctx.currentRemote));
            result = ProcessFolder();
            if (result == FolderResult::Failed)
                ++tally.foldersFailed;
        }
        return 1;
    }
};

} // namespace

int DownloadWalk(sf::Ftp& source, WalkContext& ctx, const WalkOptions& options, TransferTally& tally,
    ZipArchive* archive, const std::string& stagingFolder, const RunEnvironment& env)
{
    const bool compress = archive != nullptr;
    const StagingFolders staging(compress ? stagingFolder : std::string());
    if (compress && staging.incoming().empty())
        return 0;
    FolderWalk walk { source, ctx, tally, env, options, {}, {} };
    walk.enterFolder = [&] {
        if (env.dryRun)
            return source.ChangeDirectory(ctx.currentRemote).IsOk();
        if (!EnsureRemoteFolder(source, ctx.currentRemote))
            return false;
        if (!compress && !EnsureLocalFolder(ctx.currentLocal))
            return false;
        return source.ChangeDirectory(ctx.currentRemote).IsOk();
    };
    walk.transferFile = [&](const sf::Info& entry, const std::string& remotePath) -> const char* {
        const std::string& folder = compress ? staging.incoming() : ctx.currentLocal;
        const auto reply = source.Download(remotePath, folder, env.figures->progressInfo, sf::Ftp::Binary);
        CountTransferred(env, entry.size);
        if (!reply.IsOk())
            return StopRequested(env) ? nullptr : "Failed";
        const std::string localFile = JoinLocal(folder, "/" + entry.name);
        StampCopy(source, localFile, entry, remotePath, options.records);
        if (!compress)
            return "Success";
        const std::string entryName = RelativePart(ctx, remotePath).substr(1);
        if (archive->Add(entryName, localFile)) {
            staging.Keep(localFile, entryName);
            return "Failed";
        }
        std::remove(localFile.c_str());
        return "Success";
    };
    walk.copyInPlace = [&](const sf::Info& entry, const std::string&) {
        // An archive chain was checked as a whole before the walk.
        return !options.noCompression
            || LocalCopyInPlace(JoinLocal(ctx.currentLocal, "/" + entry.name), entry);
    };
    return walk.Run([&](const std::string& relative) {
        if (compress)
            return; // every file of the tree goes into the one archive
        ctx.currentLocal = JoinLocal(ctx.rootLocal, relative);
    });
}

int TransferWalk(sf::Ftp& source, sf::Ftp& destination, WalkContext& ctx, const WalkOptions& options,
    TransferTally& tally, const RunEnvironment& env)
{
    FolderWalk walk { source, ctx, tally, env, options, {}, {} };
    walk.enterFolder = [&] {
        if (env.dryRun)
            return source.ChangeDirectory(ctx.currentRemote).IsOk();
        return EnsureRemoteFolder(source, ctx.currentRemote)
            && EnsureRemoteFolder(destination, ctx.currentLocal)
            && source.ChangeDirectory(ctx.currentRemote).IsOk()
            && destination.ChangeDirectory(ctx.currentLocal).IsOk();
    };
    walk.transferFile = [&](const sf::Info& entry, const std::string& remotePath) -> const char* {
        if (source.TsFileBtFtp(
                destination, remotePath, ctx.currentLocal, env.figures->progressInfo, sf::Ftp::Binary)
            != 1)
            return StopRequested(env) ? nullptr : "Failed";
        CountTransferred(env, entry.size);
        return "Success";
    };
    DestinationSizes destinationSizes(destination);
    walk.copyInPlace = [&](const sf::Info& entry, const std::string&) {
        return destinationSizes.Holds(ctx.currentLocal, entry);
    };
    return walk.Run(
        [&](const std::string& relative) { ctx.currentLocal = JoinLocal(ctx.rootLocal, relative); });
}

} // namespace vorn
