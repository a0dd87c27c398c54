#pragma once

#include "views/FilePane.h"

namespace vorn {
class ProjectDb;
} // namespace vorn

// The destination pane: the local folder of an Ftp->Local project, or the destination
// folder on the destination server of an Ftp->Ftp project, of the project last clicked.
class CVornLocalTrans : public FilePane {
    Q_OBJECT
public:
    // What the rows are, and so what a double-click on one does.
    enum class Shown { Nothing, LocalFolder, FtpFolder };

    explicit CVornLocalTrans(QWidget* parent = nullptr);

    // A click on the project `name`: lists its local folder (every time) or its destination
    // FTP folder (unless the pane shows it already). Returns the project's ftptype, or -1
    // when it cannot be loaded (the pane is then left empty).
    int FillDestinationPane(vorn::ProjectDb* db, const QString& name);
    // Lists a local folder: "Parent Directory", then its folders and files. A missing folder
    // is created (one level); a path naming a file changes nothing (a double-clicked file).
    // The folder becomes localPanePath and the label once it could be read.
    void ListLocalFolder(const std::string& path);
    // A run of `project` has ended: when the pane shows its destination (the folder clicked
    // or one walked to from it), that folder is listed again, so it shows what the run wrote.
    void RefreshAfterRun(const QString& project);
    void Clear() override;

    [[nodiscard]] const QString& destPaneProject() const { return remoteProject(); }
    [[nodiscard]] const std::string& localPanePath() const { return localPanePath_; }
    [[nodiscard]] Shown shown() const { return shown_; }

protected:
    void OnRowDoubleClicked(int row) override;

private:
    // `forClick`: the pane must end up showing this project, so a destination that turns out
    // to be a file shows as a folder that cannot be read instead of leaving the rows of the
    // project clicked before.
    void StartLocalListing(const std::string& path, bool forClick);

    std::string localPanePath_;
    QString localProject_; // the project whose local folder was clicked
    Shown shown_ = Shown::Nothing;
};
