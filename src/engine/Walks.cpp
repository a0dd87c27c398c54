#include "engine/Walks.h"

#include "common/DecimalText.h"
#include "common/TimeText.h"
#include "engine/ConnectionOps.h"
#include "engine/LocalFiles.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"
#include "ftpclient/TempFile.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <unistd.h>

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

// How deep and how long a folder may be: a server folder that lists itself would otherwise
// lead the walk on without end.
constexpr std::size_t kMaxDepth = 100;
constexpr std::size_t kMaxPathBytes = 4096;

enum class FolderResult { Done, Failed, Refused, Stopped };

// One status row: inserted with "..." and given exactly one final status. A folder that is
// not copied gets a row too, named with a trailing "/", so that its reason is seen.
class StatusRow {
public:
    StatusRow(RunObserver* observer, const std::string& remotePath, const std::string& sizeText,
        bool folder = false)
        : observer_(observer)
        , id_(nextRowId++)
    {
        if (observer_)
            observer_->OnFileRowInserted(id_, FormatLocalNow("%H:%M:%S"),
                folder ? JoinRemote(remotePath, "") : remotePath, folder ? "" : FormatSizeText(sizeText));
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

// What became of one file: its row's final status (nullptr when the run was stopped during
// the transfer) and the reason that goes with it.
struct FileOutcome {
    const char* status = nullptr;
    std::string reason;
};

// How a folder was entered: Refused fails the folder but the walk goes on, since nothing of
// it was touched.
struct EnterResult {
    FolderResult result = FolderResult::Done;
    std::string reason;
};

// The size the listing gives, -1 when it gives none.
std::int64_t ListedSize(const std::string& sizeText)
{
    if (sizeText.empty() || sizeText.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::int64_t(std::min<std::uint64_t>(ParseByteCount(sizeText), INT64_MAX));
}

// The outcome of a transfer reply, with the note a copy of unknown size carries.
FileOutcome Settled(const sf::Ftp::Response& reply)
{
    if (!reply.IsOk())
        return { "Failed", reply.GetMessage() };
    if (reply.SizeUnchecked())
        return { "Success", "Neither the listing nor the server gave the size: the copy is not checked." };
    return { "Success", {} };
}

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

// Levels of a relative part ("/a/b" is 2).
std::size_t Depth(const std::string& relative)
{
    return std::size_t(std::count(relative.begin(), relative.end(), '/')) - (relative == "/" ? 1 : 0);
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
    // Ensures and enters the current folders on every side.
    std::function<EnterResult()> enterFolder;
    // Transfers one admitted file.
    std::function<FileOutcome(const sf::Info&, const std::string& remotePath)> transferFile;

    // A folder that is not copied: counted, with a row that says why.
    void FailFolder(const std::string& remotePath, const std::string& reason)
    {
        ++tally.foldersFailed;
        StatusRow(env.observer, remotePath, "", true).Finish("Failed", reason);
    }

    // Why the current folder is not entered at all, or "".
    [[nodiscard]] std::string Bound() const
    {
        if (Depth(RelativePart(ctx, ctx.currentRemote)) > kMaxDepth)
            return "Folder too deep (over " + std::to_string(kMaxDepth) + " levels); it was not entered.";
        if (ctx.currentRemote.size() > kMaxPathBytes || ctx.currentLocal.size() > kMaxPathBytes)
            return "Folder path too long (over " + std::to_string(kMaxPathBytes)
                + " bytes); it was not entered.";
        return {};
    }

    FolderResult ProcessFolder()
    {
        // A paused run holds before the next folder's commands, not after them.
        if (!KeepGoing(env))
            return FolderResult::Stopped;
        if (const std::string bound = Bound(); !bound.empty()) {
            FailFolder(ctx.currentRemote, bound);
            return FolderResult::Refused;
        }
        const EnterResult entered = enterFolder();
        if (entered.result == FolderResult::Refused)
            FailFolder(ctx.currentRemote, entered.reason);
        if (entered.result != FolderResult::Done)
            return entered.result;
        const auto listing = source.GetDirectoryListing("");
        if (!listing.IsOk())
            return FolderResult::Failed;
        for (const sf::Info& entry : listing.GetEntries()) {
            if (!KeepGoing(env))
                return FolderResult::Stopped;
            if (entry.name == "." || entry.name == "..")
                continue;
            if (!ProcessEntry(entry))
                return FolderResult::Stopped;
        }
        ++tally.foldersDone;
        return FolderResult::Done;
    }

    // False when the run was stopped during the entry's transfer.
    bool ProcessEntry(const sf::Info& entry)
    {
        const std::string remotePath = JoinRemote(ctx.currentRemote, entry.name);
        // An entry the listing could not read, or whose name cannot be a name here, is
        // reported, never dropped and never joined into a path.
        std::string unusable = entry.unusable;
        if (unusable.empty() && !ftp::IsSafeEntryName(entry.name))
            unusable = "The name cannot be a file name here; it was not copied.";
        if (!entry.isFile) {
            if (!unusable.empty())
                FailFolder(remotePath, unusable);
            else
                ctx.pending.push_back(remotePath);
            return true;
        }
        StatusRow row(env.observer, remotePath, entry.size);
        if (!unusable.empty()) {
            ++tally.filesFailed;
            row.Finish("Failed", unusable);
            return true;
        }
        if (!PassesFilterRules(ctx.rules, entry.name, ParseByteCount(entry.size), entry.time)
            || (!options.modeCheckBypass && !BackupModeAdmits(entry, options.backupMode))) {
            row.Finish("Ignore");
            return true;
        }
        StartTransfer(env);
        FileOutcome outcome = transferFile(entry, remotePath);
        env.figures->EndFile();
        if (outcome.status == nullptr) {
            ++tally.filesFailed;
            row.Finish("Failed", outcome.reason.empty() ? "The run was stopped." : outcome.reason);
            return false;
        }
        ++(std::string_view(outcome.status) == "Success" ? tally.filesDone : tally.filesFailed);
        row.Finish(outcome.status, outcome.reason);
        return true;
    }

    // Returns 1 when the root folder was processed. `descend` sets the current folders for
    // a folder taken from the pending stack. A folder that fails ends the walk; one that is
    // refused before it was entered (too deep, a link in the destination) does not.
    int Run(const std::function<void(const std::string& relative)>& descend)
    {
        FolderResult result = ProcessFolder();
        if (result == FolderResult::Failed || result == FolderResult::Refused)
            return 0;
        while (result != FolderResult::Stopped && result != FolderResult::Failed && !ctx.pending.empty()) {
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
    // Every local name is taken relative to an open folder; the destination's own path is the
    // user's choice and is followed as typed.
    const FolderHandle root(
        ::open((compress ? staging.incoming() : ctx.rootLocal).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root)
        return 0;
    FolderHandle current;
    FolderWalk walk { source, ctx, tally, env, options, {}, {} };
    walk.enterFolder = [&]() -> EnterResult {
        if (!EnsureRemoteFolder(source, ctx.currentRemote))
            return { FolderResult::Failed, {} };
        if (!compress) {
            LocalFolderResult local
                = OpenFolderBelow(root.fd(), ctx.rootLocal, RelativePart(ctx, ctx.currentRemote));
            if (!local.folder)
                return { local.linked ? FolderResult::Refused : FolderResult::Failed, local.error };
            current = std::move(local.folder);
            // Downloads of a run that was killed are removed once no process owns them.
            ftp::RemoveLeftoverTemporaryFiles(current.fd());
        }
        if (!source.ChangeDirectory(ctx.currentRemote).IsOk())
            return { FolderResult::Failed, {} };
        return {};
    };
    walk.transferFile = [&](const sf::Info& entry, const std::string& remotePath) -> FileOutcome {
        const int folder = compress ? root.fd() : current.fd();
        const std::string& folderText = compress ? staging.incoming() : ctx.currentLocal;
        const auto reply = source.DownloadInto(folder, folderText, remotePath, ListedSize(entry.size),
            env.figures->progressInfo, sf::Ftp::Binary);
        if (!reply.IsOk() && StopRequested(env))
            return {};
        FileOutcome outcome = Settled(reply);
        if (!reply.IsOk())
            return outcome;
        StampLocalFileAt(folder, entry.name, entry.time);
        if (!compress)
            return outcome;
        const std::string localFile = JoinLocal(folderText, "/" + entry.name);
        const std::string entryName = RelativePart(ctx, remotePath).substr(1);
        if (const ZipError refused = archive->Add(entryName, localFile)) {
            staging.Keep(localFile, entryName);
            return { "Failed", refused.message };
        }
        ::unlinkat(folder, entry.name.c_str(), 0);
        return outcome;
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
    walk.enterFolder = [&]() -> EnterResult {
        const bool entered = EnsureRemoteFolder(source, ctx.currentRemote)
            && EnsureRemoteFolder(destination, ctx.currentLocal)
            && source.ChangeDirectory(ctx.currentRemote).IsOk()
            && destination.ChangeDirectory(ctx.currentLocal).IsOk();
        return { entered ? FolderResult::Done : FolderResult::Failed, {} };
    };
    walk.transferFile = [&](const sf::Info& entry, const std::string& remotePath) -> FileOutcome {
        const auto reply = source.Relay(destination, remotePath, ctx.currentLocal, env.figures->progressInfo,
            sf::Ftp::Binary, ListedSize(entry.size));
        if (!reply.IsOk() && StopRequested(env))
            return {};
        return Settled(reply);
    };
    return walk.Run(
        [&](const std::string& relative) { ctx.currentLocal = JoinLocal(ctx.rootLocal, relative); });
}

} // namespace vorn
