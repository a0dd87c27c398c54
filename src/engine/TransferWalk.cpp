#include "common/PathText.h"
#include "engine/ConnectionOps.h"
#include "engine/FolderWalk.h"
#include "engine/SerializedObserver.h"
#include "engine/Walks.h"

#include <unordered_map>

namespace vorn {

using namespace walk;

namespace {

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

// Server-to-server copies carry the source's time to the second where the destination can
// set one (MFMT, MDTM with a time, SFTP's setstat): from the listing (the folder walk has
// asked MDTM for every copied file whose listing gave only minutes or a day) or the records.
// Without an exact source time or a way to set it the copy keeps the time it was made, and
// nothing claims otherwise. Returns the row's warning.
std::string StampDestination(remote::RemoteSession& destination, const FileJob& job, CopyRecords* records)
{
    if (!destination.CanSetModificationTime())
        return {};
    std::string exact = job.entry.exactTime;
    if (exact.empty() && records != nullptr)
        exact = records->ExactTime(job.remotePath);
    if (exact.size() != 14)
        return {};
    const Status set = destination.SetModificationTime(JoinPath(job.targetFolder, job.entry.name), exact);
    if (set)
        return {};
    return "Copied, but the destination kept the copy's own time: " + set.message();
}

} // namespace

int TransferWalk(remote::RemoteSession& source, remote::RemoteSession& destination, WalkContext& ctx,
    const WalkOptions& options, TransferTally& tally, const RunEnvironment& outer)
{
    SerializedObserver serialized(outer.observer);
    RunEnvironment env = outer;
    if (!outer.dryRun)
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
        if (env.dryRun) {
            source.ExpectListing();
            return EnterFolder(source, ctx.currentRemote);
        }
        if (EnterResult remote = Entered(EnsureRemoteFolder(source, ctx.currentRemote));
            remote.result != FolderResult::Done)
            return remote;
        if (EnterResult other = Entered(EnsureRemoteFolder(destination, ctx.currentLocal), "Destination: ");
            other.result != FolderResult::Done)
            return other;
        // The source's last CWD: the walk lists the folder right after it.
        source.ExpectListing();
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
        if (std::string kept = StampDestination(*slot.destination, job, options.records); !kept.empty())
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