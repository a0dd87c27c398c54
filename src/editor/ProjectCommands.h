#pragma once

#include <functional>
#include <string>

class FTPNew;
class QWidget;

namespace vorn {

class ProjectDb;
struct BackupProject;
struct EditorState;

// Called once a project dialog's project is stored: `oldName` is the name the project had
// before (empty for a new one). The window's list is written from here, never by the editor.
using ProjectStoredHandler = std::function<void(const std::string& oldName, const BackupProject& project)>;

// The New command: clears what a new project must not inherit (the destination fields and
// the compression password of editedProject, its schedule days), then opens the project
// dialog. On OK the project is inserted and `stored` is told; when the store refuses it the
// user is told and nothing else happens. Returns the open dialog, or null when a project
// dialog is open already.
FTPNew* NewProjectCommand(QWidget* parent, ProjectDb* db, EditorState& state, ProjectStoredHandler stored);

// The Modify command on the project `name` (the list's selected row): loads the project and
// opens the dialog in Modify mode; OK updates the stored project (a rename included) and
// tells `stored`. Null, with nothing changed, when `name` is empty, the project is no longer
// stored, or a dialog is open.
FTPNew* ModifyProjectCommand(
    QWidget* parent, ProjectDb* db, EditorState& state, const std::string& name, ProjectStoredHandler stored);

} // namespace vorn
