#pragma once

#include "engine/ConnectionOps.h"
#include "gui/OffThreadJobs.h"
#include "views/FileListModel.h"

#include <QWidget>
#include <functional>
#include <string>

class QLabel;
class QTableView;

// A pane that lists one folder: the list, and under it a caption and the folder's path.
// The two file panes share this shape and the browsing of a project's FTP folder; where
// they take the project's server from is theirs.
//
// Listings run on worker threads (OffThreadJobs) and land here on the GUI thread. Each pane
// remembers the project whose FTP folder it shows, so a second click on it costs no
// connection; a failed login, a Clean and an abandoned listing forget it.
class FilePane : public QWidget {
    Q_OBJECT
public:
    FilePane(const QString& objectName, const QString& listName, const QString& caption,
        const QString& labelName, QWidget* parent = nullptr);

    // Deletes every row, empties the path label and forgets the project shown, so the next
    // click lists it again (the Clean commands). A listing under way still delivers.
    virtual void Clear();
    void SetPathText(const QString& path);
    [[nodiscard]] QString pathText() const;
    [[nodiscard]] int rowCount() const;

    [[nodiscard]] FileListModel* model() const { return model_; }
    [[nodiscard]] QTableView* list() const { return list_; }

    // The project whose FTP folder the pane shows ("" for none), its server and the folder
    // listed, relative to the login folder.
    [[nodiscard]] const QString& remoteProject() const { return remoteProject_; }
    [[nodiscard]] const vorn::ServerLogin& remoteLogin() const { return remoteLogin_; }
    [[nodiscard]] const std::string& remotePath() const { return remotePath_; }
    // True while a listing the pane waits for is under way.
    [[nodiscard]] bool busy() const { return jobs_.pending() > 0; }
    [[nodiscard]] const vorn::OffThreadJobs& jobs() const { return jobs_; }

protected:
    // What a project click does first: listings of an earlier click or double-click are
    // abandoned. One cut short leaves the pane incomplete, so its rows go and its project is
    // forgotten (a click on the same project then lists it again instead of doing nothing),
    // and the path label is blanked until the new listing names its folder.
    void AbandonEarlierWork();
    // Shows the FTP folder `folder` of `project`: rows and label now, the listing from a
    // worker. Nothing is done when the pane already shows that project (the label is put back).
    void ShowRemoteProject(const QString& project, const vorn::ServerLogin& login, const std::string& folder);
    // Double-click on a row of an FTP listing: ".." lists the parent, another row the
    // sub-folder of that name. Meanwhile the list is empty; a failure (a file, a lost
    // server) leaves it so, with the path unchanged.
    void WalkRemote(int row);
    // Lists the FTP folder shown again, rows replaced once they came; a failed listing
    // leaves the rows as they are.
    void RelistRemote();
    void ForgetRemoteProject();
    virtual void OnRowDoubleClicked(int row) = 0;

    [[nodiscard]] vorn::OffThreadJobs& paneJobs() { return jobs_; }
    // Starts `work` on a job thread with an FTP session of its own, which an Abandon (a new
    // click, the pane going) cancels, so a silent server cannot hold the job up.
    // Runs `work` off the GUI thread on a new session for `login` (null when no client speaks
    // its protocol), cancelled when the job is abandoned.
    bool StartFtpJob(const vorn::ServerLogin& login,
        std::function<vorn::OffThreadJobs::Continuation(vorn::remote::RemoteSession* session)> work);

private:
    FileListModel* model_;
    QTableView* list_;
    QLabel* captionLabel_;
    QLabel* pathLabel_;
    QString remoteProject_;
    vorn::ServerLogin remoteLogin_;
    std::string remotePath_;
    // Last, so its threads are joined before anything else of the pane goes.
    vorn::OffThreadJobs jobs_;
};
