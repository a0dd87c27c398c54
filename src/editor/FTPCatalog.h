#pragma once

#include <QString>
#include <QWidget>

class KeyFileRow;
class QLineEdit;
class QPushButton;
class RemoteBrowser;
class RemoteFolderList;

namespace vorn {
struct BackupProject;
struct EditorState;
struct ProjectOptions;
} // namespace vorn

// The "Directory Settings" page: project name, the source server and its login, the source
// folder (picked by walking the server's folders) and the local destination folder.
class FTPCatalog : public QWidget {
    Q_OBJECT
public:
    // Shows the defaults, or the fields of state.editedProject when state.isModifying.
    explicit FTPCatalog(const vorn::EditorState& state, QWidget* parent = nullptr);

    // Writes ftpname, ftpsource, ftpdest, ftpip, ftpuser, ftppassword and ftpport.
    void Collect(vorn::BackupProject& project) const;
    // Writes the option ssh-key (the key file of an SFTP login).
    void Collect(vorn::ProjectOptions& options) const;
    // The key-file row: the dialog keeps it in step with the destination dialog's.
    [[nodiscard]] KeyFileRow* keyFileRow() const { return keyRow_; }

    // The fields the dialog's messages name; the keyboard focus goes there.
    enum class Field { Name, Server, Port, SourcePath, LocalPath };
    void FocusField(Field field);

    [[nodiscard]] RemoteBrowser* browser() const { return browser_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BrowseLocalFolder();

    QLineEdit* nameEdit_;
    QLineEdit* serverEdit_;
    QLineEdit* portEdit_;
    QLineEdit* userEdit_;
    QLineEdit* passwordEdit_;
    QLineEdit* pathEdit_;
    QLineEdit* localEdit_;
    QPushButton* connectButton_;
    QPushButton* browseButton_;
    KeyFileRow* keyRow_ = nullptr;
    RemoteFolderList* list_;
    RemoteBrowser* browser_;
};
