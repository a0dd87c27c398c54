#include "engine/BackupRun.h"

#include "common/DecimalText.h"
#include "common/TimeText.h"
#include "engine/FailureReason.h"
#include "engine/KeepAliveThread.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/RunRecorder.h"
#include "engine/TransferFigures.h"
#include "engine/Walks.h"
#include "engine/ZipArchive.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <unistd.h>

namespace vorn {

std::int64_t ClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

std::uint16_t PortOf(const std::string& text)
{
    const std::int64_t port = ParseDecimal(text);
    return std::uint16_t(port); // stored as typed; the editor keeps it in range
}

const char* kLastBackupFormat = "%m/%d/%Y %H:%M:%S";

// Prepares a session for a run: data-connection mode, the pause/stop hook between transfer
// chunks, and Stop cancelling its waits.
void Configure(sf::Ftp& ftp, const RunEnvironment& env)
{
    ftp.SetPassive(env.passive);
    if (env.timeout.count() > 0) {
        ftp.SetConnectTimeout(env.timeout);
        ftp.SetInactivityTimeout(env.timeout);
    }
    if (env.control) {
        RunControl* control = env.control;
        ftp.SetTransferHook([control] { return control->WaitWhilePaused(); });
    }
}

// A private folder for the downloads of a compressed run, so that a file of the same name
// that already lies in the destination folder is never overwritten or deleted.
std::string MakeStagingFolder(const std::string& destination)
{
    std::string pattern = (destination.empty() ? std::string(".") : destination) + "/.vornbackup-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern;
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

std::string ArchivePath(const std::string& destinationFolder, const std::string& name, std::time_t now)
{
    // A "/" in the project name would point into another folder.
    std::string fileName = name;
    for (char& c : fileName)
        if (c == '/')
            c = '_';
    std::string path = destinationFolder;
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + fileName + "_" + FormatLocalTime(now, "%y%m%d%H%M%S") + ".zip";
}

std::string ResultText(const TransferTally& tally)
{
    return "Transmission Results: Folder(s):" + std::to_string(tally.foldersDone) + ", File(s):"
        + std::to_string(tally.filesDone) + ", Failed Folder(s):" + std::to_string(tally.foldersFailed)
        + ", Failed File(s):" + std::to_string(tally.filesFailed) + ".";
}

BackupJob MakeBackupJob(const BackupProject& project)
{
    BackupJob job;
    job.source = { project.ftpip, project.ftpuser, project.ftppassword, PortOf(project.ftpport) };
    if (project.ftptype == 2)
        job.destination
            = { project.ftpdestip, project.ftpdestuser, project.ftpdestpass, PortOf(project.ftpdestport) };
    job.sourceFolder = project.ftpsource;
    if (project.ftptype == 1)
        job.destinationFolder = project.ftpdest;
    else if (project.ftptype == 2)
        job.destinationFolder = project.ftpdestpath;
    job.rules = ParseFilterRules(project.ftprule);
    job.mode = project.ftptype;
    job.backupMode = project.ftpbackmode;
    job.name = project.ftpname;
    // Archives are made of local downloads only; a server-to-server copy has none.
    job.noCompression = !project.ftpiscompress || project.ftptype != 1;
    job.zipPassword = project.ftpcompass;
    return job;
}

namespace {

// The sessions and the walk state of one job.
struct JobSessions {
    sf::Ftp first { false };
    sf::Ftp second { false };
    WalkContext ctx;
};

int Fail(TransferTally& tally, std::string reason)
{
    tally.failReason = std::move(reason);
    return 0;
}

// The login folder of a session that has just logged in, or why there is none.
std::optional<std::string> LoginFolder(sf::Ftp& ftp, TransferTally& tally)
{
    const auto login = ftp.GetWorkingDirectory();
    if (!login.IsOk()) {
        tally.failReason = "The login folder is unknown: " + ReplyReason(login);
        return std::nullopt;
    }
    return login.GetDirectory();
}

// Ftp->Local: connects, ensures the root folders and walks. The keep-alive thread ends here,
// before the sessions it uses.
int RunDownload(const BackupJob& job, JobSessions& s, TransferTally& tally, ZipArchive* archive,
    std::string& staging, const RunEnvironment& env)
{
    if (auto connected = ConnectAndLogin(job.source, s.first); !connected)
        return Fail(tally, connected.message);
    const auto login = LoginFolder(s.first, tally);
    if (!login)
        return 0;
    s.ctx.rootRemote = s.ctx.currentRemote = JoinLoginFolder(*login, job.sourceFolder);
    s.ctx.rootLocal = s.ctx.currentLocal = job.destinationFolder;
    OpResult ready = EnsureRemoteFolder(s.first, s.ctx.rootRemote);
    if (ready)
        ready = EnsureLocalFolder(s.ctx.rootLocal);
    if (ready && archive && (staging = MakeStagingFolder(s.ctx.rootLocal)).empty())
        ready = OpResult::Failure("Cannot create a working folder in " + s.ctx.rootLocal);
    if (!ready) {
        s.first.Disconnect();
        return Fail(tally, ready.message);
    }
    const WalkOptions options { false, job.backupMode, job.noCompression };
    KeepAliveThread keepAlive(s.first, nullptr);
    return DownloadWalk(s.first, s.ctx, options, tally, archive, staging, env);
}

// Ftp->Ftp: connects both servers, ensures both root folders and walks.
int RunRelay(const BackupJob& job, JobSessions& s, TransferTally& tally, const RunEnvironment& env)
{
    if (auto connected = ConnectAndLogin(job.source, s.first); !connected)
        return Fail(tally, connected.message);
    if (auto connected = ConnectAndLogin(job.destination, s.second); !connected) {
        s.first.Disconnect();
        return Fail(tally, "Destination: " + connected.message);
    }
    const auto sourceLogin = LoginFolder(s.first, tally);
    const auto destinationLogin = sourceLogin ? LoginFolder(s.second, tally) : std::nullopt;
    if (!destinationLogin)
        return 0;
    s.ctx.rootRemote = s.ctx.currentRemote = JoinLoginFolder(*sourceLogin, job.sourceFolder);
    s.ctx.rootLocal = s.ctx.currentLocal = JoinLoginFolder(*destinationLogin, job.destinationFolder);
    OpResult ready = EnsureRemoteFolder(s.first, s.ctx.rootRemote);
    if (ready) {
        ready = EnsureRemoteFolder(s.second, s.ctx.rootLocal);
        if (!ready)
            ready.message = "Destination: " + ready.message;
    }
    if (!ready) {
        s.first.Disconnect();
        s.second.Disconnect();
        return Fail(tally, ready.message);
    }
    const WalkOptions options { false, job.backupMode, job.noCompression };
    KeepAliveThread keepAlive(s.first, &s.second);
    return TransferWalk(s.first, s.second, s.ctx, options, tally, env);
}

} // namespace

int RunBackupJob(const BackupJob& job, TransferTally& tally, const RunEnvironment& env)
{
    JobSessions sessions;
    Configure(sessions.first, env);
    Configure(sessions.second, env);
    CancelRegistration cancelFirst(env.control, [&sessions] { sessions.first.Cancel(); });
    CancelRegistration cancelSecond(env.control, [&sessions] { sessions.second.Cancel(); });
    sessions.ctx.rules = job.rules;

    HZIP archive;
    std::string archivePath;
    if (!job.noCompression) {
        // Without a folder the archive would land in the file system's root.
        if (job.destinationFolder.empty())
            return Fail(tally, "No destination folder is set for the archive");
        // The destination folder is made (one level) as for an uncompressed run, so a new
        // project's first compressed run does not fail on a folder it has never had.
        if (auto folder = EnsureLocalFolder(job.destinationFolder); !folder)
            return Fail(tally, folder.message);
        archivePath = ArchivePath(job.destinationFolder, job.name, std::time(nullptr));
        std::string why;
        archive = CreateZipdll(archivePath, job.zipPassword, &why);
        if (!IsZipHandleZdll(archive))
            return Fail(tally, ArchiveReason({ ZipError::Code::Io, why }, archivePath));
    }

    int result = 0;
    std::string staging;
    if (job.mode == 1)
        result = RunDownload(job, sessions, tally, archive.get(), staging, env);
    else if (job.mode == 2)
        result = RunRelay(job, sessions, tally, env);
    else
        result = Fail(tally, "The project has no known backup type");

    const bool stopped = env.control != nullptr && env.control->stopRequested();
    if (archive) {
        // An archive that cannot be finished (disk full) is no backup: the run fails.
        std::string why;
        if (CloseZipdll(archive, &why) != 0 && result == 1)
            result = Fail(tally, ArchiveReason({ ZipError::Code::Io, why }, archivePath));
        if (result != 1 || stopped)
            std::remove(archivePath.c_str());
        else
            tally.archivePath = archivePath;
    }
    if (!staging.empty()) {
        std::error_code ignored;
        std::filesystem::remove(staging, ignored); // only when empty: failed additions stay
    }
    return result;
}

namespace {

// Writes the run into the project's history. A failed write is reported and changes nothing
// else: the backup itself is done.
void RecordHistory(const RunEnvironment& env, const std::string& projectName,
    std::optional<std::int64_t> ftpid, RunRecord run, const TransferTally& tally, RunRecorder& recorder,
    const BackupJob& job)
{
    if (!ftpid)
        return;
    run.filesCopied = tally.filesDone;
    run.filesFailed = tally.filesFailed;
    run.foldersFailed = tally.foldersFailed;
    run.bytes = env.figures->transferredBytes;
    run.archivePath = tally.archivePath;
    std::vector<FailedItem> failed;
    // A run that failed as a whole lists its source folder as the first failed item.
    if (!run.reason.empty())
        failed.push_back({ JoinLoginFolder("/", job.sourceFolder), run.reason });
    failed.insert(failed.end(), recorder.failed().begin(), recorder.failed().end());
    const std::string error = RecordRun(env.db, *ftpid, run, failed);
    if (!error.empty())
        recorder.OnRunWarning(projectName, "The run history could not be written: " + error);
}

} // namespace

RunOutcome RunProject(const std::string& projectName, const RunEnvironment& env)
{
    RunControl& control = *env.control;
    RunObserver nobody;
    RunRecorder observer(env.observer ? *env.observer : nobody);
    RunEnvironment recorded = env;
    recorded.observer = &observer;

    control.Reset();
    control.setRunProjectName(projectName);
    control.setRunState(1);
    env.figures->ResetSpeed();
    env.figures->progressInfo.Reset();
    observer.OnRunStarted(projectName);
    RunRecord run;
    run.start = std::time(nullptr);

    auto finish = [&](RunOutcome outcome, const std::string& status) {
        control.setRunProjectName("");
        control.setRunState(0);
        observer.OnRunFinished(projectName, status);
        return outcome;
    };

    BackupProject project;
    if (!LoadProject(env.db, projectName, project)) {
        observer.OnProjectStatus(projectName, "Failed");
        observer.OnResultText("Transmission Results: Failed!");
        return finish(RunOutcome::Failed, "Failed");
    }
    const auto ftpid = FindProjectId(env.db, projectName);
    observer.OnProjectStatus(projectName, "Running");
    const BackupJob job = MakeBackupJob(project);
    env.figures->runMode = project.ftptype;

    TransferTally tally;
    const int result = RunBackupJob(job, tally, recorded);

    const std::time_t now = std::time(nullptr);
    run.end = now;
    if (control.stopRequested()) {
        SetProjectStatus(env.db, projectName, "Stop", now);
        observer.OnProjectStatus(projectName, "Stop");
        observer.OnLastBackupTime(projectName, FormatLocalTime(now, kLastBackupFormat));
        run.outcome = "Stop";
        RecordHistory(env, projectName, ftpid, run, tally, observer, job);
        observer.OnResultText("Transmission Results: stopped!");
        return finish(RunOutcome::Stopped, "Stop");
    }
    const std::string status = result != 0 ? "Success" : "Fail";
    SetProjectStatus(env.db, projectName, status, now);
    observer.OnProjectStatus(projectName, status);
    observer.OnLastBackupTime(projectName, FormatLocalTime(now, kLastBackupFormat));
    run.outcome = status;
    if (result == 0) {
        run.reason = tally.failReason.empty() ? "The run failed for an unknown reason" : tally.failReason;
        observer.OnRunFailed(projectName, run.reason);
    }
    RecordHistory(env, projectName, ftpid, run, tally, observer, job);
    observer.OnResultText(result == 1 ? ResultText(tally) : "Transmission Results: Failed!");
    return finish(result != 0 ? RunOutcome::Success : RunOutcome::Fail, status);
}

} // namespace vorn
