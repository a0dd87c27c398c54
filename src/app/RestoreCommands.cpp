#include "app/RestoreCommands.h"

#include "app/HelpPages.h"
#include "app/MainFrame.h"
#include "app/RestoreDialog.h"
#include "app/RunHistoryCommands.h"
#include "store/RunHistory.h"
#include "views/HistoryDialog.h"
#include "views/ProjectListModel.h"
#include "views/VornBackupView.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QMenu>
#include <QPushButton>

RestoreCommands::RestoreCommands(CMainFrame* frame, vorn::ProjectDb* db, RunHistoryCommands* history)
    : QObject(frame)
    , frame_(frame)
    , db_(db)
{
    restoreAction_ = new QAction("Restore(&R)...", frame);
    restoreAction_->setObjectName("actionRestore");
    restoreAction_->setStatusTip(
        "Restore a point in time of the selected project into a folder or to its server");
    connect(restoreAction_, &QAction::triggered, this, [this] {
        const int row = frame_->selectedRow();
        if (row >= 0)
            OpenRestore(frame_->projectView()->model()->Cell(row, ProjectListModel::BackupName));
    });
    auto enable = [this] { restoreAction_->setEnabled(frame_->selectedRow() >= 0); };
    for (QMenu* menu : { frame->findChild<QMenu*>("menuCommand"), frame->projectView()->contextMenu() }) {
        if (menu == nullptr)
            continue;
        menu->addAction(restoreAction_);
        connect(menu, &QMenu::aboutToShow, this, enable);
    }
    if (history != nullptr)
        connect(history, &RunHistoryCommands::historyOpened, this, &RestoreCommands::AddToHistory);
    enable();
}

CRestoreDialog* RestoreCommands::OpenRestore(const QString& projectName, const QString& archiveFile)
{
    if (dialog_ && !dialog_->busy())
        dialog_->close();
    if (dialog_) {
        dialog_->raise(); // a restore under way is not ended by opening another
        return dialog_;
    }
    dialog_ = new CRestoreDialog(db_, projectName, archiveFile, frame_);
    dialog_->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog_, &CRestoreDialog::helpRequested, frame_,
        [frame = frame_] { frame->OpenHelpPage(vorn::HelpPage::Restoring); });
    dialog_->show();
    dialog_->raise();
    return dialog_;
}

void RestoreCommands::AddToHistory(CHistoryDialog* history, const QString& projectName)
{
    auto* buttons = history->findChild<QDialogButtonBox*>();
    if (buttons == nullptr)
        return;
    QPushButton* restore = buttons->addButton("Restore...", QDialogButtonBox::ActionRole);
    restore->setObjectName("buttonHistoryRestore");
    connect(restore, &QPushButton::clicked, this, [this, history, projectName] {
        // The picked run's archive is its point in time; a run without one restores the newest.
        QString archive;
        const auto ftpid = vorn::FindProjectId(db_, projectName.toStdString());
        for (const vorn::RunRecord& run :
            ftpid ? vorn::QueryRuns(db_, *ftpid) : std::vector<vorn::RunRecord> {})
            if (run.id == history->selectedRunId())
                archive = QFileInfo(QString::fromStdString(run.archivePath)).fileName();
        OpenRestore(projectName, archive);
    });
}
