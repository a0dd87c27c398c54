#include "app/SettingsCommands.h"

#include "app/MainFrame.h"
#include "editor/SettingsDialog.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"
#include "store/Secrets.h"

#include <QAction>
#include <QInputDialog>
#include <QMenu>

SettingsCommands::SettingsCommands(CMainFrame* frame, vorn::ProjectDb* db)
    : QObject(frame)
    , frame_(frame)
    , db_(db)
{
    settingsAction_ = new QAction("Settings(&T)...", frame);
    settingsAction_->setObjectName("actionSettings");
    settingsAction_->setStatusTip("Alerts by e-mail and web hook, and passwords in the keyring");
    connect(settingsAction_, &QAction::triggered, this, &SettingsCommands::OpenSettings);
    if (auto* session = frame->findChild<QMenu*>("menuSession")) {
        // Above the separator before Exit.
        const QList<QAction*> actions = session->actions();
        QAction* before = actions.size() >= 2 ? actions.at(actions.size() - 2) : nullptr;
        session->insertAction(before, settingsAction_);
    }
    connect(frame, &CMainFrame::runFailed, this, [this](const QString& name, const QString& reason) {
        if (reason.startsWith("The keyring"))
            OfferToStorePassword(name, reason);
    });
}

CSettingsDialog* SettingsCommands::OpenSettings()
{
    if (dialog_)
        dialog_->close();
    dialog_ = new CSettingsDialog(db_, frame_);
    dialog_->setAttribute(Qt::WA_DeleteOnClose);
    dialog_->show();
    dialog_->raise();
    return dialog_;
}

bool SettingsCommands::OfferToStorePassword(const QString& projectName, const QString& reason)
{
    vorn::SecretStore* store = vorn::ProgramSecretStore();
    const auto ftpid = vorn::FindProjectId(db_, projectName.toStdString());
    if (store == nullptr || !ftpid)
        return false;
    const QString question = "The run of \"" + projectName + "\" failed: " + reason
        + "\n\nStore the FTP password of this project in the keyring again?";
    if (Prompt::Question(question, "Keyring", frame_) != Prompt::Answer::Yes)
        return false;
    bool ok = false;
    const QString password = QInputDialog::getText(frame_, "Keyring",
        "FTP password of \"" + projectName.toHtmlEscaped() + "\":", QLineEdit::Password, QString(), &ok);
    if (!ok)
        return false;
    const vorn::Status stored
        = vorn::StoreProjectSecret(db_, *store, *ftpid, "ftppassword", password.toStdString());
    if (!stored) {
        Prompt::Warning("The password could not be stored: " + QString::fromStdString(stored.message()),
            "Keyring", frame_);
        return false;
    }
    return true;
}
