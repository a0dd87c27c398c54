#include "engine/Walks.h"

#include "common/DecimalText.h"
#include "common/PathText.h"
#include "common/TimeText.h"
#include "engine/ConnectionOps.h"
#include "engine/FailureReason.h"
#include "engine/LocalFiles.h"
#include "engine/NameForms.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/SerializedObserver.h"
#include "engine/TransferFigures.h"
#include "engine/TransferPool.h"
#include "engine/TransferRetry.h"
#include "remote/ResumePoint.h"
#include "remote/TempFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
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

bool BackupModeAdmits(const remote::Entry& entry, std::int32_t backupMode, const CopiedFile* lastCopy,
    const std::function<bool()>& copyInPlace)
{
    if (backupMode != kIncrementalBackupMode || lastCopy == nullptr)
        return true;
    if (lastCopy->size != entry.size || !SameListedTime(lastCopy->time, entry.time))
        return true;
    // A listing that gives seconds is compared at them: a change within the minute counts.
    if (entry.exactTime.size() == 14 && lastCopy->exactTime.size() == 14
        && entry.exactTime != lastCopy->exactTime)
        return true;
    return !copyInPlace();
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
                folder ? JoinPath(remotePath, "") : remotePath, folder ? "" : FormatSizeText(sizeText));
    }
    void Finish(FileStatus status, const std::string& reason = {})
    {
        if (observer_)
            observer_->OnFileRowStatus(id_, status, reason);
    }

private:
    RunObserver* observer_;
    std::uint64_t id_;
};

// What became of one file: its row's final status (none when the run was stopped during
// the transfer) and the reason that goes with it.
struct FileOutcome {
    std::optional<FileStatus> status;
    std::string reason;
    std::string digest {}; // "SHA-256:hex" when the copy was checked against a server's checksum
};

// How a folder was entered: Refused fails the folder but the walk goes on, since nothing of
// it was touched.
struct EnterResult {
    FolderResult result = FolderResult::Done;
    std::string reason;
};

// The exact size the listing gives, -1 when it gives none (or only a rounded one).
std::int64_t ListedSize(const remote::Entry& entry)
{
    const std::string& sizeText = entry.size;
    if (entry.sizeApproximate || sizeText.empty()
        || sizeText.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::int64_t(std::min<std::uint64_t>(ParseByteCount(sizeText), INT64_MAX));
}

// The outcome of a transfer reply, with the note a copy of unknown size carries.
// A transfer's row status; `localPath` names the local copy of a download ("" otherwise), so a
// full disk is told as such.
FileOutcome Settled(const Status& reply, bool sizeUnchecked, const std::string& localPath = {})
{
    if (!reply)
        return { FileStatus::Failed,
            localPath.empty() ? ReplyReason(reply.error()) : DownloadReason(reply.error(), localPath) };
    if (sizeUnchecked)
        return { FileStatus::Success,
            "Neither the listing nor the server gave the size: the copy is not checked." };
    return { FileStatus::Success, {} };
}

// Enters `folder` on `session`; a refusal carries the server's words. `side` names the server
// in the reason ("" for the source).
EnterResult EnterFolder(
    remote::RemoteSession& session, const std::string& folder, const std::string& side = {})
{
    if (const auto entered = session.ChangeFolder(folder); !entered)
        return { FolderResult::Failed, side + ReplyReason(entered.error()) + " (" + folder + ")" };
    return {};
}

// The same for an operation that ensures a folder.
EnterResult Entered(const Status& done, const std::string& side = {})
{
    return done ? EnterResult {} : EnterResult { FolderResult::Failed, side + done.message() };
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

// The progress a slot's transfer writes.
remote::TranslateInfo& Progress(const TransferSlot& slot, const RunEnvironment& env)
{
    return slot.lane != nullptr ? slot.lane->info : env.figures->progressInfo;
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

// Incremental runs stamp a copy to the second: a listing that gives only a date (older files
// in Unix listings) is completed by one MDTM, when the server offers it, and the answer is
// remembered with the copy so that later runs need not ask again.
void StampCopy(remote::RemoteSession& source, int folderFd, const remote::Entry& entry,
    const std::string& remotePath, CopyRecords* records)
{
    std::string exact = entry.exactTime;
    if (!exact.empty() && records != nullptr)
        records->NoteExactTime(remotePath, exact);
    if (exact.empty() && records != nullptr && entry.time.size() == 8) {
        exact = records->ExactTime(remotePath);
        if (exact.empty()) {
            if (auto told = source.ModificationTime(remotePath)) {
                exact = *told;
                records->NoteExactTime(remotePath, exact);
            }
        }
    }
    if (exact.empty() || !StampLocalFileExactAt(folderFd, entry.name, exact))
        StampLocalFileAt(folderFd, entry.name, entry.time);
}

// A local copy is in place when a regular file (not a link) of the listed size is there.
// `name` is taken below the open folder `folderFd` (AT_FDCWD: a path).
bool LocalCopyInPlace(int folderFd, const std::string& name, const remote::Entry& entry)
{
    struct stat info { };
    if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
        return false;
    return entry.size.empty() || std::uint64_t(info.st_size) == ParseByteCount(entry.size);
}

// The sizes the destination server lists in one folder, listed once per folder and only
// when a file needs the check. A folder that cannot be listed holds nothing.
class DestinationSizes {
public:
    explicit DestinationSizes(remote::RemoteSession& destination)
        : destination_(destination)
    {
    }
    bool Holds(const std::string& folder, const remote::Entry& entry)
    {
        if (!listed_ || folder != folder_) {
            listed_ = true;
            folder_ = folder;
            sizes_.clear();
            const auto listing = destination_.List(folder);
            if (listing)
                for (const remote::Entry& file : *listing)
                    if (file.IsFile())
                        sizes_[file.name] = file.size;
        }
        const auto found = sizes_.find(entry.name);
        return found != sizes_.end() && found->second == entry.size;
    }

private:
    remote::RemoteSession& destination_;
    bool listed_ = false;
    std::string folder_;
    std::unordered_map<std::string, std::string> sizes_;
};

// A copy checked against a server's checksum keeps it for the records; a check that could not
// be made says why on the row.
void NoteDigest(FileOutcome& outcome, const remote::Transferred& delivered)
{
    if (!delivered.digest.empty())
        outcome.digest = delivered.digestAlgorithm + ":" + delivered.digest;
    if (outcome.reason.empty())
        outcome.reason = delivered.digestNote;
}

// Server-to-server copies carry the source's time to the second where the destination can
// set one (MFMT, MDTM with a time, SFTP's setstat): from the listing or the records, else asked
// of the source (MDTM where the listing gave only minutes or a day). Without an exact source
// time or a way to set it the copy keeps the time it was made, and nothing claims otherwise.
// Returns the row's warning.
std::string StampDestination(remote::RemoteSession& source, remote::RemoteSession& destination,
    const FileJob& job, CopyRecords* records)
{
    if (!destination.CanSetModificationTime())
        return {};
    std::string exact = job.entry.exactTime;
    if (exact.empty() && records != nullptr)
        exact = records->ExactTime(job.remotePath);
    if (exact.empty()) {
        if (auto told = source.ModificationTime(job.remotePath))
            exact = *told;
    }
    if (exact.size() != 14)
        return {};
    const Status set = destination.SetModificationTime(JoinPath(job.targetFolder, job.entry.name), exact);
    if (set)
        return {};
    return "Copied, but the destination kept the copy's own time: " + set.message();
}

// What both walks share: the folder order (depth first from the pending stack, without
// recursion), the listing of each folder and the handling of its entries.
struct FolderWalk {
    remote::RemoteSession& source;
    WalkContext& ctx;
    TransferTally& tally;
    const RunEnvironment& env;
    const WalkOptions& options;
    // Ensures and enters the current folders on every side.
    std::function<EnterResult()> enterFolder;
    // Transfers one admitted file with the sessions of a slot, on the walk's thread or a
    // worker's.
    std::function<FileOutcome(TransferSlot&, const FileJob&)> transferFile;
    // Incremental runs: whether the last copy of a file is still where it was put.
    std::function<bool(const remote::Entry&, const std::string& remotePath)> copyInPlace;

    std::string folderFailure {}; // why the last folder that failed failed
    // The walk's sessions besides the source, in the current folders or (false) in their login
    // folders, and the retries of its transfers and listings.
    std::function<std::vector<TransferRetry::Session>(bool inFolder)> others {};
    TransferRetry* retry = nullptr;
    std::string sessionLost {}; // why a lost session could not be brought back: the walk ends
    std::shared_ptr<const FolderHandle> folder {}; // downloads into a tree: the current local folder
    TransferSlot ownSlot {}; // the walk's own sessions, for files transferred one at a time
    TransferPool* pool = nullptr; // files go to the pool's sessions instead
    // Download walks: the session is told which file it fetches next, so it can start that
    // transfer while the current one ends.
    bool hintDownloads = false;
    std::mutex countsMutex {}; // the file counts, kept by the walk and the pool's workers

    [[nodiscard]] std::vector<TransferRetry::Session> Sessions(bool inFolder) const
    {
        std::vector<TransferRetry::Session> all { { &source, options.sourceLogin,
            inFolder ? ctx.currentRemote : std::string(), "" } };
        if (others)
            for (TransferRetry::Session& other : others(inFolder))
                all.push_back(std::move(other));
        return all;
    }

    // Whether the transfers gave the server up as unreachable; the walk then ends with why.
    bool GaveUp()
    {
        if (retry == nullptr || retry->Lost().empty())
            return false;
        sessionLost = folderFailure = retry->Lost();
        return true;
    }

    // After a failed step: whether a session had been lost and is back now.
    bool BroughtBack()
    {
        if (retry == nullptr || retry->retries() == 0)
            return false;
        const auto before = tally.reconnects;
        sessionLost = retry->Reconnect(ctx.currentRemote, Sessions(false));
        if (StopRequested(env))
            sessionLost.clear(); // a stopped run ends as stopped, not as a lost server
        return sessionLost.empty() && tally.reconnects > before;
    }

    // The current folder's listing; a listing cut off by a lost session is asked again.
    Result<std::vector<remote::Entry>> ListFolder()
    {
        Result<std::vector<remote::Entry>> listing = std::vector<remote::Entry> {};
        const auto attempt = [&]() -> Status {
            listing = source.List("");
            return listing ? Ok() : Status(listing.error());
        };
        if (retry == nullptr)
            (void)attempt();
        else if (const auto listed
                 = retry->Run(ctx.currentRemote, attempt, { Sessions(true).front() }, false);
                 !listed)
            return listed.error(); // the last reason, also when the session could not come back
        return listing;
    }

    // A folder that is not copied: counted, with a row that says why.
    void FailFolder(const std::string& remotePath, const std::string& reason)
    {
        ++tally.foldersFailed;
        StatusRow(env.observer, remotePath, "", true).Finish(FileStatus::Failed, reason);
    }

    // Records a file that passed the rules; true when it is unchanged since its last copy,
    // which then gets no row (an unchanged site of 100 000 files must not flood the list).
    bool Unchanged(const remote::Entry& entry, const std::string& remotePath)
    {
        CopyRecords* records = options.records;
        if (records == nullptr)
            return false;
        records->MarkSeen(remotePath, entry);
        if (options.fullArchive)
            return false;
        if (BackupModeAdmits(entry, options.backupMode, records->Last(remotePath),
                [&] { return copyInPlace && copyInPlace(entry, remotePath); }))
            return false;
        records->MarkUnchanged(remotePath);
        ++tally.filesUnchanged;
        return true;
    }

    // Whether `entry` is a file this walk copies, as far as the listing tells (an incremental
    // run's unchanged file is taken as not copied).
    [[nodiscard]] bool WantsCopy(const remote::Entry& entry, const std::string& remotePath) const
    {
        if (env.dryRun || !entry.IsFile() || !entry.unusable.empty() || !remote::IsSafeEntryName(entry.name)
            || !PassesFilterRules(ctx.rules, entry.name, ParseByteCount(entry.size), entry.time)
            || (!options.exclude.empty()
                && IsExcluded(options.exclude, RelativePart(ctx, remotePath).substr(1), false)))
            return false;
        if (options.records == nullptr || options.fullArchive || options.backupMode != kIncrementalBackupMode)
            return true;
        const CopiedFile* last = options.records->Last(remotePath);
        return last == nullptr || last->size != entry.size || !SameListedTime(last->time, entry.time);
    }

    // The path of the first entry from `from` on that is likely downloaded next, small enough
    // for a plain download; "" when there is none.
    [[nodiscard]] std::string NextLikelyDownload(
        std::vector<remote::Entry>::const_iterator from, std::vector<remote::Entry>::const_iterator end) const
    {
        for (; from != end; ++from) {
            if (!from->IsFile())
                continue;
            const std::string path = JoinPath(ctx.currentRemote, from->name);
            if (!WantsCopy(*from, path))
                continue;
            const std::int64_t size = ListedSize(*from);
            return size >= 0 && size < remote::ResumePoint::minimumSize ? path : std::string();
        }
        return {};
    }

    // Listings without seconds (`ls -l` style: minutes, or only the day for older files) are
    // completed by the server's MDTM for every file to be copied, asked for the whole folder at
    // once, so that each copy carries the source's time to the second.
    void AddExactTimes(std::vector<remote::Entry>& entries)
    {
        std::vector<std::string> paths;
        std::vector<remote::Entry*> asked;
        for (remote::Entry& entry : entries) {
            const std::string path = JoinPath(ctx.currentRemote, entry.name);
            if (entry.exactTime.empty() && WantsCopy(entry, path)) {
                paths.push_back(path);
                asked.push_back(&entry);
            }
        }
        if (paths.empty())
            return;
        const auto times = source.ModificationTimes(paths);
        // Without times the copies keep the listed ones, as before; a lost session is found
        // and brought back by the next step.
        if (!times || times->size() != asked.size())
            return;
        for (std::size_t i = 0; i < asked.size(); ++i)
            asked[i]->exactTime = (*times)[i];
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
        if (GaveUp())
            return FolderResult::Failed;
        if (const std::string bound = Bound(); !bound.empty()) {
            FailFolder(ctx.currentRemote, bound);
            folderFailure = bound;
            return FolderResult::Refused;
        }
        EnterResult entered = enterFolder();
        // A session dropped between folders logs in again; the folder is entered afresh.
        if (entered.result == FolderResult::Failed && BroughtBack())
            entered = enterFolder();
        if (!sessionLost.empty())
            entered = { FolderResult::Failed, sessionLost };
        if (entered.result == FolderResult::Refused)
            FailFolder(ctx.currentRemote, entered.reason);
        folderFailure = entered.reason;
        if (entered.result != FolderResult::Done)
            return entered.result;
        const auto listing = ListFolder();
        if (!listing) {
            folderFailure = "Listing failed: " + ReplyReason(listing.error());
            return FolderResult::Failed;
        }
        std::vector<remote::Entry> entries = std::move(*listing);
        AddExactTimes(entries);
        const std::vector<std::string> secondForms = SecondForms(entries);
        for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
            if (!KeepGoing(env))
                return FolderResult::Stopped;
            if (entry->name == "." || entry->name == "..")
                continue;
            if (const std::string& kept = secondForms[std::size_t(entry - entries.begin())]; !kept.empty()) {
                SecondForm(*entry, kept);
                continue;
            }
            if (hintDownloads && pool == nullptr)
                source.ExpectDownload(NextLikelyDownload(std::next(entry), entries.end()));
            if (!ProcessEntry(*entry))
                return FolderResult::Stopped;
            if (GaveUp()) {
                // The folders not reached are reported with the reason, as the pending ones.
                for (auto rest = std::next(entry); rest != entries.end(); ++rest)
                    if (!rest->IsFile() && remote::IsSafeEntryName(rest->name))
                        ctx.pending.push_back(JoinPath(ctx.currentRemote, rest->name));
                return FolderResult::Failed;
            }
        }
        ++tally.foldersDone;
        return FolderResult::Done;
    }

    // A file the listing also gives in another Unicode form: copied once, under `kept`.
    void SecondForm(const remote::Entry& entry, const std::string& kept)
    {
        const std::string remotePath = JoinPath(ctx.currentRemote, entry.name);
        if (!Excluded(entry, remotePath))
            StatusRow(env.observer, remotePath, entry.size)
                .Finish(FileStatus::Ignored,
                    "The listing gives this name in two Unicode forms; it is copied once, as " + kept);
    }

    // An entry the project's exclude patterns leave out: counted, without a row but in a dry
    // run; an excluded folder is not entered.
    bool Excluded(const remote::Entry& entry, const std::string& remotePath)
    {
        if (options.exclude.empty() || !remote::IsSafeEntryName(entry.name)
            || !IsExcluded(options.exclude, RelativePart(ctx, remotePath).substr(1), !entry.IsFile()))
            return false;
        ++tally.excluded;
        if (env.dryRun)
            StatusRow(env.observer, remotePath, entry.size, !entry.IsFile()).Finish(FileStatus::Excluded);
        return true;
    }

    // False when the run was stopped during the entry's transfer.
    bool ProcessEntry(const remote::Entry& entry)
    {
        const std::string remotePath = JoinPath(ctx.currentRemote, entry.name);
        if (Excluded(entry, remotePath))
            return true;
        if (entry.kind == remote::EntryKind::Other) { // a device, pipe or socket
            StatusRow(env.observer, remotePath, entry.size).Finish(FileStatus::Ignored, "not a regular file");
            return true;
        }
        // An entry the listing could not read, or whose name cannot be a name here, is
        // reported, never dropped and never joined into a path.
        std::string unusable = entry.unusable;
        if (unusable.empty() && !remote::IsSafeEntryName(entry.name))
            unusable = "The name cannot be a file name here; it was not copied.";
        if (!entry.IsFile()) {
            // A link to a folder may lead anywhere, back up the tree too: entered on request only.
            const bool followLinks = options.sourceLogin != nullptr && options.sourceLogin->followLinks;
            if (unusable.empty() && !entry.linkTarget.empty() && !followLinks)
                unusable = "A link to the folder " + entry.linkTarget
                    + "; it is not entered unless the project's option follow-links=1 is set.";
            if (!unusable.empty())
                FailFolder(remotePath, unusable);
            else
                ctx.pending.push_back(remotePath);
            return true;
        }
        const bool passes = unusable.empty()
            && PassesFilterRules(ctx.rules, entry.name, ParseByteCount(entry.size), entry.time);
        if (unusable.empty()) // counted on the walk's thread only
            ++(passes ? tally.filesPassed : tally.filesIgnored);
        // Unchanged files get no row, and a dry run lists only what it would copy.
        if ((passes && Unchanged(entry, remotePath)) || (unusable.empty() && !passes && env.dryRun))
            return true;
        if (!unusable.empty() || !passes || env.dryRun) {
            StatusRow row(env.observer, remotePath, entry.size);
            if (!unusable.empty() || passes)
                CountFile(unusable.empty()); // a dry run's "Would copy" counts as done
            row.Finish(!unusable.empty() ? FileStatus::Failed
                    : !passes            ? FileStatus::Ignored
                                         : FileStatus::WouldCopy,
                unusable.empty() ? entry.nameNote : unusable);
            return true;
        }
        FileJob job { entry, remotePath, ctx.currentLocal, folder, 0 };
        if (pool != nullptr)
            return pool->Hand(std::move(job));
        return TransferJob(ownSlot, job);
    }

    void CountFile(bool copied)
    {
        const std::lock_guard lock(countsMutex);
        ++(copied ? tally.filesDone : tally.filesFailed);
    }

    // Transfers one file with its row from start to end; false when the run was stopped
    // during it. Runs on the walk's thread or on a worker's.
    bool TransferJob(TransferSlot& slot, const FileJob& job)
    {
        StatusRow row(env.observer, job.remotePath, job.entry.size);
        env.figures->StartFile(slot.lane);
        FileOutcome outcome = transferFile(slot, job);
        if (slot.lane != nullptr)
            env.figures->EndFile(*slot.lane);
        else
            env.figures->EndFile();
        if (!outcome.status) {
            CountFile(false);
            row.Finish(FileStatus::Failed, outcome.reason.empty() ? "The run was stopped." : outcome.reason);
            return false;
        }
        const bool copied = outcome.status == FileStatus::Success;
        CountFile(copied);
        if (copied && options.records != nullptr)
            options.records->MarkCopied(job.remotePath, job.entry, outcome.digest);
        // A name copied under an escaped form says so on its row.
        row.Finish(*outcome.status, outcome.reason.empty() && copied ? job.entry.nameNote : outcome.reason);
        return true;
    }

    // Returns 1 when the root folder was processed. `descend` sets the current folders for
    // a folder taken from the pending stack. Only the root folder failing ends the walk.
    int Run(const std::function<void(const std::string& relative)>& descend)
    {
        FolderResult result = ProcessFolder();
        if (result == FolderResult::Failed || result == FolderResult::Refused) {
            // A root refused before it was entered (a link in the destination) has its row too;
            // the run's reason repeats it, so a failed run never lacks one.
            tally.failReason = folderFailure;
            if (!sessionLost.empty())
                for (; !ctx.pending.empty(); ctx.pending.pop_back())
                    FailFolder(ctx.pending.back(), sessionLost);
            return 0;
        }
        // A folder that fails is counted and the walk goes on: the folders still pending are
        // never left out in silence.
        while (result != FolderResult::Stopped && !ctx.pending.empty()) {
            ctx.currentRemote = ctx.pending.back();
            ctx.pending.pop_back();
            descend(RelativePart(ctx, ctx.currentRemote));
            result = ProcessFolder();
            if (result == FolderResult::Failed)
                FailFolder(ctx.currentRemote, folderFailure);
            // A server that cannot be logged in to again ends the run: the folders still
            // pending would all fail alike, and each is reported with the reason.
            if (!sessionLost.empty()) {
                for (; !ctx.pending.empty(); ctx.pending.pop_back())
                    FailFolder(ctx.pending.back(), sessionLost);
                tally.failReason = sessionLost;
                return 0;
            }
        }
        return 1;
    }
};

// Walks with the walk's own sessions, or, when more than one connection is asked for and at
// least one more opens, hands the files to a pool of sessions of their own. The pool is
// finished before this returns: every file handed is done, or stopped, and counted.
int WalkWithWorkers(
    FolderWalk& walk, TransferPool::Setup setup, const std::function<void(const std::string&)>& descend)
{
    walk.ownSlot.retry = walk.retry;
    walk.ownSlot.sessions = [&walk] { return walk.Sessions(true); };
    std::optional<TransferPool> pool;
    const bool logins = setup.source != nullptr && (walk.others == nullptr || setup.destination != nullptr);
    if (setup.workers > 1 && logins && !walk.env.dryRun) {
        pool.emplace(walk.env, std::move(setup),
            [&walk](TransferSlot& slot, const FileJob& job) { return walk.TransferJob(slot, job); });
        if (pool->Open() > 0)
            walk.pool = &*pool;
    }
    const int result = walk.Run(descend);
    if (pool)
        pool->Finish(walk.tally);
    walk.pool = nullptr;
    return result;
}

// Adds a downloaded file to the archive once every file handed before it is in (files are
// packed in the order handed, whichever session brought them first). A file the archive
// refuses stays below the staging folder.
FileOutcome PackInTurn(FolderWalk& walk, const TransferSlot& slot, const FileJob& job, ZipArchive& archive,
    const StagingFolders& staging, FileOutcome downloaded)
{
    const std::string& name = job.entry.name;
    if (walk.pool != nullptr && !walk.pool->WaitTurn(job.sequence)) {
        ::unlinkat(slot.stagingFd, name.c_str(), 0);
        return {};
    }
    const std::string localFile = JoinLocal(slot.stagingText, "/" + name);
    const std::string entryName = RelativePart(walk.ctx, job.remotePath).substr(1);
    if (const Status added = archive.Add(entryName, localFile); !added) {
        staging.Keep(localFile, entryName);
        return { FileStatus::Failed, ArchiveReason(added.error(), archive.path()) };
    }
    ::unlinkat(slot.stagingFd, name.c_str(), 0);
    return downloaded;
}

// Marks a file's turn at the archive done however its transfer ends.
class TurnGuard {
public:
    TurnGuard(TransferPool* pool, std::uint64_t sequence)
        : pool_(pool)
        , sequence_(sequence)
    {
    }
    ~TurnGuard()
    {
        if (pool_ != nullptr)
            pool_->TurnDone(sequence_);
    }
    TurnGuard(const TurnGuard&) = delete;
    TurnGuard& operator=(const TurnGuard&) = delete;

private:
    TransferPool* pool_;
    std::uint64_t sequence_;
};

// One try of a download into `folder`: a cut large file is continued through `resume`, and
// bytes that differ from the partial file have it fetched again from its start.
Status FetchOnce(TransferSlot& slot, int folder, const std::string& folderText, const FileJob& job,
    const RunEnvironment& env, remote::ResumePoint& resume, remote::Transferred& delivered)
{
    const auto fetch = [&] {
        return slot.source->DownloadResumable(
            folder, folderText, job.remotePath, ListedSize(job.entry), Progress(slot, env), resume);
    };
    auto got = fetch();
    if (!got && resume.TakeMismatch())
        got = fetch();
    delivered = got ? *got : remote::Transferred {};
    return got ? Ok() : Status(got.error());
}

// The folder every local name of a download walk is taken relative to: the staging folder of
// an archive run, else the destination, whose own path is the user's choice and is followed
// as typed. Sets the tally's reason when it cannot be opened.
FolderHandle OpenDownloadRoot(const std::string& path, bool dryRun, TransferTally& tally)
{
    FolderHandle root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root && !dryRun) {
        const int error = errno;
        tally.failReason = "Cannot open the folder " + path + ": " + std::strerror(error);
    }
    return root;
}

} // namespace

int DownloadWalk(remote::RemoteSession& source, WalkContext& ctx, const WalkOptions& options,
    TransferTally& tally, ZipArchive* archive, const std::string& stagingFolder, const RunEnvironment& outer)
{
    // With several sessions the reports come from several threads.
    SerializedObserver serialized(outer.observer);
    RunEnvironment env = outer;
    if (options.connections > 1)
        env.observer = &serialized;
    const bool compress = archive != nullptr;
    const StagingFolders staging(compress ? stagingFolder : std::string());
    if (compress && staging.incoming().empty()) {
        tally.failReason = "Cannot create a working folder in " + stagingFolder;
        return 0;
    }
    const FolderHandle root
        = OpenDownloadRoot(compress ? staging.incoming() : ctx.rootLocal, env.dryRun, tally);
    if (!root && !env.dryRun)
        return 0;
    TransferRetry retry(env, options.retries, tally);
    FolderWalk walk { source, ctx, tally, env, options, {}, {}, {} };
    walk.retry = &retry;
    walk.ownSlot = { &source, nullptr, &retry, nullptr, root.fd(), staging.incoming(), {} };
    walk.enterFolder = [&]() -> EnterResult {
        // A dry run changes nothing anywhere: it only enters the source folder.
        if (env.dryRun)
            return EnterFolder(source, ctx.currentRemote);
        // One CWD enters the folder; only a folder that is not there is made and entered.
        const bool inside = static_cast<bool>(source.ChangeFolder(ctx.currentRemote));
        if (!inside)
            if (const EnterResult remote = Entered(EnsureRemoteFolder(source, ctx.currentRemote));
                remote.result != FolderResult::Done)
                return remote;
        if (!compress) {
            LocalFolderResult local
                = OpenFolderBelow(root.fd(), ctx.rootLocal, RelativePart(ctx, ctx.currentRemote));
            if (!local.folder)
                return { local.linked ? FolderResult::Refused : FolderResult::Failed, local.error };
            // Downloads of a run that was killed are removed once no process owns them.
            remote::RemoveLeftoverTemporaryFiles(local.folder.fd());
            walk.folder = std::make_shared<const FolderHandle>(std::move(local.folder));
        }
        return inside ? EnterResult {} : EnterFolder(source, ctx.currentRemote);
    };
    walk.transferFile = [&](TransferSlot& slot, const FileJob& job) -> FileOutcome {
        const TurnGuard turn(compress ? walk.pool : nullptr, job.sequence);
        const remote::Entry& entry = job.entry;
        const int folder = compress ? slot.stagingFd : job.folder->fd();
        const std::string& folderText = compress ? slot.stagingText : job.targetFolder;
        // A large file cut off is continued by the next try; what is left goes with this file.
        remote::ResumePoint resume;
        remote::Transferred delivered;
        const Status reply = slot.retry->Run(
            job.remotePath, [&] { return FetchOnce(slot, folder, folderText, job, env, resume, delivered); },
            slot.sessions());
        if (!reply && StopRequested(env))
            return {};
        FileOutcome outcome
            = Settled(reply, delivered.sizeUnchecked, JoinLocal(folderText, "/" + entry.name));
        if (!reply)
            return outcome;
        NoteDigest(outcome, delivered);
        StampCopy(*slot.source, folder, entry, job.remotePath, options.records);
        return compress ? PackInTurn(walk, slot, job, *archive, staging, outcome) : outcome;
    };
    walk.copyInPlace = [&](const remote::Entry& entry, const std::string&) {
        // An archive chain was checked as a whole before the walk (a dry run of a compressed
        // project has no archive open, but the same chain); a dry run opens no folder.
        if (!options.noCompression)
            return true;
        return walk.folder ? LocalCopyInPlace(walk.folder->fd(), entry.name, entry)
                           : LocalCopyInPlace(AT_FDCWD, JoinLocal(ctx.currentLocal, "/" + entry.name), entry);
    };
    walk.hintDownloads = true;
    TransferPool::Setup workers { options.connections, options.retries, options.sourceLogin, nullptr,
        compress ? root.fd() : -1, staging.incoming(), &retry.streak() };
    workers.nextDownload = [](const FileJob& job) {
        const std::int64_t size = ListedSize(job.entry);
        return size >= 0 && size < remote::ResumePoint::minimumSize ? job.remotePath : std::string();
    };
    return WalkWithWorkers(walk, std::move(workers), [&](const std::string& relative) {
        if (compress)
            return; // every file of the tree goes into the one archive
        ctx.currentLocal = JoinLocal(ctx.rootLocal, relative);
    });
}

int TransferWalk(remote::RemoteSession& source, remote::RemoteSession& destination, WalkContext& ctx,
    const WalkOptions& options, TransferTally& tally, const RunEnvironment& outer)
{
    SerializedObserver serialized(outer.observer);
    RunEnvironment env = outer;
    if (options.connections > 1)
        env.observer = &serialized;
    TransferRetry retry(env, options.retries, tally);
    FolderWalk walk { source, ctx, tally, env, options, {}, {}, {} };
    walk.retry = &retry;
    walk.ownSlot = { &source, &destination, &retry, nullptr, -1, {}, {} };
    walk.others = [&](bool inFolder) {
        return std::vector<TransferRetry::Session> { { &destination, options.destinationLogin,
            inFolder ? ctx.currentLocal : std::string(), "Destination: " } };
    };
    walk.enterFolder = [&]() -> EnterResult {
        if (env.dryRun)
            return EnterFolder(source, ctx.currentRemote);
        if (EnterResult remote = Entered(EnsureRemoteFolder(source, ctx.currentRemote));
            remote.result != FolderResult::Done)
            return remote;
        if (EnterResult other = Entered(EnsureRemoteFolder(destination, ctx.currentLocal), "Destination: ");
            other.result != FolderResult::Done)
            return other;
        if (EnterResult entered = EnterFolder(source, ctx.currentRemote);
            entered.result != FolderResult::Done)
            return entered;
        return EnterFolder(destination, ctx.currentLocal, "Destination: ");
    };
    walk.transferFile = [&](TransferSlot& slot, const FileJob& job) -> FileOutcome {
        remote::Transferred delivered;
        const Status reply = slot.retry->Run(
            job.remotePath,
            [&]() -> Status {
                const auto copied = slot.source->RelayTo(*slot.destination, job.remotePath, job.targetFolder,
                    ListedSize(job.entry), Progress(slot, env));
                delivered = copied ? *copied : remote::Transferred {};
                return copied ? Ok() : Status(copied.error());
            },
            slot.sessions());
        if (!reply && StopRequested(env))
            return {};
        FileOutcome outcome = Settled(reply, delivered.sizeUnchecked);
        if (!reply)
            return outcome;
        NoteDigest(outcome, delivered);
        if (std::string kept = StampDestination(*slot.source, *slot.destination, job, options.records); !kept.empty())
            outcome.reason = outcome.reason.empty() ? kept : outcome.reason + " " + kept;
        return outcome;
    };
    DestinationSizes destinationSizes(destination);
    walk.copyInPlace = [&](const remote::Entry& entry, const std::string&) {
        return destinationSizes.Holds(ctx.currentLocal, entry);
    };
    TransferPool::Setup workers { options.connections, options.retries, options.sourceLogin,
        options.destinationLogin, -1, {}, &retry.streak() };
    return WalkWithWorkers(walk, std::move(workers),
        [&](const std::string& relative) { ctx.currentLocal = JoinLocal(ctx.rootLocal, relative); });
}

} // namespace vorn
