#include "engine/BackupRun.h"

#include "common/DecimalText.h"
#include "common/TimeText.h"
#include "engine/KeepAliveThread.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"
#include "engine/Walks.h"
#include "engine/ZipArchive.h"
#include "store/ProjectDb.h"

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

int RunBackupJob(const BackupJob& job, TransferTally& tally, const RunEnvironment& env)
{
    sf::Ftp first(false);
    sf::Ftp second(false);
    Configure(first, env);
    Configure(second, env);
    CancelRegistration cancelFirst(env.control, [&first] { first.Cancel(); });
    CancelRegistration cancelSecond(env.control, [&second] { second.Cancel(); });

    const WalkOptions options { false, job.backupMode, job.noCompression };
    WalkContext ctx;
    ctx.rules = job.rules;

    HZIP archive;
    std::string archivePath;
    if (!job.noCompression) {
        // Without a folder the archive would land in the file system's root.
        if (job.destinationFolder.empty())
            return 0;
        // The destination folder is made (one level) as for an uncompressed run, so a new
        // project's first compressed run does not fail on a folder it has never had.
        if (!EnsureLocalFolder(job.destinationFolder))
            return 0;
        archivePath = ArchivePath(job.destinationFolder, job.name, std::time(nullptr));
        archive = CreateZipdll(archivePath, job.zipPassword);
        if (!IsZipHandleZdll(archive))
            return 0;
    }

    int result = 0;
    std::string staging;
    {
        std::optional<KeepAliveThread> keepAlive;
        if (job.mode == 1 && ConnectAndLogin(job.source, first)) {
            const auto login = first.GetWorkingDirectory();
            if (login.IsOk()) {
                ctx.rootRemote = ctx.currentRemote = JoinLoginFolder(login.GetDirectory(), job.sourceFolder);
                ctx.rootLocal = ctx.currentLocal = job.destinationFolder;
                if (EnsureRemoteFolder(first, ctx.rootRemote) && EnsureLocalFolder(ctx.rootLocal)
                    && (!archive || !(staging = MakeStagingFolder(ctx.rootLocal)).empty())) {
                    keepAlive.emplace(first, nullptr);
                    result = DownloadWalk(first, ctx, options, tally, archive.get(), staging, env);
                } else {
                    first.Disconnect();
                }
            }
        } else if (job.mode == 2 && ConnectAndLogin(job.source, first)) {
            if (!ConnectAndLogin(job.destination, second)) {
                first.Disconnect();
            } else {
                const auto sourceLogin = first.GetWorkingDirectory();
                const auto destinationLogin = sourceLogin.IsOk()
                    ? second.GetWorkingDirectory()
                    : sf::Ftp::DirectoryResponse(sourceLogin, "");
                if (sourceLogin.IsOk() && destinationLogin.IsOk()) {
                    ctx.rootRemote = ctx.currentRemote
                        = JoinLoginFolder(sourceLogin.GetDirectory(), job.sourceFolder);
                    ctx.rootLocal = ctx.currentLocal
                        = JoinLoginFolder(destinationLogin.GetDirectory(), job.destinationFolder);
                    if (EnsureRemoteFolder(first, ctx.rootRemote)
                        && EnsureRemoteFolder(second, ctx.rootLocal)) {
                        keepAlive.emplace(first, &second);
                        result = TransferWalk(first, second, ctx, options, tally, env);
                    } else {
                        first.Disconnect();
                        second.Disconnect();
                    }
                }
            }
        }
        // keepAlive stops here, before the sessions it uses go away.
    }

    const bool stopped = env.control != nullptr && env.control->stopRequested();
    if (archive) {
        // An archive that cannot be finished (disk full) is no backup: the run fails.
        if (CloseZipdll(archive) != 0)
            result = 0;
        if (result != 1 || stopped)
            std::remove(archivePath.c_str());
    }
    if (!staging.empty()) {
        std::error_code ignored;
        std::filesystem::remove(staging, ignored); // only when empty: failed additions stay
    }
    return result;
}

RunOutcome RunProject(const std::string& projectName, const RunEnvironment& env)
{
    RunControl& control = *env.control;
    RunObserver nobody;
    RunObserver& observer = env.observer ? *env.observer : nobody;

    control.Begin();
    control.setRunProjectName(projectName);
    control.setRunState(RunState::Running);
    env.figures->ResetSpeed();
    env.figures->progressInfo.Reset();
    observer.OnRunStarted(projectName);

    auto finish = [&](RunOutcome outcome, const std::string& status) {
        control.setRunProjectName("");
        control.setRunState(RunState::Idle);
        observer.OnRunFinished(projectName, status);
        return outcome;
    };

    BackupProject project;
    if (!LoadProject(env.db, projectName, project)) {
        observer.OnProjectStatus(projectName, "Failed");
        observer.OnResultText("Transmission Results: Failed!");
        return finish(RunOutcome::Failed, "Failed");
    }
    observer.OnProjectStatus(projectName, "Running");
    const BackupJob job = MakeBackupJob(project);
    env.figures->runMode = project.ftptype;

    TransferTally tally;
    const int result = RunBackupJob(job, tally, env);

    const std::time_t now = std::time(nullptr);
    if (control.stopRequested()) {
        SetProjectStatus(env.db, projectName, "Stop", now);
        observer.OnProjectStatus(projectName, "Stop");
        observer.OnLastBackupTime(projectName, FormatLocalTime(now, kLastBackupFormat));
        observer.OnResultText("Transmission Results: stopped!");
        return finish(RunOutcome::Stopped, "Stop");
    }
    const std::string status = result != 0 ? "Success" : "Fail";
    SetProjectStatus(env.db, projectName, status, now);
    observer.OnProjectStatus(projectName, status);
    observer.OnLastBackupTime(projectName, FormatLocalTime(now, kLastBackupFormat));
    observer.OnResultText(result == 1 ? ResultText(tally) : "Transmission Results: Failed!");
    return finish(result != 0 ? RunOutcome::Success : RunOutcome::Fail, status);
}

} // namespace vorn
