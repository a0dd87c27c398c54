#pragma once

#include <QObject>
#include <QPointer>

class CMainFrame;
class CSettingsDialog;
class QAction;

namespace vorn {
class ProjectDb;
} // namespace vorn

// The "Settings" command of the Session menu (the Settings dialog), and the offer to store a
// password in the keyring again after a run failed because the keyring did not give it.
// Lives on the GUI thread as a child of the window.
class SettingsCommands : public QObject {
    Q_OBJECT
public:
    SettingsCommands(CMainFrame* frame, vorn::ProjectDb* db);

    [[nodiscard]] QAction* settingsAction() const { return settingsAction_; }
    CSettingsDialog* OpenSettings();
    // Asks for the source password of `projectName` and stores it in the keyring; false when
    // the user declined or the keyring refused (said in a warning).
    bool OfferToStorePassword(const QString& projectName, const QString& reason);

private:
    CMainFrame* frame_;
    vorn::ProjectDb* db_;
    QAction* settingsAction_ = nullptr;
    QPointer<CSettingsDialog> dialog_;
};
