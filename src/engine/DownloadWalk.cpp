#include "common/DecimalText.h"
#include "engine/ConnectionOps.h"
#include "engine/FailureReason.h"
#include "engine/FolderWalk.h"
#include "engine/LocalFiles.h"
#include "engine/SerializedObserver.h"
#include "engine/Walks.h"
#include "remote/ResumePoint.h"
#include "remote/TempFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

using namespace walk;

namespace {

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

// Enters the current folder on the server and, for a folder copy, opens its local twin
// below the root (the walk's `folder`). A dry run changes nothing anywhere: it only enters
// the source folder.
EnterResult EnterDownloadFolder(FolderWalk& walk, const FolderHandle& root, bool compress)
{
    remote::RemoteSession& source = walk.source;
    WalkContext& ctx = walk.ctx;
    // The walk lists the folder right after entering it: the listing may go out with the CWD.
    source.ExpectListing();
    if (walk.env.dryRun)
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
}

} // namespace

int DownloadWalk(remote::RemoteSession& source, WalkContext& ctx, const WalkOptions& options,
    TransferTally& tally, ZipArchive* archive, const std::string& stagingFolder, const RunEnvironment& outer)
{
    // With several sessions the reports come from several threads.
    SerializedObserver serialized(outer.observer);
    RunEnvironment env = outer;
    if (!outer.dryRun)
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
    walk.enterFolder = [&] { return EnterDownloadFolder(walk, root, compress); };
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

} // namespace vorn
