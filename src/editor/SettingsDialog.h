#pragma once

#include "gui/OffThreadJobs.h"
#include "store/Settings.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace vorn {
class ProjectDb;
} // namespace vorn

// The database's settings: the mail server and the receivers of alerts, the web hook, and
// whether passwords live in the desktop's keyring. OK stores them (turning the keyring on or
// off moves every password); "Send Test Alert" sends with the values shown, off the GUI
// thread, and says what became of each delivery.
class CSettingsDialog : public QDialog {
    Q_OBJECT
public:
    CSettingsDialog(vorn::ProjectDb* db, QWidget* parent = nullptr);

    // The values shown, as settings.
    [[nodiscard]] vorn::DatabaseSettings shownSettings() const;
    // Stores the values shown; false (with a warning shown) when they could not be stored.
    bool Store();

    void accept() override;

private:
    void Show(const vorn::DatabaseSettings& settings);
    void SendTestAlert();

    vorn::ProjectDb* db_;
    vorn::DatabaseSettings stored_;
    QLineEdit* host_;
    QSpinBox* port_;
    QComboBox* tls_;
    QLineEdit* user_;
    QLineEdit* password_;
    QLineEdit* from_;
    QLineEdit* to_;
    QLineEdit* hook_;
    QCheckBox* keyring_;
    QPushButton* test_;
    QLabel* testResult_;
    vorn::OffThreadJobs jobs_ { this };
};
