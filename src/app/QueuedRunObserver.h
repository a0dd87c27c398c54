#pragma once

#include "engine/RunObserver.h"

class CMainFrame;

// The run's reports, carried from the run's thread to the main window. Every call is queued
// to the GUI thread (Qt::QueuedConnection keeps their order) and nothing here touches a
// widget. The window stops and joins every run before it is destroyed, so `frame` outlives
// every call; calls still queued then are dropped with the window's other posted events.
class QueuedRunObserver final : public vorn::RunObserver {
public:
    // `scheduled`: the runs reported here were started by the scheduler.
    QueuedRunObserver(CMainFrame* frame, bool scheduled);

    void OnRunStarted(const std::string& projectName) override;
    void OnProjectStatus(const std::string& projectName, vorn::ProjectStatus status) override;
    void OnLastBackupTime(const std::string& projectName, const std::string& timeText) override;
    void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText, const std::string& remotePath,
        const std::string& sizeText) override;
    void OnFileRowStatus(std::uint64_t rowId, vorn::FileStatus status, const std::string& reason) override;
    void OnRunFailed(const std::string& projectName, const std::string& reason) override;
    void OnResultText(const std::string& text) override;
    // Shown in the window's status bar until the next message; a warning names its project.
    void OnRunNotice(
        vorn::NoticeSeverity severity, const std::string& projectName, const std::string& text) override;
    void OnRunFinished(const std::string& projectName, vorn::RunOutcome outcome) override;

private:
    CMainFrame* frame_;
    bool scheduled_;
};
