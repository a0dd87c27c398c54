#include "editor/FTPCatalog.h"

#include "editor/EditorState.h"
#include "editor/EditorWidgets.h"
#include "editor/KeyFileRow.h"
#include "editor/RemoteBrowser.h"
#include "editor/RemoteFolderList.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using vorn::editor::MakeButton;
using vorn::editor::MakeEdit;

namespace {

QString Text(const std::string& bytes)
{
    return QString::fromStdString(bytes);
}

} // namespace

FTPCatalog::FTPCatalog(const vorn::EditorState& state, QWidget* parent)
    : QWidget(parent)
    , nameEdit_(MakeEdit(this, "projectNameEdit", 0))
    , serverEdit_(MakeEdit(this, "serverEdit", 128))
    , portEdit_(MakeEdit(this, "portEdit", 16, true))
    , userEdit_(MakeEdit(this, "userEdit", 32))
    , passwordEdit_(MakeEdit(this, "passwordEdit", 32))
    , pathEdit_(MakeEdit(this, "ftpPathEdit", 0))
    , localEdit_(MakeEdit(this, "localPathEdit", 0))
    , connectButton_(MakeButton(this, "connectButton", "Connect"))
    , browseButton_(MakeButton(this, "browseButton", "Browse "))
    , list_(new RemoteFolderList(this))
{
    setObjectName("directorySettingsPage");
    list_->setObjectName("remoteList");
    passwordEdit_->setEchoMode(QLineEdit::Password);
    serverEdit_->setToolTip(vorn::editor::ServerToolTip());
    pathEdit_->setToolTip("Connect, then double-click folders to choose the folder to back up.");
    portEdit_->setText("21");
    pathEdit_->setText("/");

    auto* info = new QGroupBox("FTP Information", this);
    info->setObjectName("ftpInformationGroup");
    auto* infoGrid = vorn::editor::LayOutLoginFields(info, serverEdit_, portEdit_, userEdit_, passwordEdit_);
    infoGrid->addWidget(connectButton_, 1, 4);
    infoGrid->setColumnStretch(1, 3);
    infoGrid->setColumnStretch(3, 2);

    auto* local = new QHBoxLayout;
    local->addWidget(localEdit_, 1);
    local->addWidget(browseButton_);

    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel("Project Name:", this), 0, 0);
    grid->addWidget(nameEdit_, 0, 1);
    grid->addWidget(info, 1, 0, 1, 2);
    grid->addWidget(new QLabel("FTP Path:", this), 2, 0);
    grid->addWidget(pathEdit_, 2, 1);
    grid->addWidget(list_, 3, 0, 1, 2);
    grid->addWidget(new QLabel("Local Path:", this), 4, 0);
    grid->addLayout(local, 4, 1);
    grid->setRowStretch(3, 1);

    list_->SetColumnWidths(160, 75, 75);

    browser_ = new RemoteBrowser(
        { serverEdit_, portEdit_, userEdit_, passwordEdit_, pathEdit_, connectButton_, list_ },
        "Connect FTP site failed!", this);
    connect(connectButton_, &QPushButton::clicked, browser_, &RemoteBrowser::Connect);
    connect(browseButton_, &QPushButton::clicked, this, &FTPCatalog::BrowseLocalFolder);

    // Row 2 of the login group: the private key of an SFTP login.
    keyRow_ = new KeyFileRow(info, infoGrid, 2, QString(), serverEdit_, browser_);

    if (state.isModifying) {
        browser_->SetSessionOptions(state.editedOptions);
        keyRow_->SetPath(Text(state.editedOptions.sshKey));
        const vorn::BackupProject& p = state.editedProject;
        nameEdit_->setText(Text(p.ftpname));
        browser_->SetPath(p.ftpsource);
        localEdit_->setText(Text(p.ftpdest));
        serverEdit_->setText(Text(p.ftpip));
        userEdit_->setText(Text(p.ftpuser));
        passwordEdit_->setText(Text(p.ftppassword));
        portEdit_->setText(Text(p.ftpport));
    }
}

void FTPCatalog::Collect(vorn::BackupProject& project) const
{
    project.ftpname = nameEdit_->text().toStdString();
    project.ftpsource = browser_->path();
    project.ftpdest = localEdit_->text().toStdString();
    project.ftpip = serverEdit_->text().toStdString();
    project.ftpuser = userEdit_->text().toStdString();
    project.ftppassword = passwordEdit_->text().toStdString();
    project.ftpport = portEdit_->text().toStdString();
}

void FTPCatalog::Collect(vorn::ProjectOptions& options) const
{
    options.sshKey = keyRow_->path().toStdString();
}

void FTPCatalog::FocusField(Field field)
{
    QLineEdit* edit = nameEdit_;
    switch (field) {
    case Field::Name:
        break;
    case Field::Server:
        edit = serverEdit_;
        break;
    case Field::Port:
        edit = portEdit_;
        break;
    case Field::SourcePath:
        edit = pathEdit_;
        break;
    case Field::LocalPath:
        edit = localEdit_;
        break;
    }
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}

void FTPCatalog::BrowseLocalFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Please Select："), localEdit_->text(), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        localEdit_->setText(QDir::toNativeSeparators(folder));
}

void FTPCatalog::keyPressEvent(QKeyEvent* event)
{
    if (vorn::editor::IsEnterOrEscape(event)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
