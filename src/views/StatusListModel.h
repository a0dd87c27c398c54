#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <deque>

// The files the runs handled, newest first. Rows are stored oldest first and shown in
// reverse, so adding a row is one push_back and one single-row insert at the top, and a row
// keeps its id however many rows come after it.
class StatusListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, Name, Size, Status, ColumnCount };
    using RowId = std::int64_t;

    explicit StatusListModel(QObject* parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Inserts a row at the top and returns its id.
    RowId AddRow(const QString& time, const QString& name, const QString& size, const QString& status);
    // Sets the "Status" cell of the row with this id, and the reason a "Failed" row shows as
    // its tool tip; false when the row is gone (cleared).
    bool SetStatus(RowId id, const QString& status, const QString& reason = {});
    void Clear();

    // The id the next added row will get: rows with ids at or above a mark came after it.
    [[nodiscard]] RowId NextId() const { return firstId_ + static_cast<RowId>(rows_.size()); }
    // The "Name" cells of the rows added since `mark`, oldest first.
    [[nodiscard]] std::deque<QString> NamesSince(RowId mark) const;
    [[nodiscard]] QString Cell(int row, int column) const;
    // The "Name" cell of the row with this id; empty when the row is gone.
    [[nodiscard]] QString NameOf(RowId id) const;

    static int ColumnWidth(int column);

private:
    struct Row {
        QString time;
        QString name;
        QString size;
        QString status;
        QString reason;
    };
    [[nodiscard]] const Row* RowAt(int displayRow) const;

    std::deque<Row> rows_;
    RowId firstId_ = 0;
};
