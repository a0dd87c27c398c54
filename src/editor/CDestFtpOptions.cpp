#include "editor/CDestFtpOptions.h"

#include "common/PortText.h"
#include "editor/EditorWidgets.h"
#include "editor/KeyFileRow.h"
#include "editor/RemoteBrowser.h"
#include "editor/RemoteFolderList.h"
#include "gui/Prompt.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using vorn::editor::MakeEdit;

CDestFtpOptions::CDestFtpOptions(
    const vorn::DestinationSettings& prefill, const vorn::ProjectOptions& options, QWidget* parent)
    : QDialog(parent)
    , serverEdit_(MakeEdit(this, "destServerEdit", 128))
    , portEdit_(MakeEdit(this, "destPortEdit", 16, true))
    , userEdit_(MakeEdit(this, "destUserEdit", 32))
    , passwordEdit_(MakeEdit(this, "destPasswordEdit", 32))
    , pathEdit_(MakeEdit(this, "destPathEdit", 0))
    , connectButton_(new QPushButton("Connect", this))
    , okButton_(new QPushButton("OK", this))
    , cancelButton_(new QPushButton("Cancel", this))
    , list_(new RemoteFolderList(this))
{
    setObjectName("destFtpOptionsDialog");
    setWindowTitle("Destination FTP Options");
    connectButton_->setObjectName("destConnectButton");
    okButton_->setObjectName("destOkButton");
    cancelButton_->setObjectName("destCancelButton");
    list_->setObjectName("destRemoteList");
    okButton_->setDefault(true);
    passwordEdit_->setEchoMode(QLineEdit::Password);
    serverEdit_->setToolTip(vorn::editor::ServerToolTip());
    pathEdit_->setToolTip("Connect, then double-click folders to choose the destination folder.");

    auto* outer = new QGroupBox("Destination FTP Options", this);
    auto* info = new QGroupBox("FTP Information", outer);
    auto* infoGrid = vorn::editor::LayOutLoginFields(info, serverEdit_, portEdit_, userEdit_, passwordEdit_);
    infoGrid->addWidget(connectButton_, 2, 3);

    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(new QLabel("FTP Path:", outer));
    pathRow->addWidget(pathEdit_, 1);

    auto* outerLayout = new QVBoxLayout(outer);
    outerLayout->addWidget(info);
    outerLayout->addLayout(pathRow);
    outerLayout->addWidget(list_, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(okButton_);
    buttons->addWidget(cancelButton_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(outer, 1);
    layout->addLayout(buttons);

    list_->SetColumnWidths(98, 70, 70);

    portEdit_->setText("21");
    pathEdit_->setText("/");
    browser_ = new RemoteBrowser(
        { serverEdit_, portEdit_, userEdit_, passwordEdit_, pathEdit_, connectButton_, list_ },
        "Connect Ftp site failed!", this);
    browser_->SetSessionOptions(options);
    keyRow_ = new KeyFileRow(info, infoGrid, 3, QStringLiteral("dest"), serverEdit_, browser_);
    keyRow_->SetPath(QString::fromStdString(options.sshKey));
    // The prefill replaces the defaults above, an empty path included.
    serverEdit_->setText(QString::fromStdString(prefill.ftpdestip));
    portEdit_->setText(QString::fromStdString(prefill.ftpdestport));
    userEdit_->setText(QString::fromStdString(prefill.ftpdestuser));
    passwordEdit_->setText(QString::fromStdString(prefill.ftpdestpass));
    browser_->SetPath(prefill.ftpdestpath);

    for (QLineEdit* edit : { serverEdit_, portEdit_, userEdit_, passwordEdit_ })
        edit->installEventFilter(this);
    connect(connectButton_, &QPushButton::clicked, browser_, &RemoteBrowser::Connect);
    connect(okButton_, &QPushButton::clicked, this, &CDestFtpOptions::accept);
    connect(cancelButton_, &QPushButton::clicked, this, &CDestFtpOptions::reject);
    resize(520, 440);
    vorn::editor::OrderTabsByLayout(this);
}

void CDestFtpOptions::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (shownOnce_)
        return;
    shownOnce_ = true;
    // The first field still to fill: the server, or the folder once a server is known.
    QLineEdit* first = !serverEdit_->text().isEmpty() && browser_->path().empty() ? pathEdit_ : serverEdit_;
    first->setFocus(Qt::OtherFocusReason);
}

void CDestFtpOptions::Refuse(QLineEdit* field, const QString& message)
{
    Prompt::Warning(message, "Warning", this);
    field->setFocus(Qt::OtherFocusReason);
}

vorn::DestinationSettings CDestFtpOptions::ReadEdits() const
{
    vorn::DestinationSettings read;
    read.ftpdestpath = browser_->path();
    read.ftpdestip = serverEdit_->text().toStdString();
    read.ftpdestuser = userEdit_->text().toStdString();
    read.ftpdestpass = passwordEdit_->text().toStdString();
    read.ftpdestport = portEdit_->text().toStdString();
    return read;
}

std::string CDestFtpOptions::keyFile() const
{
    return keyRow_->path().toStdString();
}

void CDestFtpOptions::accept()
{
    destination_ = ReadEdits();
    if (destination_.ftpdestip.empty())
        return Refuse(serverEdit_, "Destition server address is blank, please enter server address!");
    if (const vorn::PortText port = vorn::ParsePort(destination_.ftpdestport); !port)
        return Refuse(portEdit_, QString::fromStdString(port.error));
    if (destination_.ftpdestpath.empty())
        return Refuse(pathEdit_, "Destinition FTP Path is blank, please select any directory!");
    QDialog::accept();
}

void CDestFtpOptions::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool CDestFtpOptions::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        // Enter in a login field means "connect with what I typed", not OK.
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            browser_->Connect();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
