#include "editor/ProjectEditor.h"

#include "editor/FTPNew.h"
#include "editor/ProjectCommands.h"

#include <QDialog>
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
    ReportWhenStored(vorn::NewProjectCommand(window_, db_, state_, view_));
}

void ProjectEditor::ModifyProject()
{
    ReportWhenStored(vorn::ModifyProjectCommand(window_, db_, state_, view_));
}

void ProjectEditor::ReportWhenStored(FTPNew* dialog)
{
    if (!dialog)
        return;
    // Connected after the command's own handler, so the project is stored by the time the
    // signal goes out.
    connect(dialog, &QDialog::finished, this, [this](int result) {
        if (result == QDialog::Accepted)
            emit projectStored();
    });
}
