#pragma once

#include "engine/RunControl.h"
#include "engine/TransferFigures.h"
#include "engine/restore/RestoreProject.h"
#include "gui/OffThreadJobs.h"

#include <QDialog>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStandardItemModel;
class QTableWidget;
class QTimer;
class QTreeView;

namespace vorn {
class ProjectDb;
} // namespace vorn

// Restores a point in time of one project: pick the run, browse the tree as it was then
// (sizes, times, a search by name), pick files and folders (none picked: all), choose the
// target folder (or the source server) and the overwrite rule, preview with a dry run,
// restore with progress and Stop, and open the restored folder. Reading the archives and the
// restore run off the GUI thread; the rows come back queued to the dialog.
class CRestoreDialog : public QDialog {
    Q_OBJECT
public:
    // `archiveFile` picks the point of that archive (empty: the newest).
    CRestoreDialog(vorn::ProjectDb* db, const QString& projectName, const QString& archiveFile = {},
        QWidget* parent = nullptr);
    ~CRestoreDialog() override;

    [[nodiscard]] bool busy() const { return busy_; }
    // The paths of the picked tree entries; empty when nothing is picked.
    [[nodiscard]] std::vector<std::string> pickedPaths() const;

signals:
    void loaded(); // the points or the tree of a point have been read
    void helpRequested(); // the Help button: the manual's page on restoring
    void finished(const QString& resultText); // a preview or a restore is over

private:
    void LayOut(QPushButton* browse, QDialogButtonBox* buttons);
    void Wire(QPushButton* browse, QDialogButtonBox* buttons);
    void LoadSource(const QString& archiveFile);
    void ShowPoints(const QString& archiveFile);
    void LoadPoint();
    void ShowItems(const std::vector<vorn::RestoreItem>& items);
    void Filter(const QString& text);
    void Start(bool dryRun);
    void AddRow(const QString& path, const QString& status, const QString& reason);
    void Finish(const QString& result, const QString& failure);
    void UpdateButtons();
    void ShowProblem(const QString& text);

    vorn::ProjectDb* db_;
    QString projectName_;
    std::shared_ptr<const vorn::RestoreSource> source_;
    std::vector<vorn::RestorePoint> points_;
    vorn::RunControl control_;
    vorn::TransferFigures figures_;
    bool busy_ = false;
    bool restoredOnce_ = false;

    QComboBox* point_ = nullptr;
    QLineEdit* search_ = nullptr;
    QTreeView* tree_ = nullptr;
    QStandardItemModel* model_ = nullptr;
    QLineEdit* target_ = nullptr;
    QCheckBox* toSource_ = nullptr;
    QLineEdit* sourceFolder_ = nullptr; // another folder of the source server; empty: the project's
    QComboBox* overwrite_ = nullptr;
    QPushButton* preview_ = nullptr;
    QPushButton* restore_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* openFolder_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* notice_ = nullptr;
    QLabel* result_ = nullptr;
    QTableWidget* rows_ = nullptr;
    QTimer* progressTimer_ = nullptr;
    // Last: its jobs are joined before the widgets and the run control go.
    std::unique_ptr<vorn::OffThreadJobs> jobs_;
};
