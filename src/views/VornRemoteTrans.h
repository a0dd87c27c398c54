#pragma once

#include "views/FilePane.h"

namespace vorn {
class ProjectDb;
} // namespace vorn

// The source pane: the source folder of the project last clicked, on its FTP server.
class CVornRemoteTrans : public FilePane {
    Q_OBJECT
public:
    explicit CVornRemoteTrans(QWidget* parent = nullptr);

    // A click on the project `name`: lists its source folder, unless the pane shows it
    // already. A project that cannot be loaded leaves the pane empty.
    void FillSourcePane(vorn::ProjectDb* db, const QString& name);

    // A run of `project` ended: a file it copied may have changed on the server since the pane
    // listed it (a new size or time), so the folder shown is listed again.
    void RefreshAfterRun(const QString& project);

    [[nodiscard]] const QString& sourcePaneProject() const { return remoteProject(); }
    [[nodiscard]] const std::string& sourcePanePath() const { return remotePath(); }

protected:
    void OnRowDoubleClicked(int row) override;
};
