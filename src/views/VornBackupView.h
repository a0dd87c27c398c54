#pragma once

#include "engine/RunControl.h"
#include "views/ProjectListModel.h"

#include <QString>
#include <QWidget>
#include <ctime>
#include <functional>
#include <string>

class QLabel;
class QMenu;
class QAction;
class QTableView;

namespace vorn {
class ProjectDb;
struct BackupProject;
} // namespace vorn

// The project list: one row per backup project. `selectedRow` is the project the commands
// act on: the highlighted row, whether a click or the keyboard moved the highlight, -1 when
// no row is highlighted (a click on the empty space below the rows takes it away).
// Everything here runs on the GUI thread; the run and the scheduler reach the cells through
// the setters below via queued calls.
class CVornBackupView : public QWidget {
    Q_OBJECT
public:
    struct RunInfo {
        vorn::RunState runState = vorn::RunState::Idle;
        QString runProjectName;
    };

    explicit CVornBackupView(QWidget* parent = nullptr);

    // Fills the empty list once from the database; "Transfer Status" starts empty. Returns
    // the database's message when the projects could not be read (empty on success).
    std::string FillProjectList(vorn::ProjectDb* db);
    // Writes one row from a project; `row` equal to the row count appends a new row.
    void WriteProjectRow(int row, const vorn::BackupProject& project, bool keepStatus);
    void RemoveProjectRow(int row);
    // A project dialog stored `project`: a new one (`oldName` empty) gets a row at the end, a
    // changed one has the row of `oldName` rewritten, keeping what its runs wrote there.
    void ShowStoredProject(const QString& oldName, const vorn::BackupProject& project);
    [[nodiscard]] int FindRowByName(const QString& name) const;
    [[nodiscard]] QString BackupNameAt(int row) const;
    [[nodiscard]] int rowCount() const;

    // Cell writers of the run, the commands and the scheduler; false when no row has the name.
    bool SetTransferStatus(const QString& name, const QString& text);
    bool SetLastBackupTime(const QString& name, const QString& text);
    bool SetNextBackupTime(const QString& name, const QString& text);

    [[nodiscard]] int selectedRow() const;
    void clearSelectedRow();

    void setRunInfoProvider(std::function<RunInfo()> provider) { runInfo_ = std::move(provider); }
    // The reference time for next backup times (tests fix it).
    void setClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }
    // Sets the context menu's items from the run state and the selected row.
    void UpdateContextMenu();

    [[nodiscard]] ProjectListModel* model() const { return model_; }
    [[nodiscard]] QTableView* list() const { return list_; }
    [[nodiscard]] QMenu* contextMenu() const { return menu_; }
    // The line over the empty list that says how to make the first project.
    [[nodiscard]] QLabel* emptyHint() const { return emptyHint_; }
    // Sizes the columns so that all seven fit the list's width (see the .cpp).
    void FitColumns();

signals:
    void selectedRowChanged(int row);
    // The file panes should show this row's project: the highlight moved to it (a click, a
    // right click or the keyboard), or the highlighted row was clicked again.
    void projectClicked(int row);
    void newRequested();
    void modifyRequested();
    void startRequested();
    void pauseRequested();
    void stopRequested();
    void deleteRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildContextMenu();
    [[nodiscard]] ProjectListModel::Cells CellsOf(const vorn::BackupProject& project) const;
    bool SetCellByName(const QString& name, int column, const QString& text);
    void ReportSelectedRow();
    void PlaceEmptyHint();
    // The width that shows the column's caption and every cell whole.
    [[nodiscard]] int ContentWidth(int column) const;

    ProjectListModel* model_;
    QTableView* list_;
    QMenu* menu_ = nullptr;
    QLabel* emptyHint_ = nullptr;
    QAction* newAction_ = nullptr;
    QAction* modifyAction_ = nullptr;
    QAction* startAction_ = nullptr;
    QAction* pauseAction_ = nullptr;
    QAction* stopAction_ = nullptr;
    QAction* deleteAction_ = nullptr;
    int reportedRow_ = -1; // the row selectedRowChanged last reported
    std::function<RunInfo()> runInfo_;
    std::function<std::time_t()> clock_;
};
