#pragma once

#include "notify/Delivery.h"
#include "store/ProjectOptions.h"
#include "store/RunHistory.h"
#include "store/Settings.h"

#include <ctime>
#include <string>
#include <vector>

namespace vorn {

class ProjectDb;

// What an alert says about a run (or about a project that has not run as it should).
struct RunReport {
    std::string project;
    RunRecord run; // counts, bytes, times, outcome text ("Success", "Fail", "Stop", "Missed")
    std::vector<FailedItem> failed; // in the order the run met them
    int staleDays = 0; // above 0: no run succeeded for this many days (no run is described)
};

// The first failed items an e-mail lists; the rest are only counted.
inline constexpr std::size_t kMailedFailures = 50;

// The outcome in a few words: "succeeded", "3 files failed", "failed", "stopped", ...
[[nodiscard]] std::string OutcomeSummary(const RunReport& report);
// Whether the run reached its end with nothing failed.
[[nodiscard]] bool FullySucceeded(const RunReport& report);
// Whether a project with these options sends an alert after this run.
[[nodiscard]] bool ShouldNotify(NotifyWhen when, const RunReport& report);

// "[Vorn] WebSite: 3 files failed".
[[nodiscard]] std::string AlertSubject(const RunReport& report);
// Plain text: counts, bytes, duration, the run's reason and the first failed items.
[[nodiscard]] std::string AlertBody(const RunReport& report);
// The hook's JSON document: project, outcome, counts, bytes, start, end, reason.
[[nodiscard]] std::string AlertJson(const RunReport& report);
// The start ping's JSON document.
[[nodiscard]] std::string StartJson(const std::string& project, std::time_t start);

// A hook URL with "{event}" replaced by `event` ("start", "success", "fail", "test"); a URL without
// it is returned as it is.
[[nodiscard]] std::string HookUrlFor(const std::string& url, const std::string& event);
// Whether the URL names a start ping (holds "{event}").
[[nodiscard]] bool HookHasStartPing(const std::string& url);

// Where a project's alerts go: its own receivers, else the database's.
struct AlertReceivers {
    std::vector<std::string> mailTo;
    std::string hookUrl;
};
[[nodiscard]] AlertReceivers ReceiversFor(const DatabaseSettings& settings, const AlertOptions& options);

// What became of one delivery ("e-mail to a@b", "web hook https://...").
struct DeliveryOutcome {
    std::string channel;
    Status status;
};

// Sends `report` by e-mail and to the web hook, each where a receiver is set.
[[nodiscard]] std::vector<DeliveryOutcome> DeliverReport(const DatabaseSettings& settings,
    const AlertReceivers& receivers, const RunReport& report, const DeliveryPolicy& policy);

// The delivery policy of the program: the default waits, and the FTPS trust file.
[[nodiscard]] DeliveryPolicy ProgramDeliveryPolicy();

// Sends a test message and a test hook call with the database's own receivers.
[[nodiscard]] std::vector<DeliveryOutcome> SendTestAlert(ProjectDb* db, const DeliveryPolicy& policy);
// The same with settings not stored yet (the Settings dialog's).
[[nodiscard]] std::vector<DeliveryOutcome> SendTestAlert(
    const DatabaseSettings& settings, const DeliveryPolicy& policy);

} // namespace vorn
