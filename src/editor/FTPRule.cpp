#include "editor/FTPRule.h"

#include "editor/CDestFtpOptions.h"
#include "editor/EditorState.h"
#include "editor/EditorWidgets.h"
#include "editor/RemoteBrowser.h"
#include "store/ProjectOptions.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

QLabel* HelpText(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setContentsMargins(22, 0, 0, 6);
    return label;
}

} // namespace

FTPRule::FTPRule(vorn::EditorState& state, QWidget* parent)
    : QWidget(parent)
    , state_(state)
{
    setObjectName("copyRulesPage");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeTransferBox());
    layout->addWidget(MakeBackupBox());
    layout->addWidget(MakeCompressionBox());
    layout->addStretch(1);

    localRadio_->setChecked(true);
    fullBackupRadio_->setChecked(true);
    passwordEdit_->setEnabled(false);
    showDestButton_->setEnabled(false);
    if (state_.isModifying)
        ShowProject(state_.editedProject);

    // clicked, not toggled: only the user's choice opens the destination dialog.
    connect(localRadio_, &QRadioButton::clicked, this, &FTPRule::ChooseLocal);
    connect(ftpRadio_, &QRadioButton::clicked, this, &FTPRule::ChooseFtp);
    connect(showDestButton_, &QPushButton::clicked, this, &FTPRule::ShowDestFtpOptions);
    connect(compressCheck_, &QCheckBox::toggled, passwordEdit_, &QLineEdit::setEnabled);
}

QGroupBox* FTPRule::MakeTransferBox()
{
    auto* transfer = new QGroupBox("Transfer Options", this);
    localRadio_ = new QRadioButton("Ftp->Local", transfer);
    localRadio_->setObjectName("ftpLocalRadio");
    ftpRadio_ = new QRadioButton("Ftp->Ftp", transfer);
    ftpRadio_->setObjectName("ftpFtpRadio");
    showDestButton_ = vorn::editor::MakeButton(transfer, "showDestButton", "Show Dest FTP Options");
    auto* transferGroup = new QButtonGroup(this);
    transferGroup->addButton(localRadio_);
    transferGroup->addButton(ftpRadio_);
    auto* transferLayout = new QGridLayout(transfer);
    transferLayout->addWidget(localRadio_, 0, 0);
    transferLayout->addWidget(
        HelpText("Download Folders And Files From Remote Ftp Site.", transfer), 1, 0, 1, 2);
    transferLayout->addWidget(ftpRadio_, 2, 0);
    transferLayout->addWidget(showDestButton_, 2, 1, Qt::AlignRight);
    transferLayout->addWidget(
        HelpText("Transfer Folders And Files To Destination FTP.", transfer), 3, 0, 1, 2);
    return transfer;
}

QGroupBox* FTPRule::MakeBackupBox()
{
    auto* backup = new QGroupBox("Backup Options", this);
    fullBackupRadio_ = new QRadioButton("Full Backup", backup);
    fullBackupRadio_->setObjectName("fullBackupRadio");
    incrementalRadio_ = new QRadioButton("Incremental Backup", backup);
    incrementalRadio_->setObjectName("incrementalBackupRadio");
    auto* backupLayout = new QVBoxLayout(backup);
    backupLayout->addWidget(fullBackupRadio_);
    backupLayout->addWidget(HelpText("Backup All Possible Files Of FTP Site.   ", backup));
    backupLayout->addWidget(incrementalRadio_);
    backupLayout->addWidget(HelpText("Backup New And Changed Files Only.", backup));
    return backup;
}

QGroupBox* FTPRule::MakeCompressionBox()
{
    auto* compression = new QGroupBox("Compression", this);
    compressCheck_ = new QCheckBox("Is It Need For Compression", compression);
    compressCheck_->setObjectName("compressCheck");
    passwordEdit_ = vorn::editor::MakeEdit(compression, "compressPasswordEdit", 32);
    auto* passwordRow = new QHBoxLayout;
    passwordRow->addWidget(new QLabel("Compression Password:", compression));
    passwordRow->addWidget(passwordEdit_, 1);
    auto* compressionLayout = new QVBoxLayout(compression);
    compressionLayout->addWidget(compressCheck_);
    compressionLayout->addLayout(passwordRow);
    return compression;
}

void FTPRule::ShowProject(const vorn::BackupProject& p)
{
    if (p.type() == vorn::FtpType::FtpToLocal) {
        localRadio_->setChecked(true);
    } else if (p.type() == vorn::FtpType::FtpToFtp) {
        ftpRadio_->setChecked(true);
        showDestButton_->setEnabled(true);
    }
    if (p.ftpiscompress) {
        compressCheck_->setChecked(true);
        passwordEdit_->setEnabled(true);
        passwordEdit_->setText(QString::fromStdString(p.ftpcompass));
    }
    incrementalRadio_->setChecked(p.ftpbackmode == vorn::kIncrementalBackupMode);
    destinationChosen_ = true;
    pageDestination_ = vorn::DestinationOf(p);
}

void FTPRule::Collect(vorn::BackupProject& project) const
{
    project.ftptype
        = vorn::StoredFtpType(ftpRadio_->isChecked() ? vorn::FtpType::FtpToFtp : vorn::FtpType::FtpToLocal);
    if (ftpRadio_->isChecked())
        vorn::ApplyDestination(pageDestination_, project);
    project.ftpbackmode
        = incrementalRadio_->isChecked() ? vorn::kIncrementalBackupMode : vorn::kFullBackupMode;
    project.ftpiscompress = compressCheck_->isChecked();
    if (compressCheck_->isChecked())
        project.ftpcompass = passwordEdit_->text().toStdString();
}

void FTPRule::ChooseLocal()
{
    showDestButton_->setEnabled(false);
}

void FTPRule::ChooseFtp()
{
    showDestButton_->setEnabled(true);
    if (!destinationChosen_) {
        destinationChosen_ = true;
        ShowDestFtpOptions();
    }
}

void FTPRule::ShowDestFtpOptions()
{
    if (destinationDialog_)
        return;
    const vorn::DestinationSettings prefill
        = state_.isModifying ? vorn::DestinationOf(state_.editedProject) : state_.lastDestination;
    auto* dialog = new CDestFtpOptions(prefill, state_.editedOptions, this);
    destinationDialog_ = dialog;
    connect(dialog, &QDialog::finished, this, [this, dialog](int result) {
        const bool accepted = result == QDialog::Accepted;
        if (accepted) {
            pageDestination_ = dialog->destination();
            state_.lastDestination = pageDestination_;
            vorn::ApplyDestination(pageDestination_, state_.editedProject);
            // One key file for both servers: the source page follows (see FTPNew).
            state_.editedOptions.sshKey = dialog->keyFile();
        }
        dialog->deleteLater();
        destinationDialog_ = nullptr;
        emit destinationDialogClosed(accepted);
    });
    dialog->open();
}

void FTPRule::keyPressEvent(QKeyEvent* event)
{
    if (vorn::editor::IsEnterOrEscape(event)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
