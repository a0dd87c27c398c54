#include "engine/Walks.h"

#include "common/DecimalText.h"
#include "common/TimeText.h"
#include "engine/ConnectionOps.h"
#include "engine/FailureReason.h"
#include "engine/LocalFiles.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>

namespace vorn {

bool BackupModeAdmits(const sf::Info&, std::int32_t)
{
    return true;
}

std::string JoinRemote(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

namespace {

std::atomic<std::uint64_t> nextRowId { 1 };

OpResult EnterFolder(sf::Ftp& session, const std::string& folder)
{
    const auto entered = session.ChangeDirectory(folder);
    if (!entered.IsOk())
        return OpResult::Failure(ReplyReason(entered) + " (" + folder + ")");
    return {};
}

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

// What both walks share: the folder order (depth first from the pending stack, without
// recursion), the listing of each folder and the handling of its entries.
struct FolderWalk {
    sf::Ftp& source;
    WalkContext& ctx;
    TransferTally& tally;
    const RunEnvironment& env;
    const WalkOptions& options;
    // Ensures and enters the current folders on every side; a failure fails the folder.
    std::function<OpResult()> enterFolder;
    // Transfers one admitted file; returns the row's final status, or nullptr when the run
    // was stopped during the transfer. A "Failed" status comes with its `reason`.
    std::function<const char*(const sf::Info&, const std::string& remotePath, std::string& reason)>
        transferFile;
    std::string folderFailure {}; // why the last failed folder failed

    FolderResult FailFolder(std::string reason)
    {
        folderFailure = std::move(reason);
        return FolderResult::Failed;
    }

    FolderResult ProcessFolder()
    {
        // A paused run holds before the next folder's commands, not after them.
        if (!KeepGoing(env))
            return FolderResult::Stopped;
        if (auto entered = enterFolder(); !entered)
            return FailFolder(entered.message);
        const auto listing = source.GetDirectoryListing("");
        if (!listing.IsOk())
            return FailFolder("Listing failed: " + ReplyReason(listing));
        for (const sf::Info& entry : listing.GetEntries()) {
            if (!KeepGoing(env))
                return FolderResult::Stopped;
            if (entry.name == "." || entry.name == "..")
                continue;
            const std::string unusable = !entry.unusable.empty() ? entry.unusable
                : ftp::IsSafeEntryName(entry.name)               ? std::string()
                                                   : "Not a usable name: \"" + entry.name + "\"";
            if (!entry.isFile) {
                // A folder whose name cannot be a path component is never entered.
                if (unusable.empty()) {
                    ctx.pending.push_back(JoinRemote(ctx.currentRemote, entry.name));
                } else {
                    ++tally.foldersFailed;
                    if (env.observer)
                        env.observer->OnFolderFailed(JoinRemote(ctx.currentRemote, entry.name), unusable);
                }
                continue;
            }
            const std::string remotePath = JoinRemote(ctx.currentRemote, entry.name);
            StatusRow row(env.observer, remotePath, entry.size);
            if (!unusable.empty()) {
                ++tally.filesFailed;
                row.Finish("Failed", unusable);
                continue;
            }
            if (!PassesFilterRules(ctx.rules, entry.name, ParseByteCount(entry.size), entry.time)
                || (!options.modeCheckBypass && !BackupModeAdmits(entry, options.backupMode))) {
                row.Finish("Ignore");
                continue;
            }
            StartTransfer(env);
            std::string reason;
            const char* status = transferFile(entry, remotePath, reason);
            if (status == nullptr) {
                ++tally.filesFailed;
                row.Finish("Failed", "The run was stopped during the transfer");
                return FolderResult::Stopped;
            }
            const bool copied = std::string_view(status) == "Success";
            ++(copied ? tally.filesDone : tally.filesFailed);
            row.Finish(status, copied ? std::string() : reason);
        }
        ++tally.foldersDone;
        return FolderResult::Done;
    }

    // Returns 1 when the root folder was processed. `descend` sets the current folders for
    // a folder taken from the pending stack.
    int Run(const std::function<void(const std::string& relative)>& descend)
    {
        FolderResult result = ProcessFolder();
        if (result == FolderResult::Failed) {
            tally.failReason = folderFailure;
            return 0;
        }
        while (result == FolderResult::Done && !ctx.pending.empty()) {
            ctx.currentRemote = ctx.pending.back();
            ctx.pending.pop_back();
            descend(RelativePart(ctx, ctx.currentRemote));
            result = ProcessFolder();
            if (result == FolderResult::Failed) {
                ++tally.foldersFailed;
                if (env.observer)
                    env.observer->OnFolderFailed(ctx.currentRemote, folderFailure);
            }
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
    if (compress && staging.incoming().empty()) {
        tally.failReason = "Cannot create a working folder in " + stagingFolder;
        return 0;
    }
    FolderWalk walk { source, ctx, tally, env, options, {}, {} };
    walk.enterFolder = [&]() -> OpResult {
        if (auto remote = EnsureRemoteFolder(source, ctx.currentRemote); !remote)
            return remote;
        if (!compress) {
            if (auto local = EnsureLocalFolder(ctx.currentLocal); !local)
                return local;
        }
        return EnterFolder(source, ctx.currentRemote);
    };
    walk.transferFile
        = [&](const sf::Info& entry, const std::string& remotePath, std::string& reason) -> const char* {
        const std::string& folder = compress ? staging.incoming() : ctx.currentLocal;
        const auto reply = source.Download(remotePath, folder, env.figures->progressInfo, sf::Ftp::Binary);
        CountTransferred(env, entry.size);
        if (!reply.IsOk()) {
            reason = DownloadReason(reply, JoinLocal(ctx.currentLocal, "/" + entry.name));
            return StopRequested(env) ? nullptr : "Failed";
        }
        const std::string localFile = JoinLocal(folder, "/" + entry.name);
        StampLocalFile(localFile, entry.time);
        if (!compress)
            return "Success";
        const std::string entryName = RelativePart(ctx, remotePath).substr(1);
        if (const ZipError added = archive->Add(entryName, localFile)) {
            staging.Keep(localFile, entryName);
            reason = ArchiveReason(added, archive->path());
            return "Failed";
        }
        std::remove(localFile.c_str());
        return "Success";
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
    walk.enterFolder = [&]() -> OpResult {
        if (auto remote = EnsureRemoteFolder(source, ctx.currentRemote); !remote)
            return remote;
        if (auto other = EnsureRemoteFolder(destination, ctx.currentLocal); !other)
            return OpResult::Failure("Destination: " + other.message);
        if (auto entered = EnterFolder(source, ctx.currentRemote); !entered)
            return entered;
        if (auto entered = EnterFolder(destination, ctx.currentLocal); !entered)
            return OpResult::Failure("Destination: " + entered.message);
        return {};
    };
    walk.transferFile
        = [&](const sf::Info& entry, const std::string& remotePath, std::string& reason) -> const char* {
        const auto reply = source.Relay(
            destination, remotePath, ctx.currentLocal, env.figures->progressInfo, sf::Ftp::Binary);
        if (!reply.IsOk()) {
            reason = ReplyReason(reply);
            return StopRequested(env) ? nullptr : "Failed";
        }
        CountTransferred(env, entry.size);
        return "Success";
    };
    return walk.Run(
        [&](const std::string& relative) { ctx.currentLocal = JoinLocal(ctx.rootLocal, relative); });
}

} // namespace vorn
