#include "engine/ArchiveRun.h"

#include "common/DecimalText.h"
#include "common/TimeText.h"
#include "engine/FailureReason.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/archives/ArchiveChain.h"
#include "engine/archives/ArchiveCheck.h"
#include "store/CopiedFiles.h"
#include "store/ProjectDb.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

namespace {

constexpr std::string_view kStagingPrefix = ".vornbackup-";

// The PID in a staging folder's name, 0 for any other name.
pid_t StagingOwner(const std::string& name)
{
    if (!name.starts_with(kStagingPrefix))
        return 0;
    const std::string rest = name.substr(kStagingPrefix.size());
    const auto dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos || rest.size() - dash != 7 || dash > 10
        || rest.find_first_not_of("0123456789") != dash)
        return 0;
    return pid_t(ParseDecimal(rest.substr(0, dash)));
}

// Whether the process that noted a leftover has ended. Runs of one process come one at a
// time, so a note of this very process is an earlier run's. A PID now used by another
// program keeps the leftover, which is the safe side.
bool ProcessGone(std::int64_t pid)
{
    if (pid == getpid())
        return true;
    return pid > 0 && pid <= std::numeric_limits<pid_t>::max() && kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

// A private folder for the downloads of a compressed run, so that a file of the same name
// that already lies in the destination folder is never overwritten or deleted. Its name
// carries the PID (".vornbackup-PID-XXXXXX"), so a later run can tell a killed run's folder.
Result<std::string> MakeStagingFolder(const std::string& destination)
{
    std::string pattern = (destination.empty() ? std::string(".") : destination) + "/"
        + std::string(kStagingPrefix) + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return MakeError(ErrorKind::LocalIo, "Cannot create a working folder in " + destination);
    return pattern;
}

// What compressed runs killed in the middle left in `destination`: the downloads in flight
// in their staging folders, removed once their process is gone. Copies kept because the
// archive refused them stay, and so does the folder that holds them.
void RemoveStaleStaging(const std::string& destination)
{
    namespace fs = std::filesystem;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(destination, error)) {
        const pid_t owner = StagingOwner(entry.path().filename().string());
        std::error_code ignored;
        if (owner <= 0 || owner == getpid() || !entry.is_directory(ignored) || entry.is_symlink(ignored)
            || kill(owner, 0) == 0 || errno != ESRCH)
            continue;
        const fs::path incoming = entry.path() / "incoming";
        if (fs::is_directory(fs::symlink_status(incoming, ignored)))
            fs::remove_all(incoming, ignored); // never follows a link inside
        fs::remove(entry.path(), ignored); // only when empty
    }
}

// The project's records: those of the row the run started with when it is stored (a rename
// meanwhile keeps them), else those of the first row of its name.
ProjectKey RecordsKey(const BackupJob& job)
{
    return job.projectId ? ProjectKey(*job.projectId) : ProjectKey(job.name);
}

void TellRun(const RunEnvironment& env, const std::string& text)
{
    if (env.observer != nullptr)
        env.observer->OnRunNotice(NoticeSeverity::Info, {}, text);
}

// What earlier runs of this project left when they were killed or failed (an archive's
// ".part", a staging folder with the copies its archive refused), as the project's records
// list them: removed once their process is gone. Nothing found by its name alone is touched.
void RemoveLeftovers(const BackupJob& job, const RunEnvironment& env)
{
    namespace fs = std::filesystem;
    for (const Leftover& left : LoadLeftovers(env.db, RecordsKey(job))) {
        if (!ProcessGone(left.pid))
            continue;
        struct stat info { };
        std::error_code error;
        if (::lstat(left.path.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode))
                fs::remove_all(left.path, error); // links inside are removed, never followed
            else if (S_ISREG(info.st_mode) && ::unlink(left.path.c_str()) != 0)
                error = std::error_code(errno, std::generic_category());
            if (error) {
                TellRun(env,
                    "\"" + left.path + "\", left by an earlier run that did not finish, cannot be removed: "
                        + error.message() + ".");
                continue;
            }
            TellRun(env, "Removed \"" + left.path + "\", left by an earlier run that did not finish.");
        }
        (void)ForgetLeftover(env.db, RecordsKey(job), left.path);
    }
}

// Notes what the run makes and removes at its end, so that a later run can clean up when this
// one is killed.
void NoteOwnLeftover(const BackupJob& job, const RunEnvironment& env, const std::string& path)
{
    (void)NoteLeftover(env.db, RecordsKey(job), { path, std::int64_t(getpid()) });
}

// Forgets the notes of this run whose file or folder is gone by now.
void ForgetOwnLeftovers(const BackupJob& job, const RunEnvironment& env)
{
    for (const Leftover& left : LoadLeftovers(env.db, RecordsKey(job))) {
        struct stat info { };
        if (left.pid == getpid() && ::lstat(left.path.c_str(), &info) != 0 && errno == ENOENT)
            (void)ForgetLeftover(env.db, RecordsKey(job), left.path);
    }
}

// Creates the archive of a compressed run, or says why the run cannot have one.
Status OpenArchive(const BackupJob& job, std::unique_ptr<ZipArchive>& archive, std::string& archivePath,
    const RunEnvironment& env)
{
    // Without a folder the archive would land in the file system's root.
    if (job.destinationFolder.empty())
        return MakeError(ErrorKind::Invalid, "No destination folder is set for the archive");
    // The destination folder is made (one level) as for an uncompressed run, so a new
    // project's first compressed run does not fail on a folder it has never had.
    if (Status folder = EnsureLocalFolder(job.destinationFolder); !folder)
        return folder;
    archivePath = ArchivePath(job.destinationFolder, job.name, std::time(nullptr), job.projectId);
    NoteOwnLeftover(job, env, archivePath + ".part");
    Result<std::unique_ptr<ZipArchive>> created = ZipArchive::Create(archivePath, job.zipPassword);
    if (!created)
        return MakeError(created.error().kind, ArchiveReason(created.error(), archivePath));
    archive = std::move(created).value();
    if (job.zipPassword.empty())
        TellRun(env,
            "The project has no archive password: the archive \"" + archivePath
                + "\" is written without encryption.");
    return {};
}

// After a compressed run's walk: the manifest of an incremental project, closing, the
// read-back check, and for an archive that is kept, its record, the remembered copies and
// the removal of old archives. Returns the run's result, 0 when the archive is no backup.
int FinishArchive(std::unique_ptr<ZipArchive>& archive, const std::string& archivePath,
    const std::string& staging, const BackupJob& job, const WalkContext& ctx, const WalkOptions& options,
    TransferTally& tally, int result, const RunEnvironment& env)
{
    const bool stopped = env.control != nullptr && env.control->stopRequested();
    const bool complete = result == 1 && !stopped && tally.foldersFailed == 0;
    if (options.records != nullptr && result == 1 && !stopped) {
        const Result<std::string> manifest = AddManifest(*archive, staging, *options.records, ctx.rootRemote,
            { options.fullArchive, complete, NextArchiveSequence(env.db, RecordsKey(job)) });
        if (!manifest) {
            tally.failReason = manifest.message();
            result = 0;
        }
    }
    const std::vector<ZipArchive::WrittenEntry> written = archive->written();
    // An archive that cannot be finished (disk full) is no backup: the run fails.
    const Status closed = archive->Close();
    archive.reset();
    if (!closed && result == 1) {
        tally.failReason = ArchiveReason(closed.error(), archivePath);
        result = 0;
    }
    if (result != 1 || stopped) {
        std::remove(archivePath.c_str());
        return result;
    }
    RunArchiveClosedHook(archivePath);
    if (job.options.verifyArchive) {
        if (const Status verified = VerifyArchive(archivePath, job.zipPassword, written); !verified) {
            const std::string kept = FailedVerificationPath(archivePath);
            std::rename(archivePath.c_str(), kept.c_str());
            tally.failReason = verified.message() + " It is kept as \"" + kept + "\".";
            return 0;
        }
    }
    const std::string file = std::filesystem::path(archivePath).filename().string();
    // Every archive is on record: retention removes nothing else. The copies count as made
    // only once the archive holding them is on record; otherwise the next archive takes them
    // again.
    const bool full = options.records == nullptr || options.fullArchive;
    if (AddArchiveRecord(env.db, RecordsKey(job), { file, full }) && options.records != nullptr)
        options.records->Save(complete);
    tally.archivePath = archivePath;
    // An archive of a run that failed files may lack what the older ones hold.
    if (tally.filesFailed != 0 || tally.foldersFailed != 0) {
        if (job.options.keepArchives > 0)
            TellRun(env, "Every earlier archive is kept: this run could not copy every file and folder.");
        return result;
    }
    for (const std::string& removed :
        RemoveOldArchives(env.db, RecordsKey(job), job.destinationFolder, job.options.keepArchives))
        TellRun(env, "Removed the old archive \"" + removed + "\".");
    return result;
}

std::string ArchiveNameStem(const std::string& name, std::optional<std::int64_t> projectId)
{
    // A "/" in the project name would point into another folder.
    std::string stem = name;
    std::replace(stem.begin(), stem.end(), '/', '_');
    // "x/y" and "x_y" must not share archives, nor "x/y" and a project named "x_y~7": a stem
    // that is not the name itself, or that ends like one that is not, gets the project's id.
    const auto tilde = stem.rfind('~');
    const bool endsLikeId = tilde != std::string::npos && tilde + 1 < stem.size()
        && stem.find_first_not_of("0123456789", tilde + 1) == std::string::npos;
    if (projectId && (stem != name || endsLikeId))
        stem += "~" + std::to_string(*projectId);
    return stem;
}

std::string ArchivePath(const std::string& destinationFolder, const std::string& name, std::time_t now,
    std::optional<std::int64_t> projectId)
{
    std::string path = destinationFolder;
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + ArchiveNameStem(name, projectId) + "_" + FormatLocalTime(now, "%y%m%d%H%M%S") + ".zip";
}

} // namespace vorn
