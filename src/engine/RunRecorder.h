#pragma once

#include "engine/ForwardingObserver.h"
#include "store/RunHistory.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vorn {

// Passes a run's reports on to `inner` and keeps what the run history records of them: the
// files and folders the run could not copy, with the reasons, in the order they failed.
// Called on the run's thread, like any observer.
class RunRecorder final : public ForwardingObserver {
public:
    explicit RunRecorder(RunObserver& inner);

    void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText, const std::string& remotePath,
        const std::string& sizeText) override;
    void OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason) override;

    [[nodiscard]] const std::vector<FailedItem>& failed() const { return failed_; }

private:
    std::map<std::uint64_t, std::string> paths_; // rows still waiting for their status
    std::vector<FailedItem> failed_;
};

} // namespace vorn
