#include "engine/restore/RestoreProject.h"

#include "engine/BackupRun.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/RunRecorder.h"
#include "engine/restore/SourceUpload.h"
#include "store/BackupProject.h"
#include "store/CopiedFiles.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

namespace vorn {

namespace {

std::string ArchivePrefixOf(const std::string& projectName)
{
    std::string prefix = projectName;
    std::replace(prefix.begin(), prefix.end(), '/', '_');
    return prefix + "_";
}

bool IsNumber(const std::string& text)
{
    return !text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsTime(const std::string& text)
{
    return text.size() >= 10 && text[4] == '-' && text[7] == '-';
}

} // namespace

Result<RestoreSource> OpenProjectBackup(ProjectDb* db, const std::string& projectName)
{
    BackupProject project;
    if (!LoadProject(db, projectName, project))
        return MakeError(ErrorKind::Invalid, "No project is named \"" + projectName + "\".");
    RestoreSource source;
    BackupJob job = MakeBackupJob(project);
    // The servers are reached as the backup reached them (key file, code page of names).
    if (LoadProjectOptions(db, projectName, job.options)) {
        ApplySessionOptions(job.options, job.source);
        ApplySessionOptions(job.options, job.destination);
    }
    source.sourceLogin = job.source;
    source.sourceFolder = job.sourceFolder;
    if (project.type() == FtpType::FtpToFtp) {
        source.kind = RestoreSource::Kind::ServerCopy;
        source.server = { job.destination, job.destinationFolder };
        return source;
    }
    if (project.type() != FtpType::FtpToLocal)
        return MakeError(ErrorKind::Invalid, "\"" + projectName + "\" has no backup type a restore knows.");
    source.folder = project.ftpdest;
    if (!project.ftpiscompress) {
        source.kind = RestoreSource::Kind::LocalCopy;
        return source;
    }
    Result<BackupArchives> archives = OpenBackupArchives(project.ftpdest, project.ftpcompass,
        LoadArchiveRecords(db, projectName), ArchivePrefixOf(projectName));
    if (!archives)
        return archives.error();
    source.archives = std::move(*archives);
    return source;
}

Result<RestoreSource> OpenArchiveFolder(
    const std::string& folder, const std::string& password, const std::string& projectName)
{
    Result<BackupArchives> archives
        = OpenBackupArchives(folder, password, {}, projectName.empty() ? "" : ArchivePrefixOf(projectName));
    if (!archives)
        return archives.error();
    RestoreSource source;
    source.folder = folder;
    source.archives = std::move(*archives);
    return source;
}

std::vector<RestorePoint> RestorePoints(const RestoreSource& source)
{
    std::vector<RestorePoint> points;
    if (source.kind != RestoreSource::Kind::Archives)
        return points;
    const std::vector<BackupArchive>& archives = source.archives.archives;
    for (std::size_t i = 0; i < archives.size(); ++i)
        if (archives[i].present)
            points.push_back({ i, archives[i].written, archives[i].file, archives[i].full });
    return points;
}

Result<std::size_t> ChooseRestorePoint(const RestoreSource& source, const std::string& at)
{
    if (source.kind != RestoreSource::Kind::Archives)
        return at.empty()
            ? Result<std::size_t>(0)
            : MakeError(ErrorKind::Invalid, "A copy has only its present state; --at does not apply.");
    const std::vector<RestorePoint> points = RestorePoints(source);
    if (points.empty())
        return MakeError(ErrorKind::Invalid, "No archive is there to restore from.");
    if (at.empty())
        return points.back().archive;
    if (IsNumber(at)) {
        const std::size_t n = std::stoul(at);
        if (n == 0 || n > points.size())
            return MakeError(ErrorKind::Invalid,
                "There are " + std::to_string(points.size())
                    + " points in time; --at counts them from 1 (the newest).");
        return points[points.size() - n].archive;
    }
    for (auto it = points.rbegin(); it != points.rend(); ++it)
        if (it->file == at || (IsTime(at) && it->time.substr(0, at.size()) <= at))
            return it->archive;
    return MakeError(ErrorKind::Invalid,
        IsTime(at) ? "No point in time is at or before " + at + "." : "No archive is named \"" + at + "\".");
}

Result<std::vector<RestoreItem>> RestoreItemsAt(const RestoreSource& source, std::size_t point)
{
    if (source.kind == RestoreSource::Kind::LocalCopy)
        return ItemsInFolder(source.folder);
    if (source.kind == RestoreSource::Kind::ServerCopy)
        return ItemsOnServer(source.server, {});
    return ItemsAt(source.archives, point);
}

RestoreTally RestoreItems(const RestoreSource& source, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env)
{
    if (source.kind == RestoreSource::Kind::LocalCopy)
        return RestoreFromFolder(source.folder, items, request, env);
    if (source.kind == RestoreSource::Kind::ServerCopy)
        return RestoreFromServer(source.server, items, request, env);
    return RestoreFromArchives(source.archives, items, request, env);
}

namespace {

// A run whose walk did not cover the whole tree lists only the files it saw.
void NoteIncomplete(const RestoreSource& source, std::size_t point, RunObserver& observer)
{
    if (source.kind == RestoreSource::Kind::Archives && !source.archives.archives[point].complete)
        observer.OnRunNotice(NoticeSeverity::Info, {}, "The run of " + source.archives.archives[point].written
            + " did not read the whole tree: files in folders it could not read are not in this point in "
              "time.");
}

// Finds the point, restores it and reports the way a run does; the outcome and the tally.
// Restores the items of a point once they are known: to the target folder or the server.
RestoreTally RestoreKnown(const RestoreSource& source, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env)
{
    if (!request.toSource)
        return RestoreItems(source, items, request, env);
    if (source.sourceLogin.host.empty()) {
        RestoreTally tally;
        tally.failReason = "Without the project's database there is no source server to restore to.";
        return tally;
    }
    const std::string folder = request.toSource->empty() ? source.sourceFolder : *request.toSource;
    return RestoreToServer(source, items, { source.sourceLogin, folder }, request, env);
}

RunOutcome Restore(const Result<RestoreSource>& source, const std::string& name, const std::string& at,
    const RestoreRequest& request, RestoreEnvironment env, RestoreTally& tally)
{
    RunObserver& observer = *env.observer;
    if (!source) {
        tally.failReason = source.message();
    } else if (const Result<std::size_t> point = ChooseRestorePoint(*source, at); !point) {
        tally.failReason = point.message();
    } else if (const auto items = RestoreItemsAt(*source, *point); !items) {
        tally.failReason = items.message();
    } else {
        NoteIncomplete(*source, *point, observer);
        tally = RestoreKnown(*source, *items, request, env);
    }
    const RunOutcome outcome = tally.stopped ? RunOutcome::Stopped
        : !tally.failReason.empty()          ? RunOutcome::Fail
                                             : RunOutcome::Success;
    if (!tally.failReason.empty())
        observer.OnRunFailed(name, tally.failReason);
    observer.OnResultText(RestoreResultText(tally, request.dryRun));
    return outcome;
}

// Runs `body` between the start and the end of a run as the control and the observer know
// them.
template <class Body> RunOutcome AsRun(const std::string& name, const RestoreEnvironment& env, Body body)
{
    RunControl ownControl;
    RunControl& control = env.control != nullptr ? *env.control : ownControl;
    control.Begin();
    control.setRunProjectName(name);
    control.setRunState(RunState::Running);
    RestoreEnvironment inner = env;
    inner.control = &control;
    const RunOutcome outcome = body(inner);
    control.setRunProjectName("");
    control.setRunState(RunState::Idle);
    if (env.observer != nullptr)
        env.observer->OnRunFinished(name, std::string(RunOutcomeText(outcome)));
    return outcome;
}

} // namespace

RunOutcome RestoreProject(ProjectDb* db, const std::string& projectName, const std::string& at,
    const RestoreRequest& request, const RestoreEnvironment& env)
{
    RunObserver nobody;
    RunRecorder recorder(env.observer != nullptr ? *env.observer : nobody);
    recorder.OnRunStarted(projectName);
    const auto ftpid = FindProjectId(db, projectName);
    if (!ftpid) {
        recorder.OnResultText("Restore Results: Failed!");
        recorder.OnRunFinished(projectName, std::string(RunOutcomeText(RunOutcome::Failed)));
        return RunOutcome::Failed;
    }
    RestoreEnvironment observed = env;
    observed.observer = &recorder;
    RunRecord run;
    run.kind = "restore";
    run.start = std::time(nullptr);
    RestoreTally tally;
    const RunOutcome outcome = AsRun(projectName, observed, [&](const RestoreEnvironment& inner) {
        return Restore(OpenProjectBackup(db, projectName), projectName, at, request, inner, tally);
    });
    if (request.dryRun)
        return outcome;
    run.end = std::time(nullptr);
    run.outcome = std::string(RunOutcomeText(outcome));
    run.reason = tally.failReason;
    run.filesCopied = tally.filesDone;
    run.filesFailed = tally.filesFailed;
    run.bytes = tally.bytes;
    if (const std::string error = RecordRun(db, *ftpid, run, recorder.failed()); !error.empty())
        recorder.OnRunNotice(NoticeSeverity::Warning, projectName, "The run history could not be written: " + error);
    return outcome;
}

RunOutcome RestoreArchiveFolder(const std::string& folder, const std::string& password,
    const std::string& projectName, const std::string& at, const RestoreRequest& request,
    const RestoreEnvironment& env)
{
    RunObserver nobody;
    RestoreEnvironment observed = env;
    if (observed.observer == nullptr)
        observed.observer = &nobody;
    const std::string name = projectName.empty() ? folder : projectName;
    observed.observer->OnRunStarted(name);
    RestoreTally tally;
    return AsRun(name, observed, [&](const RestoreEnvironment& inner) {
        return Restore(OpenArchiveFolder(folder, password, projectName), name, at, request, inner, tally);
    });
}

} // namespace vorn
