#pragma once

#include "editor/EditorState.h"
#include "editor/ProjectCommands.h"

#include <QObject>
#include <QString>

class CVornBackupView;
class FTPNew;
class QWidget;

namespace vorn {
class ProjectDb;
} // namespace vorn

// The project editor as the main window uses it: owns the editing state shared by the
// project dialog and its pages, and answers the window's New and Modify commands (menu,
// toolbar, list context menu, tray). A child of the window, which calls NewProject and
// ModifyProject from its command hooks.
class ProjectEditor : public QObject {
    Q_OBJECT
public:
    // `db` must outlive the window; `view` is the window's project list, read for the row
    // Modify acts on (the editor never writes into it).
    ProjectEditor(QWidget* window, vorn::ProjectDb* db, CVornBackupView* view);

    [[nodiscard]] vorn::EditorState& state() { return state_; }

public slots:
    void NewProject();
    void ModifyProject();

signals:
    // The project dialog was closed with OK and `project` stored; `oldName` is the name it had
    // before (empty for a new project). The window writes its list row from this.
    void projectStored(const QString& oldName, const vorn::BackupProject& project);

private:
    [[nodiscard]] vorn::ProjectStoredHandler StoredHandler();

    QWidget* window_;
    vorn::ProjectDb* db_;
    CVornBackupView* view_;
    vorn::EditorState state_;
};
