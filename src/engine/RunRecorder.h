#pragma once

#include "engine/RunObserver.h"
#include "store/RunHistory.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vorn {

// Passes a run's reports on to `inner` and keeps what the run history records of them: the
// files and folders the run could not copy, with the reasons, in the order they failed.
// Called on the run's thread, like any observer.
class RunRecorder final : public RunObserver {
public:
    explicit RunRecorder(RunObserver& inner);

    void OnRunStarted(const std::string& projectName) override;
    void OnProjectStatus(const std::string& projectName, const std::string& status) override;
    void OnLastBackupTime(const std::string& projectName, const std::string& timeText) override;
    void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText, const std::string& remotePath,
        const std::string& sizeText) override;
    void OnFileRowStatus(std::uint64_t rowId, const std::string& status, const std::string& reason) override;
    void OnRunFailed(const std::string& projectName, const std::string& reason) override;
    void OnRunWarning(const std::string& projectName, const std::string& text) override;
    void OnResultText(const std::string& text) override;
    void OnRunProblem(const std::string& message) override;
    void OnRunMessage(const std::string& text) override;
    void OnRunFinished(const std::string& projectName, const std::string& status) override;

    [[nodiscard]] const std::vector<FailedItem>& failed() const { return failed_; }

private:
    RunObserver& inner_;
    std::map<std::uint64_t, std::string> paths_; // rows still waiting for their status
    std::vector<FailedItem> failed_;
};

} // namespace vorn
