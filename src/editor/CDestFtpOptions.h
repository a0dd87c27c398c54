#pragma once

#include "editor/DestinationSettings.h"
#include "store/ProjectOptions.h"

#include <QDialog>

class KeyFileRow;
class QLineEdit;
class QPushButton;
class RemoteBrowser;
class RemoteFolderList;

// "Destination FTP Options": the destination server of an Ftp->Ftp project, its login and
// the destination folder, picked by walking the server's folders. An sftp:// server shows the
// project's key file (the option ssh-key, one for both servers).
class CDestFtpOptions : public QDialog {
    Q_OBJECT
public:
    // `options` are the project's session settings: the key file shown and the browser's.
    CDestFtpOptions(const vorn::DestinationSettings& prefill, const vorn::ProjectOptions& options,
        QWidget* parent = nullptr);

    // The five edits as they were when OK was accepted.
    [[nodiscard]] const vorn::DestinationSettings& destination() const { return destination_; }
    [[nodiscard]] RemoteBrowser* browser() const { return browser_; }
    // The key file as the row shows it (the option ssh-key).
    [[nodiscard]] std::string keyFile() const;

    void accept() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    [[nodiscard]] vorn::DestinationSettings ReadEdits() const;
    // Shows the warning, then puts the focus on the field it names.
    void Refuse(QLineEdit* field, const QString& message);

    QLineEdit* serverEdit_;
    QLineEdit* portEdit_;
    QLineEdit* userEdit_;
    QLineEdit* passwordEdit_;
    QLineEdit* pathEdit_;
    QPushButton* connectButton_;
    QPushButton* okButton_;
    QPushButton* cancelButton_;
    RemoteFolderList* list_;
    RemoteBrowser* browser_;
    KeyFileRow* keyRow_ = nullptr;
    vorn::DestinationSettings destination_;
    bool shownOnce_ = false;
};
