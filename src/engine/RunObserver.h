#pragma once

#include "engine/RunOutcome.h"

#include <cstdint>
#include <string>

namespace vorn {

// A file row's final status. The views, the headless command and the history make their
// texts from it (FileStatusText); nothing compares the texts.
enum class FileStatus {
    Success, // copied ("Success")
    Failed, // not copied; the row carries the reason ("Failed")
    Ignored, // left out by the rules, or kept as it is ("Ignore")
    WouldCopy, // a dry run would copy it ("Would copy")
    WouldRestore, // a dry restore would restore it ("Would restore")
    Excluded, // left out by the project's exclude patterns; only a dry run lists it ("Excluded")
};

// The project's "Transfer Status" as a run reports it: running, then how it ended.
enum class ProjectStatus {
    Running, // "Running"
    Success, // "Success"
    Fail, // "Fail"
    Failed, // "Failed"
    Stopped, // "Stop"
};

[[nodiscard]] constexpr ProjectStatus ProjectStatusOf(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::Success:
        return ProjectStatus::Success;
    case RunOutcome::Fail:
        return ProjectStatus::Fail;
    case RunOutcome::Failed:
        return ProjectStatus::Failed;
    case RunOutcome::Stopped:
        return ProjectStatus::Stopped;
    }
    return ProjectStatus::Fail;
}

// The texts the status list, the project list, the console and the history show for a status.
[[nodiscard]] constexpr std::string_view FileStatusText(FileStatus status)
{
    switch (status) {
    case FileStatus::Success:
        return "Success";
    case FileStatus::Failed:
        return "Failed";
    case FileStatus::Ignored:
        return "Ignore";
    case FileStatus::WouldCopy:
        return "Would copy";
    case FileStatus::WouldRestore:
        return "Would restore";
    case FileStatus::Excluded:
        return "Excluded";
    }
    return "Failed";
}

[[nodiscard]] constexpr std::string_view ProjectStatusText(ProjectStatus status)
{
    switch (status) {
    case ProjectStatus::Running:
        return "Running";
    case ProjectStatus::Success:
        return RunOutcomeText(RunOutcome::Success);
    case ProjectStatus::Fail:
        return RunOutcomeText(RunOutcome::Fail);
    case ProjectStatus::Failed:
        return RunOutcomeText(RunOutcome::Failed);
    case ProjectStatus::Stopped:
        return RunOutcomeText(RunOutcome::Stopped);
    }
    return "Fail";
}

// How much a notice about a run as a whole matters.
enum class NoticeSeverity {
    Info, // a line beyond the files' rows: a retry, an old archive removed, sessions refused
    Warning, // something the user should know that does not change the run's outcome
    Problem, // something the user must hear: a stored value the run cannot use, a result
             // it could not store; the headless command's exit status shows it
};

// What a run reports. Every method is called on the run's worker thread, in the order the
// effects happen; the desktop adapter queues them to the GUI thread (keeping that order),
// the headless command prints them. Default bodies do nothing.
class RunObserver {
public:
    virtual ~RunObserver() = default;

    // The run has begun for `projectName` (before the project is loaded).
    virtual void OnRunStarted(const std::string& projectName) { }
    // The project's "Transfer Status" cell.
    virtual void OnProjectStatus(const std::string& projectName, ProjectStatus status) { }
    // The project's "Last Backup Time" cell ("%m/%d/%Y %H:%M:%S").
    virtual void OnLastBackupTime(const std::string& projectName, const std::string& timeText) { }
    // A file row inserted at the top of the status list with status "...". `rowId` names the
    // row in later status changes (unique for the life of the process).
    virtual void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText,
        const std::string& remotePath, const std::string& sizeText)
    {
    }
    // A row's final status. `reason` says in one line why a Failed row failed (the server's
    // own words where there are some); on a Success row it is a note (a copy whose size nobody
    // gave, so it could not be checked); on an Ignored row why it was kept; else empty.
    virtual void OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason) { }
    // Why the run failed as a whole ("Fail": no connection, refused login, no destination,
    // archive not written), just before the result line.
    virtual void OnRunFailed(const std::string& projectName, const std::string& reason) { }
    // The result line under the status list.
    virtual void OnResultText(const std::string& text) { }
    // One line about the run as a whole, of `severity`; `projectName` names the run's project
    // where the notice is about it ("" otherwise). Problems come before OnRunFinished.
    virtual void OnRunNotice(NoticeSeverity severity, const std::string& projectName, const std::string& text)
    {
    }
    // The run is over, with `outcome`; runState is 0 again.
    virtual void OnRunFinished(const std::string& projectName, RunOutcome outcome) { }
};

} // namespace vorn
