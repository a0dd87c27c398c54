#pragma once

#include "engine/RunOutcome.h"
#include "views/HistoryDialog.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>

class CMainFrame;
class QAction;

namespace vorn {
class ProjectDb;
} // namespace vorn

// The "History" command of the main window (Command menu and the project list's context
// menu) and the alert of a run that failed while the window was hidden in the tray: a tray
// message naming the project, how many items failed and the first reason; clicking it opens
// the History dialog on that run. Lives on the GUI thread as a child of the window.
class RunHistoryCommands : public QObject {
    Q_OBJECT
public:
    RunHistoryCommands(CMainFrame* frame, vorn::ProjectDb* db);

    [[nodiscard]] QAction* historyAction() const { return historyAction_; }
    // Opens (or raises) the History dialog of `projectName`, on run `runId` (0: the newest).
    CHistoryDialog* OpenHistory(const QString& projectName, std::int64_t runId = 0);
    [[nodiscard]] CHistoryDialog* historyDialog() const { return dialog_; }

    // The last alert raised while the window was hidden (also where there is no tray to show
    // it); empty when none was.
    [[nodiscard]] const QString& lastAlert() const { return lastAlert_; }
    // Opens the History dialog on the run of the last alert, as clicking the message does.
    void OpenAlertedRun();

signals:
    // A History dialog was opened for `projectName` (other commands add their buttons).
    void historyOpened(CHistoryDialog* dialog, const QString& projectName);

private:
    void OpenSelectedProject();
    void UpdateEnabled();
    void NoteItemFailure(const QString& path, const QString& reason);
    void NoteRunFailure(const QString& name, const QString& reason);
    void OnRunFinished(const QString& name, vorn::RunOutcome outcome);

    CMainFrame* frame_;
    vorn::ProjectDb* db_;
    QAction* historyAction_ = nullptr;
    QPointer<CHistoryDialog> dialog_;
    // The running project's failures so far, reset when it ends.
    int failedItems_ = 0;
    QString firstReason_;
    QString runReason_;
    QString lastAlert_;
    QString alertProject_;
    std::int64_t alertRunId_ = 0;
};
