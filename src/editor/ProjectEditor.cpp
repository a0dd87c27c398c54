#include "editor/ProjectEditor.h"

#include "editor/FTPNew.h"
#include "editor/ProjectCommands.h"
#include "views/VornBackupView.h"

#include <QPointer>
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
    (void)vorn::NewProjectCommand(window_, db_, state_, StoredHandler());
}

void ProjectEditor::ModifyProject()
{
    const int row = view_ ? view_->selectedRow() : -1;
    if (row < 0 || row >= view_->rowCount())
        return;
    (void)vorn::ModifyProjectCommand(
        window_, db_, state_, view_->BackupNameAt(row).toStdString(), StoredHandler());
}

vorn::ProjectStoredHandler ProjectEditor::StoredHandler()
{
    // The dialog can outlive nothing here: it is a child of the window, like this object.
    const QPointer<ProjectEditor> self(this);
    return [self](const std::string& oldName, const vorn::BackupProject& project) {
        if (self)
            emit self->projectStored(QString::fromStdString(oldName), project);
    };
}
