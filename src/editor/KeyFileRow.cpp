#include "editor/KeyFileRow.h"

#include "editor/EditorWidgets.h"
#include "editor/RemoteBrowser.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

QByteArray Named(const QString& prefix, const char* name)
{
    if (prefix.isEmpty())
        return QByteArray(name);
    QString full = prefix + QString::fromLatin1(name);
    full[prefix.size()] = full[prefix.size()].toUpper();
    return full.toLatin1();
}

} // namespace

KeyFileRow::KeyFileRow(QWidget* group, QGridLayout* grid, int row, const QString& prefix, QLineEdit* server,
    RemoteBrowser* browser)
    : QObject(group)
    , label_(new QLabel("Key File:", group))
    , edit_(vorn::editor::MakeEdit(group, Named(prefix, "keyFileEdit").constData(), 0))
    , button_(vorn::editor::MakeButton(group, Named(prefix, "keyFileButton").constData(), "Browse "))
    , note_(new QLabel(
          "With a key file the password field holds the key's passphrase (empty for none).", group))
    , browser_(browser)
{
    edit_->setToolTip("A private key file (OpenSSH format) for the SFTP login; empty: the password, "
                      "or the SSH agent when the password is empty too.");
    note_->setObjectName(QString::fromLatin1(Named(prefix, "keyFileNote")));
    note_->setWordWrap(true);
    grid->addWidget(label_, row, 0);
    grid->addWidget(edit_, row, 1, 1, 3);
    grid->addWidget(button_, row, 4);
    grid->addWidget(note_, row + 1, 1, 1, 4);

    connect(button_, &QPushButton::clicked, this, &KeyFileRow::Browse);
    connect(edit_, &QLineEdit::textChanged, this, [this](const QString& path) {
        vorn::ProjectOptions options = browser_->sessionOptions();
        options.sshKey = path.toStdString();
        browser_->SetSessionOptions(options);
        emit pathChanged(path);
    });
    connect(server, &QLineEdit::textChanged, this, &KeyFileRow::ShowFor);
    ShowFor(server->text());
}

QString KeyFileRow::path() const
{
    return edit_->text();
}

void KeyFileRow::SetPath(const QString& path)
{
    if (edit_->text() != path)
        edit_->setText(path);
}

void KeyFileRow::ShowFor(const QString& server)
{
    const bool sftp = server.trimmed().startsWith(QStringLiteral("sftp://"), Qt::CaseInsensitive);
    for (QWidget* widget : { static_cast<QWidget*>(label_), static_cast<QWidget*>(edit_),
             static_cast<QWidget*>(button_), static_cast<QWidget*>(note_) })
        widget->setVisible(sftp);
}

void KeyFileRow::Browse()
{
    QString start = edit_->text();
    if (start.isEmpty())
        start = QDir::home().filePath(QStringLiteral(".ssh"));
    const QString file = QFileDialog::getOpenFileName(edit_->window(), QStringLiteral("Private Key File"),
        start, QString(), nullptr, QFileDialog::DontResolveSymlinks);
    if (!file.isEmpty())
        edit_->setText(file);
}
