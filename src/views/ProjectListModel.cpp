#include "views/ProjectListModel.h"

#include <QApplication>
#include <QStyle>

namespace {

const char* const kCaptions[ProjectListModel::ColumnCount] = { "Backup Name", "Source Folder",
    "Destination Folder", "Transfer Status", "Last Backup Time", "Next Backup Time", "Backup Scheme" };
const int kWidths[ProjectListModel::ColumnCount] = { 90, 100, 100, 100, 100, 100, 100 };

} // namespace

ProjectListModel::ProjectListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
}

int ProjectListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ProjectListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ProjectListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole)
        return row.cells[static_cast<std::size_t>(index.column())];
    if (role == Qt::ToolTipRole)
        return ToolTip(row, index.column());
    if (role == Qt::DecorationRole && index.column() == TransferStatus && row.mark != StatusMark::None)
        return QApplication::style()->standardIcon(
            row.mark == StatusMark::Warning ? QStyle::SP_MessageBoxWarning : QStyle::SP_MessageBoxCritical);
    if (role == Qt::TextAlignmentRole)
        return index.column() == TransferStatus ? int(Qt::AlignCenter)
                                                : int(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

QVariant ProjectListModel::ToolTip(const Row& row, int column) const
{
    // The view shows it as plain text (PlainToolTipDelegate): names and paths come from the
    // stored project, reasons from a server.
    const QString& cell = row.cells[static_cast<std::size_t>(column)];
    return column == TransferStatus && !row.note.isEmpty() ? row.note : cell;
}

QVariant ProjectListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kCaptions[section]);
    if (role == Qt::TextAlignmentRole)
        return section == TransferStatus ? int(Qt::AlignCenter) : int(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

int ProjectListModel::ColumnWidth(int column)
{
    return column >= 0 && column < ColumnCount ? kWidths[column] : 0;
}

void ProjectListModel::AppendRow(const Cells& cells)
{
    const int row = rowCount();
    beginInsertRows({}, row, row);
    rows_.push_back({ cells, StatusMark::None, {} });
    endInsertRows();
}

void ProjectListModel::SetRow(int row, const Cells& cells, bool keepStatus)
{
    if (row < 0 || row >= rowCount())
        return;
    Row& target = rows_[static_cast<std::size_t>(row)];
    const Cells kept = target.cells;
    target.cells = cells;
    if (keepStatus) {
        // The run's cells: what a changed project last did stays true until it runs again.
        target.cells[TransferStatus] = kept[TransferStatus];
        target.cells[LastBackupTime] = kept[LastBackupTime];
    } else {
        target.mark = StatusMark::None;
        target.note.clear();
    }
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void ProjectListModel::RemoveRow(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
}

bool ProjectListModel::SetCell(int row, int column, const QString& text)
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= ColumnCount)
        return false;
    rows_[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)] = text;
    const QModelIndex cell = index(row, column);
    emit dataChanged(cell, cell);
    return true;
}

QString ProjectListModel::Cell(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= ColumnCount)
        return {};
    return rows_[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)];
}

void ProjectListModel::SetStatusNote(int row, StatusMark mark, const QString& note)
{
    if (row < 0 || row >= rowCount())
        return;
    Row& target = rows_[static_cast<std::size_t>(row)];
    target.mark = mark;
    target.note = note;
    const QModelIndex cell = index(row, TransferStatus);
    emit dataChanged(cell, cell);
}

ProjectListModel::StatusMark ProjectListModel::StatusMarkAt(int row) const
{
    return row >= 0 && row < rowCount() ? rows_[static_cast<std::size_t>(row)].mark : StatusMark::None;
}

QString ProjectListModel::StatusNoteAt(int row) const
{
    return row >= 0 && row < rowCount() ? rows_[static_cast<std::size_t>(row)].note : QString();
}

int ProjectListModel::FindRowByName(const QString& name) const
{
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].cells[BackupName] == name)
            return static_cast<int>(i);
    }
    return -1;
}
