#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <vector>

class QLabel;
class QTableWidget;

namespace vorn {
class ProjectDb;
} // namespace vorn

// The run history of one project: its recorded runs (newest first) and, below them, the
// files and folders the picked run could not copy, with the reasons. Everything is read from
// the database when the dialog opens and on Refresh; a run going on meanwhile only adds a
// row when it ends, so the dialog may stay open during runs.
class CHistoryDialog : public QDialog {
    Q_OBJECT
public:
    enum RunColumn {
        Start,
        End,
        Kind, // "backup", or "restore" for a restore
        Outcome,
        FilesCopied,
        FilesFailed,
        FoldersFailed,
        Bytes,
        Reason,
        RunColumnCount
    };

    // `runId` picks a run (0: the newest).
    CHistoryDialog(
        vorn::ProjectDb* db, const QString& projectName, std::int64_t runId = 0, QWidget* parent = nullptr);

    // Reads the runs again, keeping the picked run when it is still recorded.
    void Reload();
    // Picks the run with this id; false when it is not listed.
    bool SelectRun(std::int64_t runId);

    [[nodiscard]] QTableWidget* runsTable() const { return runs_; }
    [[nodiscard]] QTableWidget* failuresTable() const { return failures_; }
    [[nodiscard]] std::int64_t selectedRunId() const;

private:
    void ShowFailures();

    vorn::ProjectDb* db_;
    QString projectName_;
    std::vector<std::int64_t> runIds_; // the id of each row of the runs table
    QLabel* notice_ = nullptr;
    QTableWidget* runs_ = nullptr;
    QTableWidget* failures_ = nullptr;
};
