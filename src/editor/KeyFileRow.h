#pragma once

#include <QObject>
#include <QString>

class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class RemoteBrowser;

// The "Key File:" row of a server's login group: the private key of an SFTP login (the
// project's one ssh-key option), with Browse and a note that the password field then holds
// the key's passphrase. Shown only while the server field names an sftp:// server; the
// browser's later sessions log in with the key typed here.
class KeyFileRow : public QObject {
    Q_OBJECT
public:
    // Fills rows `row` and `row + 1` of `grid` in `group`. Object names start with `prefix`
    // ("keyFileEdit", or "destKeyFileEdit" for the prefix "dest").
    KeyFileRow(QWidget* group, QGridLayout* grid, int row, const QString& prefix, QLineEdit* server,
        RemoteBrowser* browser);

    [[nodiscard]] QString path() const;
    void SetPath(const QString& path);

signals:
    void pathChanged(const QString& path);

private:
    void ShowFor(const QString& server);
    void Browse();

    QLabel* label_;
    QLineEdit* edit_;
    QPushButton* button_;
    QLabel* note_;
    RemoteBrowser* browser_;
};
