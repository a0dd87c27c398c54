#include "views/StatusListModel.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QStyle>
#include <algorithm>

namespace {

const char* const kCaptions[StatusListModel::ColumnCount] = { "Time", "Name", "Size", "Status" };
const int kWidths[StatusListModel::ColumnCount] = { 80, 200, 100, 80 };

int Alignment(int column)
{
    return column == StatusListModel::Size || column == StatusListModel::Status
        ? int(Qt::AlignRight | Qt::AlignVCenter)
        : int(Qt::AlignLeft | Qt::AlignVCenter);
}

} // namespace

StatusListModel::StatusListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
}

int StatusListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int StatusListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

const StatusListModel::Row* StatusListModel::RowAt(int displayRow) const
{
    if (displayRow < 0 || displayRow >= rowCount())
        return nullptr;
    return &rows_[rows_.size() - 1 - static_cast<std::size_t>(displayRow)];
}

QString StatusListModel::Cell(int row, int column) const
{
    const Row* r = RowAt(row);
    if (!r)
        return {};
    switch (column) {
    case Time:
        return r->time;
    case Name:
        return r->name;
    case Size:
        return r->size;
    case Status:
        return r->status;
    default:
        return {};
    }
}

QVariant StatusListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const Row* row = RowAt(index.row());
    if (row == nullptr)
        return {};
    if (role == Qt::ToolTipRole) {
        // A failed row tells why on every cell; the name stays in front of it. The view shows
        // both as plain text (PlainToolTipDelegate).
        if (!row->reason.isEmpty())
            return index.column() == Name ? row->name + "\n" + row->reason : row->reason;
        return index.column() == Name ? QVariant(row->name) : QVariant();
    }
    if (role == Qt::DisplayRole)
        return Cell(index.row(), index.column());
    // A failed row stands out by more than its text: a mark and a colour in its status cell.
    if (row->status == QLatin1String("Failed") && index.column() == Status) {
        if (role == Qt::DecorationRole)
            return QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical);
        if (role == Qt::ForegroundRole)
            return QBrush(QColor(0xb0, 0x00, 0x20));
    }
    if (role == Qt::TextAlignmentRole)
        return Alignment(index.column());
    return {};
}

QVariant StatusListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kCaptions[section]);
    if (role == Qt::TextAlignmentRole)
        return Alignment(section);
    return {};
}

int StatusListModel::ColumnWidth(int column)
{
    return column >= 0 && column < ColumnCount ? kWidths[column] : 0;
}

StatusListModel::RowId StatusListModel::AddRow(
    const QString& time, const QString& name, const QString& size, const QString& status)
{
    const RowId id = NextId();
    beginInsertRows({}, 0, 0);
    rows_.push_back({ time, name, size, status });
    endInsertRows();
    return id;
}

bool StatusListModel::SetStatus(RowId id, const QString& status, const QString& reason)
{
    if (id < firstId_ || id >= NextId())
        return false;
    const auto stored = static_cast<std::size_t>(id - firstId_);
    rows_[stored].status = status;
    rows_[stored].reason = reason;
    const int displayRow = static_cast<int>(rows_.size() - 1 - stored);
    emit dataChanged(index(displayRow, 0), index(displayRow, ColumnCount - 1));
    return true;
}

QString StatusListModel::NameOf(RowId id) const
{
    if (id < firstId_ || id >= NextId())
        return {};
    return rows_[static_cast<std::size_t>(id - firstId_)].name;
}

void StatusListModel::Clear()
{
    if (rows_.empty())
        return;
    beginResetModel();
    firstId_ = NextId();
    rows_.clear();
    endResetModel();
}

std::deque<QString> StatusListModel::NamesSince(RowId mark) const
{
    std::deque<QString> names;
    for (RowId id = std::max(mark, firstId_); id < NextId(); ++id)
        names.push_back(rows_[static_cast<std::size_t>(id - firstId_)].name);
    return names;
}
