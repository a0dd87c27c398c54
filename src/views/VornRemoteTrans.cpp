#include "views/VornRemoteTrans.h"

#include "store/ProjectDb.h"
#include "store/Secrets.h"
#include "views/PaneListing.h"

CVornRemoteTrans::CVornRemoteTrans(QWidget* parent)
    : FilePane("sourceView", "sourceList", "Source Folder Path: ", "sourceLabel", parent)
{
}

void CVornRemoteTrans::FillSourcePane(vorn::ProjectDb* db, const QString& name)
{
    AbandonEarlierWork();
    if (!name.isEmpty() && name == remoteProject()) {
        ShowRemoteProject(name, remoteLogin(), remotePath());
        return;
    }
    vorn::BackupProject project;
    if (name.isEmpty() || !vorn::LoadProject(db, name.toStdString(), project)) {
        // Rows of the project shown before would pass for this one's.
        model()->Clear();
        ForgetRemoteProject();
        return;
    }
    // A password kept in the keyring; without it the login below says what is wrong.
    (void)vorn::FillProjectSecrets(db, project);
    ShowRemoteProject(name,
        ProjectLogin(
            db, project.ftpname, project.ftpip, project.ftpuser, project.ftppassword, project.ftpport),
        project.ftpsource);
}

void CVornRemoteTrans::RefreshAfterRun(const QString& project)
{
    // A listing under way shows the folder as it is now anyway.
    if (!project.isEmpty() && project == remoteProject() && !busy())
        RelistRemote();
}

void CVornRemoteTrans::OnRowDoubleClicked(int row)
{
    WalkRemote(row);
}
