#include "engine/BackupRun.h"

#include "common/DecimalText.h"
#include "common/PortText.h"
#include "common/TimeText.h"
#include "engine/CopyRecords.h"
#include "engine/Durability.h"
#include "engine/FailureReason.h"
#include "engine/KeepAliveThread.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/RunRecorder.h"
#include "engine/TransferFigures.h"
#include "engine/TransferPool.h"
#include "engine/Walks.h"
#include "engine/archives/ArchiveChain.h"
#include "engine/archives/ArchiveCheck.h"
#include "engine/archives/ZipArchive.h"
#include "store/CopiedFiles.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"
#include "store/Secrets.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

std::int64_t ClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

// 0 for a stored port that is no port: ConnectAndLogin refuses it, and RunProject has
// already failed the run with the reason (StoredValueProblem).
std::uint16_t PortOf(const std::string& text)
{
    return ParsePort(text).port;
}

const char* kLastBackupFormat = "%m/%d/%Y %H:%M:%S";

constexpr std::string_view kStagingPrefix = ".vornbackup-";

// A private folder for the downloads of a compressed run, so that a file of the same name
// that already lies in the destination folder is never overwritten or deleted. Its name
// carries the PID (".vornbackup-PID-XXXXXX"), so a later run can tell a killed run's folder.
std::string MakeStagingFolder(const std::string& destination)
{
    std::string pattern = (destination.empty() ? std::string(".") : destination) + "/"
        + std::string(kStagingPrefix) + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern;
}

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

// Whether the process that noted a leftover has ended. Runs of one process come one at a
// time, so a note of this very process is an earlier run's. A PID now used by another
// program keeps the leftover, which is the safe side.
bool ProcessGone(std::int64_t pid)
{
    if (pid == getpid())
        return true;
    return pid > 0 && pid <= std::numeric_limits<pid_t>::max() && kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

// The project's records: those of the row the run started with when it is stored (a rename
// meanwhile keeps them), else those of the first row of its name.
ProjectKey RecordsKey(const BackupJob& job)
{
    return job.projectId ? ProjectKey(*job.projectId) : ProjectKey(job.name);
}

void Tell(const RunEnvironment& env, const std::string& text)
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
                Tell(env,
                    "\"" + left.path + "\", left by an earlier run that did not finish, cannot be removed: "
                        + error.message() + ".");
                continue;
            }
            Tell(env, "Removed \"" + left.path + "\", left by an earlier run that did not finish.");
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

// Why the stored project cannot run as it is: a port that is no port.
std::string StoredValueProblem(const BackupProject& project)
{
    // An SFTP server without a port text is reached on 22.
    const auto portProblem = [](const std::string& host, const std::string& text) {
        if (text.empty() && IsSftpServer(host))
            return std::string();
        return ParsePort(text).error;
    };
    if (const std::string why = portProblem(project.ftpip, project.ftpport); !why.empty())
        return "Source server: " + why + " The run made no connection.";
    if (project.type() == FtpType::FtpToFtp)
        if (const std::string why = portProblem(project.ftpdestip, project.ftpdestport); !why.empty())
            return "Destination server: " + why + " The run made no connection.";
    return {};
}

// Stores the run's status and time; a failure (a locked or read-only database) is told, not
// passed over, since the project would otherwise show an outcome it never had.
void StoreStatus(ProjectDb* db, std::int64_t ftpid, const std::string& name, const std::string& status,
    std::time_t now, RunObserver& observer)
{
    std::string error;
    if (!SetProjectStatusById(db, ftpid, status, now, &error))
        observer.OnRunNotice(NoticeSeverity::Problem, name,
            "The status \"" + status + "\" and the run time of \"" + name
                + "\" could not be stored in the database" + (db ? " " + db->path() : std::string()) + ": "
                + (error.empty() ? "no database" : error) + ".");
}

// The root folder on the source: ensured (made when missing) for a run; a dry run only
// enters it, since it changes nothing anywhere.
Status SourceRootReady(remote::RemoteSession& source, const std::string& root, const RunEnvironment& env)
{
    if (!env.dryRun)
        return EnsureRemoteFolder(source, root);
    if (const auto entered = source.ChangeFolder(root); !entered)
        return MakeError(entered.error().kind, ReplyReason(entered.error()) + " (" + root + ")");
    return {};
}

// A rule typed the way other tools take it ("*.tmp") matches nothing; a run that copied
// nothing for that reason says so rather than pass for a clean backup.
std::string NoFilePassedNotice(std::uint64_t ignored)
{
    return "The filter rules let none of the " + std::to_string(ignored)
        + " listed file(s) through, so nothing was copied. A pattern begins with \".\" (the name ends "
          "with it), \"@\" (the name contains it) or \"#\" (the name begins with it); \"*\" is no "
          "wildcard.";
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
    ZipArchive::CreateResult created = ZipArchive::Create(archivePath, job.zipPassword);
    if (!created.archive)
        return MakeError(ErrorKind::LocalIo, ArchiveReason(created.error, archivePath));
    archive = std::move(created.archive);
    if (job.zipPassword.empty())
        Tell(env,
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
    std::string problem;
    if (options.records != nullptr && result == 1 && !stopped
        && AddManifest(*archive, staging, *options.records, ctx.rootRemote,
            { options.fullArchive, complete, NextArchiveSequence(env.db, RecordsKey(job)) }, problem)
               .empty()) {
        tally.failReason = problem;
        result = 0;
    }
    const std::vector<ZipArchive::WrittenEntry> written = archive->written();
    // An archive that cannot be finished (disk full) is no backup: the run fails.
    const ZipError closed = archive->Close();
    archive.reset();
    if (closed && result == 1) {
        tally.failReason = ArchiveReason(closed, archivePath);
        result = 0;
    }
    if (result != 1 || stopped) {
        std::remove(archivePath.c_str());
        return result;
    }
    RunArchiveClosedHook(archivePath);
    if (job.options.verifyArchive) {
        problem = VerifyArchive(archivePath, job.zipPassword, written);
        if (!problem.empty()) {
            const std::string kept = FailedVerificationPath(archivePath);
            std::rename(archivePath.c_str(), kept.c_str());
            tally.failReason = problem + " It is kept as \"" + kept + "\".";
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
            Tell(env, "Every earlier archive is kept: this run could not copy every file and folder.");
        return result;
    }
    for (const std::string& removed :
        RemoveOldArchives(env.db, RecordsKey(job), job.destinationFolder, job.options.keepArchives))
        Tell(env, "Removed the old archive \"" + removed + "\".");
    return result;
}

} // namespace

std::string JoinLoginFolder(const std::string& loginFolder, const std::string& folder)
{
    // Some servers report the login folder with a trailing "/"; joined as it is, every path
    // below it would carry a doubled "/".
    std::string login = loginFolder;
    while (login.size() > 1 && login.back() == '/')
        login.pop_back();
    const bool absolute = !folder.empty() && folder.front() == '/';
    if (login.size() <= 1)
        return absolute ? folder : "/" + folder;
    return absolute ? login + folder : login + "/" + folder;
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

namespace {

// Only a project that leaves something out says how much.
std::string ExcludedText(const TransferTally& tally)
{
    return tally.excluded > 0 ? ", Excluded:" + std::to_string(tally.excluded) : std::string();
}

} // namespace

std::string ResultText(const TransferTally& tally, bool incremental)
{
    return "Transmission Results: Folder(s):" + std::to_string(tally.foldersDone) + ", File(s):"
        + std::to_string(tally.filesDone) + ", Failed Folder(s):" + std::to_string(tally.foldersFailed)
        + ", Failed File(s):" + std::to_string(tally.filesFailed)
        + (incremental ? ", Unchanged File(s):" + std::to_string(tally.filesUnchanged) : std::string())
        + ExcludedText(tally) + ".";
}

std::string DryRunResultText(const TransferTally& tally)
{
    return "Dry Run Results: Folder(s):" + std::to_string(tally.foldersDone) + ", Would Copy File(s):"
        + std::to_string(tally.filesDone) + ", Unchanged File(s):" + std::to_string(tally.filesUnchanged)
        + ", Failed Folder(s):" + std::to_string(tally.foldersFailed)
        + ", Failed File(s):" + std::to_string(tally.filesFailed) + ExcludedText(tally) + ".";
}

namespace {

// A project name as a shell word: quoted when it holds anything but letters, digits and -_.
std::string QuotedName(const std::string& name)
{
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.';
    });
    if (plain)
        return name;
    std::string quoted = "'";
    for (const char c : name)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

void ApplySessionOptions(const ProjectOptions& options, ServerLogin& login)
{
    login.keyFile = options.sshKey;
    login.followLinks = options.followLinks;
    login.charset = options.charset;
}

BackupJob MakeBackupJob(const BackupProject& project)
{
    BackupJob job;
    job.source = { project.ftpip, project.ftpuser, project.ftppassword, PortOf(project.ftpport) };
    if (project.type() == FtpType::FtpToFtp)
        job.destination
            = { project.ftpdestip, project.ftpdestuser, project.ftpdestpass, PortOf(project.ftpdestport) };
    job.sourceFolder = project.ftpsource;
    if (project.type() == FtpType::FtpToLocal)
        job.destinationFolder = project.ftpdest;
    else if (project.type() == FtpType::FtpToFtp)
        job.destinationFolder = project.ftpdestpath;
    job.rules = ParseFilterRules(project.ftprule);
    job.mode = project.type();
    job.backupMode = project.ftpbackmode;
    job.name = project.ftpname;
    // Archives are made of local downloads only; a server-to-server copy has none.
    job.noCompression = !project.ftpiscompress || project.type() != FtpType::FtpToLocal;
    job.zipPassword = project.ftpcompass;
    return job;
}

namespace {

// The sessions and the walk state of one job.
struct JobSessions {
    std::unique_ptr<remote::RemoteSession> first;
    std::unique_ptr<remote::RemoteSession> second; // server-to-server copies only
    WalkContext ctx;
};

int Fail(TransferTally& tally, std::string reason)
{
    tally.failReason = std::move(reason);
    return 0;
}

// The copies of a folder run reach the disk before the run's records say they are done; a
// run whose copies cannot be synced fails.
int CopiesOnDisk(const BackupJob& job, TransferTally& tally, int result)
{
    if (job.destinationFolder.empty() || (tally.filesDone == 0 && tally.foldersDone == 0))
        return result;
    if (const Status synced = SyncCopies(job.destinationFolder); !synced)
        return result == 1 ? Fail(tally, synced.message()) : result;
    return result;
}

// The sessions of `job`, of the protocols its server texts name; why not, when one has none.
std::string MakeJobSessions(const BackupJob& job, JobSessions& s)
{
    auto first = MakeSessionFor(job.source);
    if (!first)
        return first.message();
    s.first = std::move(*first);
    if (job.mode != FtpType::FtpToFtp)
        return {};
    auto second = MakeSessionFor(job.destination);
    if (!second)
        return "Destination: " + second.message();
    s.second = std::move(*second);
    return {};
}

// The login folder of a session that has just logged in, or why there is none.
std::optional<std::string> LoginFolder(remote::RemoteSession& session, TransferTally& tally)
{
    auto login = session.CurrentFolder();
    if (!login) {
        tally.failReason = "The login folder is unknown: " + ReplyReason(login.error());
        return std::nullopt;
    }
    return std::move(*login);
}

// Why a connection of the run failed; for a host key no known-hosts file knows, with the
// command that shows and stores it.
std::string ConnectFailure(
    const BackupJob& job, const remote::RemoteSession& session, const Status& connected)
{
    std::string why = connected.message();
    if (sessions::HostKeyOf(session).verdict == sessions::HostKeyFacts::Verdict::Unknown)
        why += ". Check the fingerprint and trust the key with: vornbackup-cli trust " + QuotedName(job.name);
    return why;
}

// Ftp->Local: connects, ensures the root folders and walks. The keep-alive thread ends here,
// before the sessions it uses.
int RunDownload(const BackupJob& job, JobSessions& s, TransferTally& tally, ZipArchive* archive,
    std::string& staging, const WalkOptions& options, const RunEnvironment& env)
{
    remote::RemoteSession& source = *s.first;
    // A server that refuses for now (421 "too many connections") is asked again.
    TransferRetry retry(env, options.retries, tally);
    if (const Status connected = retry.LogIn(job.source, source); !connected)
        return Fail(tally, ConnectFailure(job, source, connected));
    const auto login = LoginFolder(source, tally);
    if (!login)
        return 0;
    s.ctx.rootRemote = s.ctx.currentRemote = JoinLoginFolder(*login, job.sourceFolder);
    s.ctx.rootLocal = s.ctx.currentLocal = job.destinationFolder;
    if (archive)
        RemoveStaleStaging(s.ctx.rootLocal);
    Status ready = SourceRootReady(source, s.ctx.rootRemote, env);
    if (ready && !env.dryRun)
        ready = EnsureLocalFolder(s.ctx.rootLocal);
    if (ready && archive && (staging = MakeStagingFolder(s.ctx.rootLocal)).empty())
        ready = MakeError(ErrorKind::LocalIo, "Cannot create a working folder in " + s.ctx.rootLocal);
    if (!staging.empty())
        NoteOwnLeftover(job, env, staging);
    if (!ready) {
        source.Disconnect();
        return Fail(tally, ready.message());
    }
    KeepAliveThread keepAlive(source, nullptr, env.keepAlivePeriod);
    return DownloadWalk(source, s.ctx, options, tally, archive, staging, env);
}

// Ftp->Ftp: connects both servers, ensures both root folders and walks.
int RunRelay(const BackupJob& job, JobSessions& s, TransferTally& tally, const WalkOptions& options,
    const RunEnvironment& env)
{
    remote::RemoteSession& source = *s.first;
    remote::RemoteSession& destination = *s.second;
    // A server that refuses for now (421 "too many connections") is asked again.
    TransferRetry retry(env, options.retries, tally);
    if (const Status connected = retry.LogIn(job.source, source); !connected)
        return Fail(tally, ConnectFailure(job, source, connected));
    if (const Status connected = retry.LogIn(job.destination, destination, "Destination: "); !connected) {
        source.Disconnect();
        return Fail(tally, "Destination: " + ConnectFailure(job, destination, connected));
    }
    const auto sourceLogin = LoginFolder(source, tally);
    const auto destinationLogin = sourceLogin ? LoginFolder(destination, tally) : std::nullopt;
    if (!destinationLogin)
        return 0;
    s.ctx.rootRemote = s.ctx.currentRemote = JoinLoginFolder(*sourceLogin, job.sourceFolder);
    s.ctx.rootLocal = s.ctx.currentLocal = JoinLoginFolder(*destinationLogin, job.destinationFolder);
    Status ready = SourceRootReady(source, s.ctx.rootRemote, env);
    if (ready && !env.dryRun) {
        ready = EnsureRemoteFolder(destination, s.ctx.rootLocal);
        if (!ready)
            ready = ready.error().Prefixed("Destination");
    }
    if (!ready) {
        source.Disconnect();
        destination.Disconnect();
        return Fail(tally, ready.message());
    }
    KeepAliveThread keepAlive(source, &destination, env.keepAlivePeriod);
    return TransferWalk(source, destination, s.ctx, options, tally, env);
}

} // namespace

int RunBackupJob(const BackupJob& job, TransferTally& tally, const RunEnvironment& env)
{
    JobSessions sessions;
    if (std::string why = MakeJobSessions(job, sessions); !why.empty())
        return Fail(tally, why);
    ConfigureRunSession(*sessions.first, env);
    if (sessions.second)
        ConfigureRunSession(*sessions.second, env);
    CancelRegistration cancelFirst(env.control, [&sessions] { sessions.first->Cancel(); });
    CancelRegistration cancelSecond(env.control, [&sessions] {
        if (sessions.second)
            sessions.second->Cancel();
    });
    sessions.ctx.rules = job.rules;

    if (!env.dryRun)
        RemoveLeftovers(job, env);
    std::optional<CopyRecords> records;
    if (job.backupMode == kIncrementalBackupMode) {
        records.emplace(env.db, RecordsKey(job));
        if (!records->loadError().empty()) {
            const bool reset = !env.dryRun && ResetCopiedFiles(env.db);
            Tell(env,
                "The incremental record of earlier copies could not be read (" + records->loadError()
                    + (reset ? "); it was reset" : ")") + ", and this run copies every file.");
        }
    }
    WalkOptions options { job.backupMode, job.noCompression, records ? &*records : nullptr, false,
        job.options.retries, &job.source, &job.destination, job.options.connections };
    options.exclude = ParseExcludePatterns(job.options.exclude);

    std::unique_ptr<ZipArchive> archive;
    std::string archivePath;
    if (!job.noCompression && records)
        options.fullArchive
            = NextArchiveIsFull(env.db, RecordsKey(job), job.destinationFolder, job.options.fullEvery);
    if (!job.noCompression && !env.dryRun)
        if (Status opened = OpenArchive(job, archive, archivePath, env); !opened)
            return Fail(tally, opened.message());

    int result = 0;
    std::string staging;
    if (job.mode == FtpType::FtpToLocal)
        result = RunDownload(job, sessions, tally, archive.get(), staging, options, env);
    else if (job.mode == FtpType::FtpToFtp)
        result = RunRelay(job, sessions, tally, options, env);
    else
        result = Fail(tally, "The project has no known backup type");

    const bool compressed = archive != nullptr;
    if (compressed)
        result = FinishArchive(archive, archivePath, staging, job, sessions.ctx, options, tally, result, env);
    else if (job.mode == FtpType::FtpToLocal && !env.dryRun)
        result = CopiesOnDisk(job, tally, result);
    if (!compressed && records && !env.dryRun && result == 1)
        records->Save(tally.foldersFailed == 0 && !(env.control != nullptr && env.control->stopRequested()));
    if (!staging.empty()) {
        std::error_code ignored;
        std::filesystem::remove(staging, ignored); // only when empty: failed additions stay
    }
    if (!env.dryRun)
        ForgetOwnLeftovers(job, env);
    return result;
}

namespace {

// Writes the run into the project's history. A failed write is reported and changes nothing
// else: the backup itself is done.
void RecordHistory(const RunEnvironment& env, const std::string& projectName, std::int64_t ftpid,
    RunRecord run, const TransferTally& tally, RunRecorder& recorder, const BackupJob& job)
{
    run.filesCopied = tally.filesDone;
    run.filesFailed = tally.filesFailed;
    run.foldersFailed = tally.foldersFailed;
    run.bytes = env.figures->transferredBytes;
    run.archivePath = tally.archivePath;
    run.retries = tally.retries;
    run.reconnects = tally.reconnects;
    std::vector<FailedItem> failed;
    // A run that failed as a whole lists its source folder as the first failed item.
    if (!run.reason.empty())
        failed.push_back({ JoinLoginFolder("/", job.sourceFolder), run.reason });
    failed.insert(failed.end(), recorder.failed().begin(), recorder.failed().end());
    const std::string error = RecordRun(env.db, ftpid, run, failed);
    if (!error.empty())
        recorder.OnRunNotice(
            NoticeSeverity::Warning, projectName, "The run history could not be written: " + error);
}

// The job of a project as the run loaded it, its options applied to the logins.
BackupJob MakeLoadedJob(const LoadedProject& loaded)
{
    BackupJob job = MakeBackupJob(loaded.record);
    job.projectId = loaded.ftpid;
    job.options = loaded.options;
    ApplySessionOptions(job.options, job.source);
    ApplySessionOptions(job.options, job.destination);
    return job;
}

// A database of a newer version is never changed: no status, no history, no copies.
bool RefusedByNewerDatabase(ProjectDb* db, const std::string& projectName, RunObserver& observer)
{
    if (db == nullptr || db->readOnlyReason().empty())
        return false;
    observer.OnRunFailed(projectName, db->readOnlyReason());
    observer.OnResultText("Transmission Results: Failed!");
    return true;
}

// A dry run stores nothing: the project's status and run time stay as the last real run left them.
RunOutcome DryRunOutcome(const std::string& projectName, const TransferTally& tally, int result,
    RunControl& control, RunObserver& observer)
{
    if (result == 0 && !tally.failReason.empty())
        observer.OnRunFailed(projectName, tally.failReason);
    observer.OnResultText(result == 1 ? DryRunResultText(tally) : "Transmission Results: Failed!");
    return result == 1 && !control.stopRequested() ? RunOutcome::Success : RunOutcome::Fail;
}

} // namespace

RunOutcome RunProject(const std::string& projectName, const RunEnvironment& env)
{
    RunControl& control = *env.control;
    RunObserver nobody;
    RunRecorder observer(env.observer ? *env.observer : nobody);
    RunEnvironment recorded = env;
    recorded.observer = &observer;

    control.Begin();
    control.setRunProjectName(projectName);
    control.setRunState(RunState::Running);
    env.figures->ResetRun();
    observer.OnRunStarted(projectName);
    RunRecord run;
    run.start = std::time(nullptr);

    auto finish = [&](RunOutcome outcome) {
        control.setRunProjectName("");
        control.setRunState(RunState::Idle);
        observer.OnRunFinished(projectName, std::string(RunOutcomeText(outcome)));
        return outcome;
    };

    if (RefusedByNewerDatabase(env.db, projectName, observer))
        return finish(RunOutcome::Fail);
    // Read once: its ftpid names its row for the run, whatever the window renames meanwhile.
    std::optional<LoadedProject> loaded = LoadProjectForRun(env.db, projectName);
    if (!loaded) {
        observer.OnProjectStatus(projectName, std::string(RunOutcomeText(RunOutcome::Failed)));
        observer.OnResultText("Transmission Results: Failed!");
        return finish(RunOutcome::Failed);
    }
    BackupProject& project = loaded->record;
    const std::int64_t ftpid = loaded->ftpid;
    observer.OnProjectStatus(projectName, "Running");
    // Passwords kept in the keyring: a keyring that cannot be reached fails the run with
    // that reason, before any login could fail for want of a password.
    const Status secrets = FillProjectSecrets(env.db, ftpid, project);
    const BackupJob job = MakeLoadedJob(*loaded);
    env.figures->runMode = project.ftptype;

    // A stored value the run cannot use, or a password the keyring cannot give, fails it
    // before any connection is made; the reason is told once, with the failure below.
    const std::string problem = secrets ? StoredValueProblem(project) : secrets.message();
    TransferTally tally;
    const int result = problem.empty() ? RunBackupJob(job, tally, recorded) : 0;
    if (result != 0 && !job.rules.empty() && tally.filesIgnored > 0 && tally.filesPassed == 0)
        observer.OnRunNotice(NoticeSeverity::Warning, projectName, NoFilePassedNotice(tally.filesIgnored));

    const std::time_t now = std::time(nullptr);
    run.end = now;
    if (env.dryRun)
        return finish(DryRunOutcome(projectName, tally, result, control, observer));
    if (control.stopRequested()) {
        const std::string stopped(RunOutcomeText(RunOutcome::Stopped));
        StoreStatus(env.db, ftpid, projectName, stopped, now, observer);
        observer.OnProjectStatus(projectName, stopped);
        observer.OnLastBackupTime(projectName, FormatLocalTime(now, kLastBackupFormat));
        run.outcome = stopped;
        RecordHistory(env, projectName, ftpid, run, tally, observer, job);
        observer.OnResultText("Transmission Results: stopped!");
        return finish(RunOutcome::Stopped);
    }
    const RunOutcome outcome = result != 0 ? RunOutcome::Success : RunOutcome::Fail;
    const std::string status(RunOutcomeText(outcome));
    StoreStatus(env.db, ftpid, projectName, status, now, observer);
    observer.OnProjectStatus(projectName, status);
    observer.OnLastBackupTime(projectName, FormatLocalTime(now, kLastBackupFormat));
    run.outcome = status;
    if (result == 0) {
        run.reason = !problem.empty()  ? problem
            : tally.failReason.empty() ? "The run failed for an unknown reason"
                                       : tally.failReason;
        observer.OnRunFailed(projectName, run.reason);
    }
    RecordHistory(env, projectName, ftpid, run, tally, observer, job);
    observer.OnResultText(result == 1 ? ResultText(tally, job.backupMode == kIncrementalBackupMode)
                                      : "Transmission Results: Failed!");
    return finish(outcome);
}

} // namespace vorn
