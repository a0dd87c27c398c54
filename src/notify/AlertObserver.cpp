#include "notify/AlertObserver.h"

#include "store/AlertOptions.h"
#include "store/ProjectDb.h"
#include "store/Secrets.h"

namespace vorn {

namespace {

struct ProjectAlerts {
    DatabaseSettings settings;
    AlertOptions options;
    std::optional<std::int64_t> ftpid;
    std::string problem; // why the settings could not be read
};

ProjectAlerts LoadProjectAlerts(ProjectDb* db, const std::string& name)
{
    ProjectAlerts alerts;
    auto settings = LoadSettingsWithSecrets(db);
    if (!settings)
        alerts.problem = settings.message();
    else
        alerts.settings = std::move(*settings);
    alerts.ftpid = FindProjectId(db, name);
    if (alerts.ftpid)
        alerts.options = LoadAlertOptions(db, *alerts.ftpid);
    return alerts;
}

} // namespace

AlertObserver::AlertObserver(RunObserver* inner, ProjectDb* db, DeliveryPolicy policy)
    : ForwardingObserver(inner)
    , db_(db)
    , policy_(std::move(policy))
{
}

void AlertObserver::OnRunStarted(const std::string& projectName)
{
    started_ = std::time(nullptr);
    reason_.clear();
    paths_.clear();
    failed_.clear();
    ForwardingObserver::OnRunStarted(projectName);
    const ProjectAlerts alerts = LoadProjectAlerts(db_, projectName);
    const AlertReceivers receivers = ReceiversFor(alerts.settings, alerts.options);
    if (alerts.options.notify == NotifyWhen::Never || !HookHasStartPing(receivers.hookUrl))
        return;
    const std::string url = HookUrlFor(receivers.hookUrl, "start");
    Report(projectName, { { "web hook " + url, PostHook(url, StartJson(projectName, started_), policy_) } });
}

void AlertObserver::OnFileRowInserted(std::uint64_t rowId, const std::string& timeText,
    const std::string& remotePath, const std::string& sizeText)
{
    paths_[rowId] = remotePath;
    ForwardingObserver::OnFileRowInserted(rowId, timeText, remotePath, sizeText);
}

void AlertObserver::OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason)
{
    if (const auto row = paths_.find(rowId); row != paths_.end()) {
        if (status == FileStatus::Failed)
            failed_.push_back({ row->second, reason });
        paths_.erase(row);
    }
    ForwardingObserver::OnFileRowStatus(rowId, status, reason);
}

void AlertObserver::OnRunFailed(const std::string& projectName, const std::string& reason)
{
    reason_ = reason;
    ForwardingObserver::OnRunFailed(projectName, reason);
}

RunReport AlertObserver::BuildReport(const std::string& projectName, const std::string& status) const
{
    RunReport report;
    report.project = projectName;
    // The history has the run's full counts and bytes; it was written just before the end.
    if (const auto ftpid = FindProjectId(db_, projectName)) {
        const std::vector<RunRecord> runs = QueryRuns(db_, *ftpid);
        if (!runs.empty() && runs.front().start >= started_ - 1 && runs.front().outcome == status) {
            report.run = runs.front();
            report.failed = QueryFailedItems(db_, report.run.id);
            return report;
        }
    }
    // No record (the project could not be loaded, or the history could not be written).
    report.run.outcome = status;
    report.run.start = started_;
    report.run.end = std::time(nullptr);
    report.run.reason = reason_;
    report.run.filesFailed = failed_.size();
    report.failed = failed_;
    return report;
}

void AlertObserver::OnRunFinished(const std::string& projectName, RunOutcome outcome)
{
    const ProjectAlerts alerts = LoadProjectAlerts(db_, projectName);
    const RunReport report = BuildReport(projectName, std::string(RunOutcomeText(outcome)));
    AlertReceivers receivers = ReceiversFor(alerts.settings, alerts.options);
    if (!ShouldNotify(alerts.options.notify, report)) {
        // A monitoring URL that got the start hears of the end too, or it would wait for it.
        receivers.mailTo.clear();
        if (alerts.options.notify == NotifyWhen::Never || !HookHasStartPing(receivers.hookUrl))
            receivers.hookUrl.clear();
    }
    if (!alerts.problem.empty() && (!receivers.mailTo.empty() || !receivers.hookUrl.empty()))
        ForwardingObserver::OnRunNotice(
            NoticeSeverity::Warning, projectName, "No alert was sent: " + alerts.problem);
    else
        Report(projectName, DeliverReport(alerts.settings, receivers, report, policy_));
    ForwardingObserver::OnRunFinished(projectName, outcome);
}

void AlertObserver::Report(const std::string& projectName, const std::vector<DeliveryOutcome>& outcomes)
{
    for (const DeliveryOutcome& outcome : outcomes)
        if (!outcome.status)
            ForwardingObserver::OnRunNotice(NoticeSeverity::Warning, projectName,
                "The alert could not be sent (" + outcome.channel + "): " + outcome.status.message());
}

} // namespace vorn
