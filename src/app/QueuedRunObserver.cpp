#include "app/QueuedRunObserver.h"

#include "app/MainFrame.h"
#include "gui/OffThreadJobs.h"

#include <QStatusBar>
#include <QString>
#include <ctime>

namespace {

// The engine's texts are UTF-8 bytes.
QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

QueuedRunObserver::QueuedRunObserver(CMainFrame* frame, bool scheduled)
    : frame_(frame)
    , scheduled_(scheduled)
{
}

void QueuedRunObserver::OnRunStarted(const std::string& projectName)
{
    // The start time is taken here, not when the GUI thread gets to it: files the run writes
    // before that moment belong to it all the same.
    const std::time_t startTime = std::time(nullptr);
    vorn::PostToReceiver(
        frame_, [frame = frame_, name = Text(projectName), scheduled = scheduled_, startTime] {
            frame->OnRunStarted(name, scheduled, startTime);
        });
}

void QueuedRunObserver::OnProjectStatus(const std::string& projectName, vorn::ProjectStatus status)
{
    vorn::PostToReceiver(frame_,
        [frame = frame_, name = Text(projectName), status] { frame->OnRunProjectStatus(name, status); });
}

void QueuedRunObserver::OnLastBackupTime(const std::string& projectName, const std::string& timeText)
{
    vorn::PostToReceiver(frame_, [frame = frame_, name = Text(projectName), time = Text(timeText)] {
        frame->OnRunLastBackupTime(name, time);
    });
}

void QueuedRunObserver::OnFileRowInserted(std::uint64_t rowId, const std::string& timeText,
    const std::string& remotePath, const std::string& sizeText)
{
    vorn::PostToReceiver(frame_,
        [frame = frame_, rowId, time = Text(timeText), path = Text(remotePath), size = Text(sizeText)] {
            frame->OnRunFileRow(rowId, time, path, size);
        });
}

void QueuedRunObserver::OnFileRowStatus(
    std::uint64_t rowId, vorn::FileStatus status, const std::string& reason)
{
    vorn::PostToReceiver(frame_, [frame = frame_, rowId, status, reason = Text(reason)] {
        frame->OnRunFileRowStatus(rowId, status, reason);
    });
}

void QueuedRunObserver::OnRunFailed(const std::string& projectName, const std::string& reason)
{
    vorn::PostToReceiver(frame_, [frame = frame_, name = Text(projectName), reason = Text(reason)] {
        frame->OnRunFailed(name, reason);
    });
}

void QueuedRunObserver::OnRunNotice(
    vorn::NoticeSeverity severity, const std::string& projectName, const std::string& text)
{
    const QString shown
        = severity == vorn::NoticeSeverity::Warning ? Text(projectName) + ": " + Text(text) : Text(text);
    vorn::PostToReceiver(frame_, [frame = frame_, shown] { frame->statusBar()->showMessage(shown); });
}

void QueuedRunObserver::OnResultText(const std::string& text)
{
    vorn::PostToReceiver(frame_, [frame = frame_, text = Text(text)] { frame->OnRunResultText(text); });
}

void QueuedRunObserver::OnRunFinished(const std::string& projectName, vorn::RunOutcome outcome)
{
    vorn::PostToReceiver(
        frame_, [frame = frame_, name = Text(projectName), outcome] { frame->OnRunFinished(name, outcome); });
}
