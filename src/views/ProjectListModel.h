#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <array>
#include <vector>

// The rows of the project list: seven text cells per project, in load order followed by
// projects added later. Column headers do not sort.
class ProjectListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        BackupName,
        SourceFolder,
        DestinationFolder,
        TransferStatus,
        LastBackupTime,
        NextBackupTime,
        BackupScheme,
        ColumnCount
    };
    using Cells = std::array<QString, ColumnCount>;
    // How the "Transfer Status" cell of a row is marked beside its text.
    enum class StatusMark { None, Warning, Failure };

    explicit ProjectListModel(QObject* parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void AppendRow(const Cells& cells);
    // Replaces a row's cells; `keepStatus` (Modify) leaves its "Transfer Status" and "Last Backup
    // Time" cells, mark and note as they are.
    void SetRow(int row, const Cells& cells, bool keepStatus);
    void RemoveRow(int row);
    bool SetCell(int row, int column, const QString& text);
    [[nodiscard]] QString Cell(int row, int column) const;
    // The mark and the tool tip of a row's "Transfer Status" cell (the tip shows the cell's text
    // when `note` is empty); they go with the row until set again.
    void SetStatusNote(int row, StatusMark mark, const QString& note);
    [[nodiscard]] StatusMark StatusMarkAt(int row) const;
    [[nodiscard]] QString StatusNoteAt(int row) const;
    // First row whose "Backup Name" equals `name` exactly, or -1.
    [[nodiscard]] int FindRowByName(const QString& name) const;

    static int ColumnWidth(int column);

private:
    struct Row {
        Cells cells;
        StatusMark mark = StatusMark::None;
        QString note;
    };
    [[nodiscard]] QVariant ToolTip(const Row& row, int column) const;

    std::vector<Row> rows_;
};
