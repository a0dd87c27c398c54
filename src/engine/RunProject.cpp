#include "common/PortText.h"
#include "common/TimeText.h"
#include "engine/BackupRun.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/RunRecorder.h"
#include "engine/TransferFigures.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"
#include "store/Secrets.h"

#include <ctime>
#include <optional>

// A run of a stored project from its start to its end: loading it once, its status cells,
// the job, and what the run leaves in the project's records (status, run time, history).

namespace vorn {

namespace {

const char* kLastBackupFormat = "%m/%d/%Y %H:%M:%S";

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
    if (const Status stored = SetProjectStatusById(db, ftpid, status, now); !stored)
        observer.OnRunNotice(NoticeSeverity::Problem, name,
            "The status \"" + status + "\" and the run time of \"" + name
                + "\" could not be stored in the database" + (db ? " " + db->path() : std::string()) + ": "
                + stored.message() + ".");
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
    if (const Status recorded = RecordRun(env.db, ftpid, run, failed); !recorded)
        recorder.OnRunNotice(NoticeSeverity::Warning, projectName,
            "The run history could not be written: " + recorded.message());
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
        observer.OnRunFinished(projectName, outcome);
        return outcome;
    };

    if (RefusedByNewerDatabase(env.db, projectName, observer))
        return finish(RunOutcome::Fail);
    // Read once: its ftpid names its row for the run, whatever the window renames meanwhile.
    std::optional<LoadedProject> loaded = LoadProjectForRun(env.db, projectName);
    if (!loaded) {
        observer.OnProjectStatus(projectName, ProjectStatus::Failed);
        observer.OnResultText("Transmission Results: Failed!");
        return finish(RunOutcome::Failed);
    }
    BackupProject& project = loaded->record;
    const std::int64_t ftpid = loaded->ftpid;
    observer.OnProjectStatus(projectName, ProjectStatus::Running);
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
        observer.OnProjectStatus(projectName, ProjectStatus::Stopped);
        observer.OnLastBackupTime(projectName, FormatLocalTime(now, kLastBackupFormat));
        run.outcome = stopped;
        RecordHistory(env, projectName, ftpid, run, tally, observer, job);
        observer.OnResultText("Transmission Results: stopped!");
        return finish(RunOutcome::Stopped);
    }
    const RunOutcome outcome = result != 0 ? RunOutcome::Success : RunOutcome::Fail;
    const std::string status(RunOutcomeText(outcome));
    StoreStatus(env.db, ftpid, projectName, status, now, observer);
    observer.OnProjectStatus(projectName, ProjectStatusOf(outcome));
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
