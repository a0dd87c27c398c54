#pragma once

// What the download walk and the server-to-server walk share: the folder order, the listing of
// each folder, the handling of its entries and the rows. Only the walks include this.

#include "engine/BackupRun.h"
#include "engine/CopyRecords.h"
#include "engine/LocalFiles.h"
#include "engine/RunObserver.h"
#include "engine/TransferPool.h"
#include "engine/TransferRetry.h"
#include "engine/Walks.h"
#include "remote/RemoteSession.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vorn::walk {

enum class FolderResult { Done, Failed, Refused, Stopped };

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
std::int64_t ListedSize(const remote::Entry& entry);

// The outcome of a transfer reply, with the note a copy of unknown size carries.
// A transfer's row status; `localPath` names the local copy of a download ("" otherwise), so a
// full disk is told as such.
FileOutcome Settled(const Status& reply, bool sizeUnchecked, const std::string& localPath = {});

// Enters `folder` on `session`; a refusal carries the server's words. `side` names the server
// in the reason ("" for the source).
EnterResult EnterFolder(
    remote::RemoteSession& session, const std::string& folder, const std::string& side = {});

// The same for an operation that ensures a folder.
EnterResult Entered(const Status& done, const std::string& side = {});

bool StopRequested(const RunEnvironment& env);

// The progress a slot's transfer writes.
remote::TranslateInfo& Progress(const TransferSlot& slot, const RunEnvironment& env);

// The part of `remote` below the root, always beginning with "/".
std::string RelativePart(const WalkContext& ctx, const std::string& remote);

std::string JoinLocal(const std::string& root, const std::string& relative);

// A copy checked against a server's checksum keeps it for the records; a check that could not
// be made says why on the row.
void NoteDigest(FileOutcome& outcome, const remote::Transferred& delivered);

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
    // The pool's sessions are still logging in: the first file waits for them, and the walk
    // transfers its files itself when none of them opened.
    bool poolOpening = false;
    // With several workers the walk's sessions take files too: while enough wait that the
    // walk would only wait to hand the next, and all that wait once every folder is listed.
    bool helpsWorkers = false;
    // Download walks: the session is told which file it fetches next, so it can start that
    // transfer while the current one ends.
    bool hintDownloads = false;
    std::mutex countsMutex {}; // the file counts, kept by the walk and the pool's workers

    [[nodiscard]] std::vector<TransferRetry::Session> Sessions(bool inFolder) const;

    // Whether the transfers gave the server up as unreachable; the walk then ends with why.
    bool GaveUp();

    // After a failed step: whether a session had been lost and is back now.
    bool BroughtBack();

    // The current folder's listing; a listing cut off by a lost session is asked again.
    Result<std::vector<remote::Entry>> ListFolder();

    // A folder that is not copied: counted, with a row that says why.
    void FailFolder(const std::string& remotePath, const std::string& reason);

    // Records a file that passed the rules; true when it is unchanged since its last copy,
    // which then gets no row (an unchanged site of 100 000 files must not flood the list).
    bool Unchanged(const remote::Entry& entry, const std::string& remotePath);

    // Whether `entry` is a file this walk copies, as far as the listing tells (an incremental
    // run's unchanged file is taken as not copied).
    [[nodiscard]] bool WantsCopy(const remote::Entry& entry, const std::string& remotePath) const;

    // The path of the first entry from `from` on that is likely downloaded next, small enough
    // for a plain download; "" when there is none.
    [[nodiscard]] std::string NextLikelyDownload(std::vector<remote::Entry>::const_iterator from,
        std::vector<remote::Entry>::const_iterator end) const;

    // Listings without seconds (`ls -l` style: minutes, or only the day for older files) are
    // completed by the server's MDTM for every file to be copied, asked for the whole folder at
    // once, so that each copy carries the source's time to the second.
    void AddExactTimes(std::vector<remote::Entry>& entries);
    // The entries AddExactTimes asks times for, by index; the listing hints them to the session.
    [[nodiscard]] std::vector<std::size_t> WithoutExactTimes(const std::vector<remote::Entry>& entries) const;

    // Why the current folder is not entered at all, or "".
    [[nodiscard]] std::string Bound() const;

    FolderResult ProcessFolder();

    // A file the listing also gives in another Unicode form: copied once, under `kept`.
    void SecondForm(const remote::Entry& entry, const std::string& kept);

    // An entry the project's exclude patterns leave out: counted, without a row but in a dry
    // run; an excluded folder is not entered.
    bool Excluded(const remote::Entry& entry, const std::string& remotePath);

    // False when the run was stopped during the entry's transfer.
    bool ProcessEntry(const remote::Entry& entry);

    void CountFile(bool copied);

    // Transfers waiting files of the pool with the walk's sessions when it helps the workers:
    // those beyond what the pool holds (`whileFull`), or all that wait. False when stopped.
    bool HelpWorkers(bool whileFull);

    // Transfers one file with its row from start to end; false when the run was stopped
    // during it. Runs on the walk's thread or on a worker's.
    bool TransferJob(TransferSlot& slot, const FileJob& job);

    // Returns 1 when the root folder was processed. `descend` sets the current folders for
    // a folder taken from the pending stack. Only the root folder failing ends the walk.
    int Run(const std::function<void(const std::string& relative)>& descend);
};

// Lists on the walk's own sessions and hands the files to a pool of as many sessions of their
// own as connections are asked for, which log in while the walk lists its first folder. When
// none of them opens, the walk transfers the files itself; with one connection that is quiet,
// as the extra session is only there to take the listing off the transfers' path. The pool
// is finished before this returns: every file handed is done, or stopped, and counted.
int WalkWithWorkers(
    FolderWalk& walk, TransferPool::Setup setup, const std::function<void(const std::string&)>& descend);

} // namespace vorn::walk
