#include "app/cli/ConsoleObserver.h"

#include "app/cli/FieldText.h"

#include <cstdio>
#include <ostream>

namespace vorn {

ConsoleObserver::ConsoleObserver(std::ostream& out, std::ostream& err, std::mutex& outputMutex, Style style)
    : out_(out)
    , err_(err)
    , outputMutex_(outputMutex)
    , style_(style)
{
}

void ConsoleObserver::OnRunStarted(const std::string& projectName)
{
    projectName_ = projectName;
}

void ConsoleObserver::OnProjectStatus(const std::string& projectName, ProjectStatus status)
{
    if (style_ == Style::Service)
        PrintProjectLine(projectName, "Transfer Status: " + std::string(ProjectStatusText(status)));
}

void ConsoleObserver::OnFileRowInserted(std::uint64_t rowId, const std::string& timeText,
    const std::string& remotePath, const std::string& sizeText)
{
    rows_[rowId]
        = EscapeField(timeText) + "\t" + EscapeField(remotePath) + "\t" + EscapeField(sizeText) + "\t";
}

void ConsoleObserver::OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason)
{
    const auto row = rows_.find(rowId);
    if (row == rows_.end())
        return;
    const std::string text(FileStatusText(status));
    if (status == FileStatus::Failed)
        ++failedItems_;
    // Other rows carry a reason too at times (an escaped name, "not a regular file").
    if (status == FileStatus::Failed || !reason.empty())
        Print(row->second + EscapeField(text) + "\t" + EscapeField(reason));
    else
        Print(row->second + EscapeField(text));
    rows_.erase(row);
}

void ConsoleObserver::OnRunFailed(const std::string& projectName, const std::string& reason)
{
    PrintError(reason);
}

void ConsoleObserver::OnResultText(const std::string& text)
{
    Print(EscapeField(text));
}

void ConsoleObserver::OnRunNotice(
    vorn::NoticeSeverity severity, const std::string& projectName, const std::string& text)
{
    if (severity == vorn::NoticeSeverity::Problem)
        hadProblem_ = true;
    PrintError(text);
}

void ConsoleObserver::OnRunFinished(const std::string& projectName, RunOutcome outcome)
{
    // Rows a stopped run never settled would otherwise pile up over a service's many runs.
    rows_.clear();
}

void ConsoleObserver::PrintProjectLine(const std::string& projectName, const std::string& text)
{
    std::lock_guard lock(outputMutex_);
    ClearProgressLine();
    out_ << EscapeField(projectName) << '\t' << EscapeField(text) << '\n';
    out_.flush();
}

void ConsoleObserver::PrintError(const std::string& line)
{
    std::lock_guard lock(outputMutex_);
    ClearProgressLine();
    // The result line on stdout comes after this one, also when both go to one journal.
    out_.flush();
    if (style_ == Style::Service)
        err_ << EscapeField(projectName_) << '\t' << EscapeField(line) << '\n';
    else
        err_ << "vornbackup-cli: " << EscapeField(line) << '\n';
    err_.flush();
}

void ConsoleObserver::Print(const std::string& line)
{
    std::lock_guard lock(outputMutex_);
    ClearProgressLine();
    if (style_ == Style::Service)
        out_ << EscapeField(projectName_) << '\t';
    out_ << line << '\n';
    out_.flush();
}

void ConsoleObserver::ClearProgressLine()
{
    if (!clearsProgressLine_)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

} // namespace vorn
