#pragma once

#include "app/RestoreDialog.h"

#include <QObject>
#include <QPointer>
#include <QString>

class CHistoryDialog;
class CMainFrame;
class QAction;
class RunHistoryCommands;

namespace vorn {
class ProjectDb;
} // namespace vorn

// The "Restore" command: in the Command menu, in the project list's context menu and as a
// button of the History dialog (on the picked run). Opens the Restore dialog of the project.
// Lives on the GUI thread as a child of the window.
class RestoreCommands : public QObject {
    Q_OBJECT
public:
    RestoreCommands(CMainFrame* frame, vorn::ProjectDb* db, RunHistoryCommands* history);

    [[nodiscard]] QAction* restoreAction() const { return restoreAction_; }
    // Opens (or replaces) the Restore dialog of `projectName` on the point of `archiveFile`
    // (empty: the newest).
    CRestoreDialog* OpenRestore(const QString& projectName, const QString& archiveFile = {});
    [[nodiscard]] CRestoreDialog* restoreDialog() const { return dialog_; }

private:
    void AddToHistory(CHistoryDialog* history, const QString& projectName);

    CMainFrame* frame_;
    vorn::ProjectDb* db_;
    QAction* restoreAction_ = nullptr;
    QPointer<CRestoreDialog> dialog_;
};
