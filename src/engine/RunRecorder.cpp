#include "engine/RunRecorder.h"

namespace vorn {

RunRecorder::RunRecorder(RunObserver& inner)
    : inner_(inner)
{
}

void RunRecorder::OnRunStarted(const std::string& projectName)
{
    inner_.OnRunStarted(projectName);
}

void RunRecorder::OnProjectStatus(const std::string& projectName, const std::string& status)
{
    inner_.OnProjectStatus(projectName, status);
}

void RunRecorder::OnLastBackupTime(const std::string& projectName, const std::string& timeText)
{
    inner_.OnLastBackupTime(projectName, timeText);
}

void RunRecorder::OnFileRowInserted(std::uint64_t rowId, const std::string& timeText,
    const std::string& remotePath, const std::string& sizeText)
{
    paths_[rowId] = remotePath;
    inner_.OnFileRowInserted(rowId, timeText, remotePath, sizeText);
}

void RunRecorder::OnFileRowStatus(std::uint64_t rowId, const std::string& status, const std::string& reason)
{
    if (const auto row = paths_.find(rowId); row != paths_.end()) {
        if (status == "Failed")
            failed_.push_back({ row->second, reason });
        paths_.erase(row);
    }
    inner_.OnFileRowStatus(rowId, status, reason);
}

void RunRecorder::OnRunFailed(const std::string& projectName, const std::string& reason)
{
    inner_.OnRunFailed(projectName, reason);
}

void RunRecorder::OnRunWarning(const std::string& projectName, const std::string& text)
{
    inner_.OnRunWarning(projectName, text);
}

void RunRecorder::OnResultText(const std::string& text)
{
    inner_.OnResultText(text);
}

void RunRecorder::OnRunProblem(const std::string& message)
{
    inner_.OnRunProblem(message);
}

void RunRecorder::OnRunMessage(const std::string& text)
{
    inner_.OnRunMessage(text);
}

void RunRecorder::OnRunFinished(const std::string& projectName, const std::string& status)
{
    inner_.OnRunFinished(projectName, status);
}

} // namespace vorn
