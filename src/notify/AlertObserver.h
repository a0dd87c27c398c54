#pragma once

#include "engine/ForwardingObserver.h"
#include "notify/Alert.h"

#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace vorn {

class ProjectDb;

// Passes a run's reports on to `inner` and, when the run is over, sends the alerts the
// project asks for (e-mail, web hook). A hook URL holding "{event}" is a monitor's: it
// hears of every start and end (unless notify=never), whatever the outcome.
// A delivery that fails becomes a warning of the run, before its end is reported; it never
// changes the run's outcome. Called on the run's thread, like any observer: the deliveries
// run there too, after the run's own work and records are done.
class AlertObserver final : public ForwardingObserver {
public:
    AlertObserver(RunObserver* inner, ProjectDb* db, DeliveryPolicy policy = ProgramDeliveryPolicy());

    void OnRunStarted(const std::string& projectName) override;
    void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText, const std::string& remotePath,
        const std::string& sizeText) override;
    void OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason) override;
    void OnRunFailed(const std::string& projectName, const std::string& reason) override;
    void OnRunFinished(const std::string& projectName, RunOutcome outcome) override;

private:
    [[nodiscard]] RunReport BuildReport(const std::string& projectName, const std::string& status) const;
    void Report(const std::string& projectName, const std::vector<DeliveryOutcome>& outcomes);

    ProjectDb* db_;
    DeliveryPolicy policy_;
    std::time_t started_ = 0;
    std::string reason_;
    std::map<std::uint64_t, std::string> paths_; // rows still waiting for their status
    std::vector<FailedItem> failed_; // what the run reported, for a run the history lacks
};

} // namespace vorn
