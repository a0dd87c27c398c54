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
    // Ensures and enters the current folders on every side; false fails the folder.
    std::function<bool()> enterFolder;
    // Transfers one admitted file; returns the row's final status, or nullptr when the run
    // was stopped during the transfer.
    std::function<const char*(const sf::Info&, const std::string& remotePath)> transferFile;

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
            StatusRow row(env.observer, remotePath, entry.size);
            if (!safe) {
                ++tally.filesFailed;
                row.Finish("Failed");
                continue;
            }
            if (!PassesFilterRules(ctx.rules, entry.name, ParseByteCount(entry.size), entry.time)
                || (!options.modeCheckBypass && !BackupModeAdmits(entry, options.backupMode))) {
                row.Finish("Ignore");
                continue;
            }
            StartTransfer(env);
            const char* status = transferFile(entry, remotePath);
            if (status == nullptr) {
                ++tally.filesFailed;
                row.Finish("Failed");
                return FolderResult::Stopped;
            }
            ++(std::string_view(status) == "Success" ? tally.filesDone : tally.filesFailed);
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
        // A folder that fails is counted and the walk goes on: the folders still pending are
        // never left out in silence.
        while (result != FolderResult::Stopped && !ctx.pending.empty()) {
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
        StampLocalFile(localFile, entry.time);
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
    return walk.Run(
        [&](const std::string& relative) { ctx.currentLocal = JoinLocal(ctx.rootLocal, relative); });
}

} // namespace vorn
