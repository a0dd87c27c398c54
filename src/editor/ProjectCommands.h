#pragma once

class CVornBackupView;
class FTPNew;
class QWidget;

namespace vorn {

class ProjectDb;
struct EditorState;

// The New command: clears what a new project must not inherit (the destination fields and
// the compression password of editedProject, its schedule days), then opens the project
// dialog. On OK the project is inserted and appended to the list; when the store refuses it
// the user is told and the list stays as the table is. Returns the open dialog, or null
// when a project dialog is open already.
FTPNew* NewProjectCommand(QWidget* parent, ProjectDb* db, EditorState& state, CVornBackupView* view);

// The Modify command on the list's selected row: loads the project and opens the dialog in
// Modify mode; OK updates the stored project (a rename included) and rewrites the row,
// keeping its "Transfer Status" and emptying its "Last Backup Time". Null, with nothing
// changed, when no row is selected, the project is no longer stored, or a dialog is open.
FTPNew* ModifyProjectCommand(QWidget* parent, ProjectDb* db, EditorState& state, CVornBackupView* view);

} // namespace vorn
