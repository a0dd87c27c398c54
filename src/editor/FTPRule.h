#pragma once

#include "editor/DestinationSettings.h"

#include <QPointer>
#include <QWidget>

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class CDestFtpOptions;

namespace vorn {
struct BackupProject;
struct EditorState;
} // namespace vorn

// The "Copy Rules" page: Ftp->Local or Ftp->Ftp (with the destination dialog), the backup
// option and the archive compression switch with its password.
class FTPRule : public QWidget {
    Q_OBJECT
public:
    // Keeps a reference to `state`: the destination dialog reads and writes it.
    explicit FTPRule(vorn::EditorState& state, QWidget* parent = nullptr);

    // Writes ftptype, ftpbackmode, ftpiscompress; ftpcompass when compression is on; the
    // destination fields when the mode is Ftp->Ftp.
    void Collect(vorn::BackupProject& project) const;

    // Opens the destination dialog (window-modal, so this returns at once). On its OK the
    // values go to this page, to lastDestination and to editedProject, its key file to
    // editedOptions.sshKey. Does nothing while the dialog is already open.
    void ShowDestFtpOptions();

    [[nodiscard]] const vorn::DestinationSettings& pageDestination() const { return pageDestination_; }
    // The destination dialog while it is open, else null.
    [[nodiscard]] CDestFtpOptions* destinationDialog() const { return destinationDialog_; }

signals:
    // The destination dialog opened by ShowDestFtpOptions has closed.
    void destinationDialogClosed(bool accepted);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The page's sections, built in the order they are shown.
    QGroupBox* MakeTransferBox();
    QGroupBox* MakeBackupBox();
    QGroupBox* MakeCompressionBox();
    // Fills the page from a project that is being modified.
    void ShowProject(const vorn::BackupProject& p);
    void ChooseLocal();
    void ChooseFtp();

    vorn::EditorState& state_;
    QRadioButton* localRadio_;
    QRadioButton* ftpRadio_;
    QPushButton* showDestButton_;
    QRadioButton* fullBackupRadio_;
    QRadioButton* incrementalRadio_;
    QCheckBox* compressCheck_;
    QLineEdit* passwordEdit_;
    vorn::DestinationSettings pageDestination_;
    bool destinationChosen_ = false;
    QPointer<CDestFtpOptions> destinationDialog_;
};
