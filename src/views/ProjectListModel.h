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

    explicit ProjectListModel(QObject* parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void AppendRow(const Cells& cells);
    // Replaces a row's cells; `keepStatus` leaves its "Transfer Status" cell as it is.
    void SetRow(int row, const Cells& cells, bool keepStatus);
    void RemoveRow(int row);
    bool SetCell(int row, int column, const QString& text);
    [[nodiscard]] QString Cell(int row, int column) const;
    // First row whose "Backup Name" equals `name` exactly, or -1.
    [[nodiscard]] int FindRowByName(const QString& name) const;

    static int ColumnWidth(int column);

private:
    std::vector<Cells> rows_;
};
