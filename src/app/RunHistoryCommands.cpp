#include "app/RunHistoryCommands.h"

#include "app/MainFrame.h"
#include "gui/PlainText.h"
#include "store/RunHistory.h"
#include "views/HistoryDialog.h"
#include "views/ProjectListModel.h"
#include "views/VornBackupView.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTableView>

RunHistoryCommands::RunHistoryCommands(CMainFrame* frame, vorn::ProjectDb* db)
    : QObject(frame)
    , frame_(frame)
    , db_(db)
{
    historyAction_ = new QAction("History(&H)", frame);
    historyAction_->setObjectName("actionHistory");
    historyAction_->setStatusTip("Show the recorded runs of the selected project and why files failed");
    connect(historyAction_, &QAction::triggered, this, &RunHistoryCommands::OpenSelectedProject);
    if (auto* command = frame->findChild<QMenu*>("menuCommand")) {
        command->addSeparator();
        command->addAction(historyAction_);
        connect(command, &QMenu::aboutToShow, this, &RunHistoryCommands::UpdateEnabled);
    }
    if (QMenu* context = frame->projectView()->contextMenu()) {
        context->addSeparator();
        context->addAction(historyAction_);
        connect(context, &QMenu::aboutToShow, this, &RunHistoryCommands::UpdateEnabled);
    }
    connect(frame, &CMainFrame::runItemFailed, this, &RunHistoryCommands::NoteItemFailure);
    connect(frame, &CMainFrame::runFailed, this, &RunHistoryCommands::NoteRunFailure);
    connect(frame, &CMainFrame::runFinished, this, &RunHistoryCommands::OnRunFinished);
    if (QSystemTrayIcon* tray = frame->trayIcon())
        connect(tray, &QSystemTrayIcon::messageClicked, this, &RunHistoryCommands::OpenAlertedRun);
    connect(frame->projectView()->list()->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        &RunHistoryCommands::UpdateEnabled);
    UpdateEnabled();
}

CHistoryDialog* RunHistoryCommands::OpenHistory(const QString& projectName, std::int64_t runId)
{
    if (dialog_)
        dialog_->close(); // one dialog at a time, for the project asked for now
    dialog_ = new CHistoryDialog(db_, projectName, runId, frame_);
    dialog_->setAttribute(Qt::WA_DeleteOnClose);
    emit historyOpened(dialog_, projectName);
    dialog_->show();
    dialog_->raise();
    return dialog_;
}

void RunHistoryCommands::OpenAlertedRun()
{
    if (alertProject_.isEmpty())
        return;
    frame_->RestoreFromTray();
    OpenHistory(alertProject_, alertRunId_);
}

void RunHistoryCommands::OpenSelectedProject()
{
    const int row = frame_->selectedRow();
    if (row < 0)
        return;
    OpenHistory(frame_->projectView()->model()->Cell(row, ProjectListModel::BackupName));
}

void RunHistoryCommands::UpdateEnabled()
{
    historyAction_->setEnabled(frame_->selectedRow() >= 0);
}

void RunHistoryCommands::NoteItemFailure(const QString& path, const QString& reason)
{
    ++failedItems_;
    if (firstReason_.isEmpty())
        firstReason_ = path.isEmpty() ? reason : path + ": " + reason;
}

void RunHistoryCommands::NoteRunFailure(const QString&, const QString& reason)
{
    runReason_ = reason;
}

void RunHistoryCommands::OnRunFinished(const QString& name, vorn::RunOutcome outcome)
{
    const int failed = failedItems_;
    // Why the whole run failed says more than any one file.
    const QString reason = runReason_.isEmpty() ? firstReason_ : runReason_;
    failedItems_ = 0;
    firstReason_.clear();
    runReason_.clear();
    const bool runFailed = outcome == vorn::RunOutcome::Fail;
    if (frame_->isVisible() || (!runFailed && failed == 0))
        return;
    // The history is written before the run reports its end, so its newest run is this one.
    const auto ftpid = vorn::FindProjectId(db_, name.toStdString());
    const auto runs = ftpid ? vorn::QueryRuns(db_, *ftpid) : std::vector<vorn::RunRecord> {};
    alertProject_ = name;
    alertRunId_ = runs.empty() ? 0 : runs.front().id;
    const QString count
        = runFailed && failed == 0 ? QString("The backup failed") : QString("%1 item(s) failed").arg(failed);
    lastAlert_ = count + (reason.isEmpty() ? QString(".") : ": " + reason);
    if (QSystemTrayIcon* tray = frame_->trayIcon(); tray && tray->isVisible())
        // Names and reasons are data: a notification server may read the body as markup.
        tray->showMessage(
            "Vorn FTP Backup - " + name, vorn::PlainMessage(lastAlert_), QSystemTrayIcon::Warning);
}
