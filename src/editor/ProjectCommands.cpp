#include "editor/ProjectCommands.h"

#include "editor/EditorState.h"
#include "editor/FTPNew.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "store/ProjectOptions.h"
#include "store/Secrets.h"

#include <QPointer>

namespace vorn {
namespace {

QString NotSavedMessage(const BackupProject& project, ProjectDb* db)
{
    return QStringLiteral("The project \"%1\" could not be saved in the project database \"%2\".")
        .arg(QString::fromStdString(project.ftpname), db ? QString::fromStdString(db->path()) : QString());
}

// While the database keeps its passwords in the keyring, a password typed into the dialog
// goes there too and leaves the table.
void KeepPasswordsInKeyring(ProjectDb* db, QWidget* parent)
{
    SecretStore* store = ProgramSecretStore();
    const auto settings = LoadSettings(db);
    if (store == nullptr || !settings || !settings->keyring)
        return;
    if (const Status moved = MoveSecretsToKeyring(db, *store); !moved)
        Prompt::Warning("The password stays in the database: " + QString::fromStdString(moved.message()),
            "Warning", parent);
}

} // namespace

FTPNew* NewProjectCommand(QWidget* parent, ProjectDb* db, EditorState& state, ProjectStoredHandler stored)
{
    if (state.dialogOpen)
        return nullptr;
    state.isModifying = false;
    state.selectedName.clear();
    BackupProject& project = state.editedProject;
    project.ftpplan.clear();
    // A new project starts without another project's destination server or archive password.
    ApplyDestination(DestinationSettings {}, project);
    project.ftpcompass.clear();
    state.editedOptions = ProjectOptions {};

    auto* dialog = new FTPNew(state, db, parent);
    state.dialogOpen = true;
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, db, &state, stored](int result) {
        state.dialogOpen = false;
        dialog->deleteLater();
        if (result != QDialog::Accepted)
            return;
        if (!InsertProject(db, state.editedProject)
            || !SaveProjectOptions(db, state.editedProject.ftpname, state.editedOptions)) {
            Prompt::Warning(NotSavedMessage(state.editedProject, db), "Warning", dialog->parentWidget());
            return;
        }
        KeepPasswordsInKeyring(db, dialog->parentWidget());
        if (stored)
            stored({}, state.editedProject);
    });
    dialog->open();
    return dialog;
}

FTPNew* ModifyProjectCommand(
    QWidget* parent, ProjectDb* db, EditorState& state, const std::string& name, ProjectStoredHandler stored)
{
    if (state.dialogOpen || name.empty())
        return nullptr;
    state.selectedName = name;
    state.editedProject.ftpplan.clear();
    if (!LoadProject(db, state.selectedName, state.editedProject)
        || !LoadProjectOptions(db, state.selectedName, state.editedOptions)) {
        state.selectedName.clear();
        return nullptr;
    }

    state.isModifying = true;
    auto* dialog = new FTPNew(state, db, parent);
    state.dialogOpen = true;
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, db, &state, stored](int result) {
        const std::string oldName = state.selectedName;
        state.dialogOpen = false;
        state.lastDestination = DestinationSettings {};
        state.isModifying = false;
        state.selectedName.clear();
        dialog->deleteLater();
        if (result != QDialog::Accepted)
            return;
        if (!UpdateProject(db, oldName, state.editedProject)
            || !SaveProjectOptions(db, state.editedProject.ftpname, state.editedOptions)) {
            Prompt::Warning(NotSavedMessage(state.editedProject, db), "Warning", dialog->parentWidget());
            return;
        }
        KeepPasswordsInKeyring(db, dialog->parentWidget());
        if (stored)
            stored(oldName, state.editedProject);
    });
    dialog->open();
    return dialog;
}

} // namespace vorn
