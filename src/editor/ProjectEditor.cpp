#include "editor/ProjectEditor.h"

#include "editor/ProjectCommands.h"

#include <QWidget>

ProjectEditor::ProjectEditor(QWidget* window, vorn::ProjectDb* db, CVornBackupView* view)
    : QObject(window)
    , window_(window)
    , db_(db)
    , view_(view)
{
    setObjectName("projectEditor");
}

void ProjectEditor::NewProject()
{
    vorn::NewProjectCommand(window_, db_, state_, view_);
}

void ProjectEditor::ModifyProject()
{
    vorn::ModifyProjectCommand(window_, db_, state_, view_);
}
