#include "engine/RunRecorder.h"

namespace vorn {

RunRecorder::RunRecorder(RunObserver& inner)
    : ForwardingObserver(&inner)
{
}

void RunRecorder::OnFileRowInserted(std::uint64_t rowId, const std::string& timeText,
    const std::string& remotePath, const std::string& sizeText)
{
    paths_[rowId] = remotePath;
    ForwardingObserver::OnFileRowInserted(rowId, timeText, remotePath, sizeText);
}

void RunRecorder::OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason)
{
    if (const auto row = paths_.find(rowId); row != paths_.end()) {
        if (status == FileStatus::Failed)
            failed_.push_back({ row->second, reason });
        paths_.erase(row);
    }
    ForwardingObserver::OnFileRowStatus(rowId, status, reason);
}

} // namespace vorn
