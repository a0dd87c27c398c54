#pragma once

#include <QString>
#include <QWidget>

class QGridLayout;
class QLabel;
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

    // The fields the dialog's messages name; the keyboard focus goes there.
    enum class Field { Name, Server, Port, SourcePath, LocalPath };
    void FocusField(Field field);

    [[nodiscard]] RemoteBrowser* browser() const { return browser_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BrowseLocalFolder();
    void BrowseKeyFile();
    void AddKeyFileRow(QWidget* group, QGridLayout* grid);
    void ShowKeyFileRow(const QString& server);

    QLineEdit* nameEdit_;
    QLineEdit* serverEdit_;
    QLineEdit* portEdit_;
    QLineEdit* userEdit_;
    QLineEdit* passwordEdit_;
    QLineEdit* pathEdit_;
    QLineEdit* localEdit_;
    QPushButton* connectButton_;
    QPushButton* browseButton_;
    QLineEdit* keyEdit_;
    QPushButton* keyButton_;
    QLabel* keyNote_;
    QLabel* keyLabel_ = nullptr;
    RemoteFolderList* list_;
    RemoteBrowser* browser_;
};
