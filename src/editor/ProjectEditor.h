#pragma once

#include "editor/EditorState.h"

#include <QObject>

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
    // `db` must outlive the window; `view` is the window's project list.
    ProjectEditor(QWidget* window, vorn::ProjectDb* db, CVornBackupView* view);

    [[nodiscard]] vorn::EditorState& state() { return state_; }

public slots:
    void NewProject();
    void ModifyProject();

signals:
    // The project dialog was closed with OK and its project stored (or refused by the store).
    void projectStored();

private:
    void ReportWhenStored(FTPNew* dialog);

    QWidget* window_;
    vorn::ProjectDb* db_;
    CVornBackupView* view_;
    vorn::EditorState state_;
};
