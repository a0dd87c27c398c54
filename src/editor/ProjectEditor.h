#pragma once

#include "editor/EditorState.h"

#include <QObject>

class CMainFrame;

namespace vorn {
class ProjectDb;
} // namespace vorn

// The project editor as the main window uses it: owns the editing state shared by the
// project dialog and its pages, and answers the window's New and Modify commands (menu,
// toolbar, list context menu, tray) through the window's hooks. A child of the window.
class ProjectEditor : public QObject {
    Q_OBJECT
public:
    // `db` must outlive the window.
    ProjectEditor(CMainFrame* frame, vorn::ProjectDb* db);

    [[nodiscard]] vorn::EditorState& state() { return state_; }

private:
    CMainFrame* frame_;
    vorn::ProjectDb* db_;
    vorn::EditorState state_;
};
