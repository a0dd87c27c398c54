#include "runner/Unattended.h"

#include "common/TimeText.h"
#include "schedule/Schedule.h"
#include "store/AlertOptions.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"
#include "store/Secrets.h"
#include "store/Settings.h"

#include <algorithm>
#include <cstdio>

namespace vorn {

namespace {

constexpr std::time_t kDay = 24 * 60 * 60;
// A fire time within the last minute is the running scheduler's own to start.
constexpr std::time_t kOwnMinute = 60;

// Local "%m/%d/%Y %H:%M:%S" back to a time; 0 when it does not read.
std::time_t ParseLocalTime(const std::string& text)
{
    std::tm local {};
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d", &local.tm_mon, &local.tm_mday, &local.tm_year,
            &local.tm_hour, &local.tm_min, &local.tm_sec)
        != 6)
        return 0;
    local.tm_mon -= 1;
    local.tm_year -= 1900;
    local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    return when == -1 ? 0 : when;
}

std::time_t StateTime(ProjectDb* db, const std::string& name)
{
    const std::string text = LoadStateValue(db, name);
    try {
        return text.empty() ? 0 : static_cast<std::time_t>(std::stoll(text));
    } catch (...) {
        return 0;
    }
}

void Deliver(ProjectDb* db, const RunReport& report, const AlertOptions& options,
    const DeliveryPolicy& policy, const UnattendedNotice& notice)
{
    auto settings = LoadSettingsWithSecrets(db);
    if (!settings) {
        notice(report.project, "No alert was sent: " + settings.message());
        return;
    }
    for (const DeliveryOutcome& outcome :
        DeliverReport(*settings, ReceiversFor(*settings, options), report, policy))
        if (!outcome.status)
            notice(report.project,
                "The alert could not be sent (" + outcome.channel + "): " + outcome.status.message());
}

// The end of the newest successful run among the kept ones; 0 when there is none.
std::time_t LastSuccess(const std::vector<RunRecord>& runs)
{
    for (const RunRecord& run : runs)
        if (run.outcome == "Success")
            return run.end;
    return 0;
}

} // namespace

std::time_t LastFireTimeBetween(const ScheduleTexts& s, std::time_t after, std::time_t until)
{
    // Only the latest time counts: look back two days first (every-day plans), then a week
    // (weekday plans), then a month (month-day plans), so a plan of every minute stays cheap.
    for (const std::time_t window : { 2 * kDay, 8 * kDay, 32 * kDay }) {
        std::time_t from = std::max(after, until - window);
        std::time_t last = 0;
        for (int step = 0; step < 50'000 && from < until; ++step) {
            const std::time_t next = ParseLocalTime(
                ComputeNextBackupTime(s.planMode, s.plan, s.hour, s.minute, s.dayMode, from));
            if (next == 0 || next > until || next <= from)
                break;
            last = next;
            from = next;
        }
        if (last != 0 || until - window <= after)
            return last;
    }
    return 0;
}

std::vector<std::string> RecordMissedRuns(ProjectDb* db, std::time_t lastAlive, std::time_t now,
    const DeliveryPolicy& policy, const UnattendedNotice& notice)
{
    std::vector<std::string> catchUp;
    for (const PlanRow& row : QueryPlans(db)) {
        const std::time_t missed = LastFireTimeBetween(row.schedule, lastAlive, now - kOwnMinute);
        const auto ftpid = FindProjectId(db, row.name);
        if (missed == 0 || !ftpid)
            continue;
        const std::vector<RunRecord> runs = QueryRuns(db, *ftpid);
        if (!runs.empty() && runs.front().start >= missed - kOwnMinute)
            continue; // it ran (or was recorded missed) after that time
        RunRecord run;
        run.start = run.end = missed;
        run.outcome = "Missed";
        run.reason = "The scheduled run of " + FormatLocalTime(missed, "%m/%d/%Y %H:%M:%S")
            + " was missed: no scheduler was running";
        if (const Status recorded = RecordRun(db, *ftpid, run, {}); !recorded)
            notice(row.name, "The missed run could not be recorded: " + recorded.message());
        const AlertOptions options = LoadAlertOptions(db, *ftpid);
        if (options.catchUp)
            catchUp.push_back(row.name);
        const RunReport report { row.name, run, {}, 0 };
        if (ShouldNotify(options.notify, report))
            Deliver(db, report, options, policy, notice);
    }
    return catchUp;
}

void CheckStaleProjects(
    ProjectDb* db, std::time_t now, const DeliveryPolicy& policy, const UnattendedNotice& notice)
{
    for (const ProjectListRow& project : QueryProjectList(db)) {
        const auto ftpid = FindProjectId(db, project.ftpname);
        if (!ftpid)
            continue;
        const AlertOptions options = LoadAlertOptions(db, *ftpid);
        if (options.alertAfterDays <= 0)
            continue;
        const std::string id = std::to_string(*ftpid);
        const std::time_t success = LastSuccess(QueryRuns(db, *ftpid));
        // A project that never succeeded counts from when the scheduler first watched it.
        std::time_t base = success;
        if (base == 0) {
            base = StateTime(db, "stale-since." + id);
            if (base == 0) {
                (void)SaveStateValue(db, "stale-since." + id, std::to_string(now));
                continue;
            }
        }
        const std::time_t period = std::time_t(options.alertAfterDays) * kDay;
        if (now - base < period)
            continue;
        const std::time_t due = base + (now - base) / period * period;
        if (StateTime(db, "stale-alerted." + id) >= due)
            continue;
        RunReport report;
        report.project = project.ftpname;
        report.staleDays = int((now - base) / kDay);
        report.run.end = success;
        report.run.outcome = "Stale";
        Deliver(db, report, options, policy, notice);
        (void)SaveStateValue(db, "stale-alerted." + id, std::to_string(now));
    }
}

std::vector<std::string> SchedulerHousekeeping(
    ProjectDb* db, std::time_t now, bool first, const DeliveryPolicy& policy, const UnattendedNotice& notice)
{
    std::vector<std::string> catchUp;
    if (first) {
        const std::time_t lastAlive = StateTime(db, "scheduler-alive");
        if (lastAlive > 0 && lastAlive < now)
            catchUp = RecordMissedRuns(db, lastAlive, now, policy, notice);
    }
    (void)SaveStateValue(db, "scheduler-alive", std::to_string(now));
    CheckStaleProjects(db, now, policy, notice);
    return catchUp;
}

} // namespace vorn
