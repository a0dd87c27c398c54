#include "views/VornLocalTrans.h"

#include "store/ProjectDb.h"
#include "store/Secrets.h"
#include "views/PaneListing.h"

CVornLocalTrans::CVornLocalTrans(QWidget* parent)
    : FilePane("destinationView", "destinationList", "Destination Folder Path: ", "destinationLabel", parent)
{
}

int CVornLocalTrans::FillDestinationPane(vorn::ProjectDb* db, const QString& name)
{
    AbandonEarlierWork();
    vorn::BackupProject project;
    localProject_.clear();
    if (name.isEmpty() || !vorn::LoadProject(db, name.toStdString(), project)) {
        // Rows of the project shown before would pass for this one's.
        model()->Clear();
        ForgetRemoteProject();
        shown_ = Shown::Nothing;
        return -1;
    }
    if (project.type() == vorn::FtpType::FtpToLocal) {
        // Rows still on screen belong to the previous listing until this one lands; a
        // double-click on them must not walk from this project's folder.
        shown_ = Shown::Nothing;
        localProject_ = name;
        localPanePath_ = NormalLocalPath(project.ftpdest);
        StartLocalListing(project.ftpdest, true);
    } else if (project.type() == vorn::FtpType::FtpToFtp) {
        shown_ = Shown::FtpFolder;
        (void)vorn::FillProjectSecrets(db, project); // a password kept in the keyring
        ShowRemoteProject(name,
            ProjectLogin(db, project.ftpname, project.ftpdestip, project.ftpdestuser, project.ftpdestpass,
                project.ftpdestport),
            project.ftpdestpath);
    } else {
        // No destination this program knows how to show.
        model()->Clear();
        ForgetRemoteProject();
        shown_ = Shown::Nothing;
    }
    return project.ftptype;
}

void CVornLocalTrans::ListLocalFolder(const std::string& path)
{
    StartLocalListing(path, false);
}

void CVornLocalTrans::RefreshAfterRun(const QString& project)
{
    // A listing under way shows the folder as it is now anyway.
    if (project.isEmpty() || busy())
        return;
    if (shown_ == Shown::LocalFolder && project == localProject_)
        StartLocalListing(localPanePath_, false);
    else if (shown_ == Shown::FtpFolder && project == destPaneProject())
        RelistRemote();
}

void CVornLocalTrans::Clear()
{
    FilePane::Clear();
    // Cleaned means empty until the next click, whatever runs end.
    localProject_.clear();
}

void CVornLocalTrans::StartLocalListing(const std::string& path, bool forClick)
{
    const std::string folder = NormalLocalPath(path);
    (void)paneJobs().Abandon();
    (void)paneJobs().Start([this, folder, forClick](vorn::OffThreadJobs::Job& job) {
        LocalListing listing = ReadLocalFolder(folder, [&job] { return job.stale(); });
        if (listing.notAFolder && !forClick)
            return vorn::OffThreadJobs::Continuation();
        return vorn::OffThreadJobs::Continuation([this, folder, listing = std::move(listing)]() mutable {
            // A later click on an Ftp->Ftp project must list its folder again.
            ForgetRemoteProject();
            shown_ = Shown::LocalFolder;
            model()->SetEntries(std::move(listing.rows));
            if (listing.readable) {
                localPanePath_ = folder;
                SetPathText(QString::fromStdString(folder));
            }
        });
    });
}

void CVornLocalTrans::OnRowDoubleClicked(int row)
{
    const FileListModel::Entry* entry = model()->EntryAt(row);
    if (!entry)
        return;
    // What the rows are decides, not the mode of the last run: a run of another project
    // must not turn a remote folder's name into a local folder to create.
    switch (shown_) {
    case Shown::LocalFolder:
        if (entry->kind == FileListModel::Kind::Parent) {
            if (const auto parent = ParentLocalPath(localPanePath_))
                ListLocalFolder(*parent);
        } else {
            ListLocalFolder(ChildLocalPath(localPanePath_, entry->rawName));
        }
        break;
    case Shown::FtpFolder:
        WalkRemote(row);
        break;
    case Shown::Nothing:
        break;
    }
}
