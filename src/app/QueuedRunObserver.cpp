#include "app/QueuedRunObserver.h"

#include "app/MainFrame.h"

#include <QMetaObject>
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

QueuedRunObserver::QueuedRunObserver(CMainFrame* frame, bool scheduled, std::function<void()> onStarted)
    : frame_(frame)
    , scheduled_(scheduled)
    , onStarted_(std::move(onStarted))
{
}

void QueuedRunObserver::OnRunStarted(const std::string& projectName)
{
    if (onStarted_)
        onStarted_();
    // The start time is taken here, not when the GUI thread gets to it: files the run writes
    // before that moment belong to it all the same.
    const std::time_t startTime = std::time(nullptr);
    QMetaObject::invokeMethod(
        frame_,
        [frame = frame_, name = Text(projectName), scheduled = scheduled_, startTime] {
            frame->OnRunStarted(name, scheduled, startTime);
        },
        Qt::QueuedConnection);
}

void QueuedRunObserver::OnProjectStatus(const std::string& projectName, const std::string& status)
{
    QMetaObject::invokeMethod(
        frame_,
        [frame = frame_, name = Text(projectName), status = Text(status)] {
            frame->OnRunProjectStatus(name, status);
        },
        Qt::QueuedConnection);
}

void QueuedRunObserver::OnLastBackupTime(const std::string& projectName, const std::string& timeText)
{
    QMetaObject::invokeMethod(
        frame_,
        [frame = frame_, name = Text(projectName), time = Text(timeText)] {
            frame->OnRunLastBackupTime(name, time);
        },
        Qt::QueuedConnection);
}

void QueuedRunObserver::OnFileRowInserted(std::uint64_t rowId, const std::string& timeText,
    const std::string& remotePath, const std::string& sizeText)
{
    QMetaObject::invokeMethod(
        frame_,
        [frame = frame_, rowId, time = Text(timeText), path = Text(remotePath), size = Text(sizeText)] {
            frame->OnRunFileRow(rowId, time, path, size);
        },
        Qt::QueuedConnection);
}

void QueuedRunObserver::OnFileRowStatus(
    std::uint64_t rowId, const std::string& status, const std::string& reason)
{
    QMetaObject::invokeMethod(
        frame_,
        [frame = frame_, rowId, status = Text(status), reason = Text(reason)] {
            frame->OnRunFileRowStatus(rowId, status, reason);
        },
        Qt::QueuedConnection);
}

void QueuedRunObserver::OnFolderFailed(const std::string& remotePath, const std::string& reason)
{
    QMetaObject::invokeMethod(
        frame_,
        [frame = frame_, path = Text(remotePath), reason = Text(reason)] {
            frame->OnRunFolderFailed(path, reason);
        },
        Qt::QueuedConnection);
}

void QueuedRunObserver::OnRunFailed(const std::string& projectName, const std::string& reason)
{
    QMetaObject::invokeMethod(
        frame_,
        [frame = frame_, name = Text(projectName), reason = Text(reason)] {
            frame->OnRunFailed(name, reason);
        },
        Qt::QueuedConnection);
}

void QueuedRunObserver::OnRunWarning(const std::string& projectName, const std::string& text)
{
    QMetaObject::invokeMethod(
        frame_,
        [frame = frame_, name = Text(projectName), text = Text(text)] {
            frame->statusBar()->showMessage(name + ": " + text);
        },
        Qt::QueuedConnection);
}

void QueuedRunObserver::OnResultText(const std::string& text)
{
    QMetaObject::invokeMethod(
        frame_, [frame = frame_, text = Text(text)] { frame->OnRunResultText(text); }, Qt::QueuedConnection);
}

void QueuedRunObserver::OnRunFinished(const std::string& projectName, const std::string& status)
{
    QMetaObject::invokeMethod(
        frame_,
        [frame = frame_, name = Text(projectName), status = Text(status)] {
            frame->OnRunFinished(name, status);
        },
        Qt::QueuedConnection);
}
