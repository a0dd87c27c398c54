#include "engine/FolderWalk.h"

#include "common/DecimalText.h"
#include "common/PathText.h"
#include "common/TimeText.h"
#include "engine/FailureReason.h"
#include "engine/NameForms.h"
#include "engine/RunControl.h"
#include "remote/ResumePoint.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

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

} // namespace vorn

namespace vorn::walk {

namespace {

std::atomic<std::uint64_t> nextRowId { 1 };

// How deep and how long a folder may be: a server folder that lists itself would otherwise
// lead the walk on without end.
constexpr std::size_t kMaxDepth = 100;
constexpr std::size_t kMaxPathBytes = 4096;

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

// False when the run is to stop; blocks while it is paused.
bool KeepGoing(const RunEnvironment& env)
{
    return env.control == nullptr || env.control->WaitWhilePaused();
}

// Levels of a relative part ("/a/b" is 2).
std::size_t Depth(const std::string& relative)
{
    return std::size_t(std::count(relative.begin(), relative.end(), '/')) - (relative == "/" ? 1 : 0);
}

} // namespace

std::int64_t ListedSize(const remote::Entry& entry)
{
    const std::string& sizeText = entry.size;
    if (entry.sizeApproximate || sizeText.empty()
        || sizeText.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::int64_t(std::min<std::uint64_t>(ParseByteCount(sizeText), INT64_MAX));
}

FileOutcome Settled(const Status& reply, bool sizeUnchecked, const std::string& localPath)
{
    if (!reply)
        return { FileStatus::Failed,
            localPath.empty() ? ReplyReason(reply.error()) : DownloadReason(reply.error(), localPath) };
    if (sizeUnchecked)
        return { FileStatus::Success,
            "Neither the listing nor the server gave the size: the copy is not checked." };
    return { FileStatus::Success, {} };
}

EnterResult EnterFolder(remote::RemoteSession& session, const std::string& folder, const std::string& side)
{
    if (const auto entered = session.ChangeFolder(folder); !entered)
        return { FolderResult::Failed, side + ReplyReason(entered.error()) + " (" + folder + ")" };
    return {};
}

EnterResult Entered(const Status& done, const std::string& side)
{
    return done ? EnterResult {} : EnterResult { FolderResult::Failed, side + done.message() };
}

bool StopRequested(const RunEnvironment& env)
{
    return env.control != nullptr && env.control->stopRequested();
}

remote::TranslateInfo& Progress(const TransferSlot& slot, const RunEnvironment& env)
{
    return slot.lane != nullptr ? slot.lane->info : env.figures->progressInfo;
}

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

void NoteDigest(FileOutcome& outcome, const remote::Transferred& delivered)
{
    if (!delivered.digest.empty())
        outcome.digest = delivered.digestAlgorithm + ":" + delivered.digest;
    if (outcome.reason.empty())
        outcome.reason = delivered.digestNote;
}

std::vector<TransferRetry::Session> FolderWalk::Sessions(bool inFolder) const
{
    std::vector<TransferRetry::Session> all { { &source, options.sourceLogin,
        inFolder ? ctx.currentRemote : std::string(), "" } };
    if (others)
        for (TransferRetry::Session& other : others(inFolder))
            all.push_back(std::move(other));
    return all;
}

bool FolderWalk::GaveUp()
{
    if (retry == nullptr || retry->Lost().empty())
        return false;
    sessionLost = folderFailure = retry->Lost();
    return true;
}

bool FolderWalk::BroughtBack()
{
    if (retry == nullptr || retry->retries() == 0)
        return false;
    const auto before = tally.reconnects;
    sessionLost = retry->Reconnect(ctx.currentRemote, Sessions(false));
    if (StopRequested(env))
        sessionLost.clear(); // a stopped run ends as stopped, not as a lost server
    return sessionLost.empty() && tally.reconnects > before;
}

Result<std::vector<remote::Entry>> FolderWalk::ListFolder()
{
    Result<std::vector<remote::Entry>> listing = std::vector<remote::Entry> {};
    const auto attempt = [&]() -> Status {
        source.ExpectTimes([this](const std::vector<remote::Entry>& entries) {
            std::vector<std::string> paths;
            for (const std::size_t i : WithoutExactTimes(entries))
                paths.push_back(JoinPath(ctx.currentRemote, entries[i].name));
            return paths;
        });
        listing = source.List("");
        return listing ? Ok() : Status(listing.error());
    };
    if (retry == nullptr)
        (void)attempt();
    else if (const auto listed = retry->Run(ctx.currentRemote, attempt, { Sessions(true).front() }, false);
             !listed)
        return listed.error(); // the last reason, also when the session could not come back
    return listing;
}

void FolderWalk::FailFolder(const std::string& remotePath, const std::string& reason)
{
    ++tally.foldersFailed;
    StatusRow(env.observer, remotePath, "", true).Finish(FileStatus::Failed, reason);
}

bool FolderWalk::Unchanged(const remote::Entry& entry, const std::string& remotePath)
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

bool FolderWalk::WantsCopy(const remote::Entry& entry, const std::string& remotePath) const
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

std::string FolderWalk::NextLikelyDownload(
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

std::vector<std::size_t> FolderWalk::WithoutExactTimes(const std::vector<remote::Entry>& entries) const
{
    std::vector<std::size_t> wanted;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].exactTime.empty()
            && WantsCopy(entries[i], JoinPath(ctx.currentRemote, entries[i].name)))
            wanted.push_back(i);
    return wanted;
}

void FolderWalk::AddExactTimes(std::vector<remote::Entry>& entries)
{
    std::vector<std::string> paths;
    std::vector<remote::Entry*> asked;
    for (const std::size_t i : WithoutExactTimes(entries)) {
        paths.push_back(JoinPath(ctx.currentRemote, entries[i].name));
        asked.push_back(&entries[i]);
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

std::string FolderWalk::Bound() const
{
    if (Depth(RelativePart(ctx, ctx.currentRemote)) > kMaxDepth)
        return "Folder too deep (over " + std::to_string(kMaxDepth) + " levels); it was not entered.";
    if (ctx.currentRemote.size() > kMaxPathBytes || ctx.currentLocal.size() > kMaxPathBytes)
        return "Folder path too long (over " + std::to_string(kMaxPathBytes) + " bytes); it was not entered.";
    return {};
}

FolderResult FolderWalk::ProcessFolder()
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

void FolderWalk::SecondForm(const remote::Entry& entry, const std::string& kept)
{
    const std::string remotePath = JoinPath(ctx.currentRemote, entry.name);
    if (!Excluded(entry, remotePath))
        StatusRow(env.observer, remotePath, entry.size)
            .Finish(FileStatus::Ignored,
                "The listing gives this name in two Unicode forms; it is copied once, as " + kept);
}

bool FolderWalk::Excluded(const remote::Entry& entry, const std::string& remotePath)
{
    if (options.exclude.empty() || !remote::IsSafeEntryName(entry.name)
        || !IsExcluded(options.exclude, RelativePart(ctx, remotePath).substr(1), !entry.IsFile()))
        return false;
    ++tally.excluded;
    if (env.dryRun)
        StatusRow(env.observer, remotePath, entry.size, !entry.IsFile()).Finish(FileStatus::Excluded);
    return true;
}

bool FolderWalk::ProcessEntry(const remote::Entry& entry)
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
    if (poolOpening) {
        poolOpening = false;
        if (pool->Opened() == 0)
            pool = nullptr;
    }
    if (pool != nullptr)
        return HelpWorkers(true) && pool->Hand(std::move(job));
    return TransferJob(ownSlot, job);
}

void FolderWalk::CountFile(bool copied)
{
    const std::lock_guard lock(countsMutex);
    ++(copied ? tally.filesDone : tally.filesFailed);
}

bool FolderWalk::TransferJob(TransferSlot& slot, const FileJob& job)
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

int FolderWalk::Run(const std::function<void(const std::string& relative)>& descend)
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

bool FolderWalk::HelpWorkers(bool whileFull)
{
    if (pool == nullptr || poolOpening || !helpsWorkers)
        return true;
    std::optional<FileJob> job = whileFull ? pool->TakeIfFull() : std::nullopt;
    if (whileFull && !job)
        return true;
    // The files go as a worker's would, with a lane of their own; the run's figures are the
    // walk's again afterwards.
    TransferFigures::Lane lane;
    TransferSlot slot = ownSlot;
    slot.lane = &lane;
    const auto show = [&](TransferFigures::Lane* shown) {
        for (remote::RemoteSession* session : { slot.source, slot.destination })
            if (session != nullptr)
                ConfigureRunSession(*session, env, shown);
    };
    show(&lane);
    bool going = true;
    if (whileFull)
        for (; job && going; job = pool->TakeIfFull())
            going = TransferJob(slot, *job);
    else
        pool->Help(slot);
    show(nullptr);
    return going;
}

int WalkWithWorkers(
    FolderWalk& walk, TransferPool::Setup setup, const std::function<void(const std::string&)>& descend)
{
    walk.ownSlot.retry = walk.retry;
    walk.ownSlot.sessions = [&walk] { return walk.Sessions(true); };
    std::optional<TransferPool> pool;
    const bool logins = setup.source != nullptr && (walk.others == nullptr || setup.destination != nullptr);
    const int workers = setup.workers;
    // In active mode the server connects back for every transfer; one connection keeps to
    // one session there, as servers mix up data connections that several sessions of one
    // client ask for at once (pyftpdlib 1.5 hands one session's to another).
    const bool extraSession = setup.workers > 1 || walk.env.passive;
    if (setup.workers >= 1 && extraSession && logins && !walk.env.dryRun) {
        setup.announceRefusals = setup.workers > 1;
        pool.emplace(walk.env, std::move(setup),
            [&walk](TransferSlot& slot, const FileJob& job) { return walk.TransferJob(slot, job); });
        pool->Start();
        walk.pool = &*pool;
        walk.poolOpening = true;
    }
    walk.helpsWorkers = workers > 1;
    int result = walk.Run(descend);
    if (result == 1)
        (void)walk.HelpWorkers(false);
    if (pool)
        pool->Finish(walk.tally);
    walk.pool = nullptr;
    walk.poolOpening = false;
    // The workers may give the server up after the walk has listed its last folder: the run
    // then fails with why, as when the walk's own session could not come back.
    if (result == 1 && walk.tally.failReason.empty() && walk.GaveUp()) {
        walk.tally.failReason = walk.sessionLost;
        result = 0;
    }
    return result;
}

} // namespace vorn::walk
