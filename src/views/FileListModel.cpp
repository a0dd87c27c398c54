#include "views/FileListModel.h"

#include "gui/Resources.h"

#include <QFileIconProvider>
#include <QFileInfo>

namespace {

const char* const kCaptions[FileListModel::ColumnCount] = { "Name", "Size", "Modify Time" };
const int kWidths[FileListModel::ColumnCount] = { 220, 120, 120 };

int Alignment(int column)
{
    return column == FileListModel::Name ? int(Qt::AlignLeft | Qt::AlignVCenter)
                                         : int(Qt::AlignRight | Qt::AlignVCenter);
}

} // namespace

FileListModel::FileListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
}

FileListModel::~FileListModel() = default;

int FileListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

const FileListModel::Entry* FileListModel::EntryAt(int row) const
{
    return row >= 0 && row < rowCount() ? &entries_[static_cast<std::size_t>(row)] : nullptr;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const
{
    const Entry* e = index.isValid() ? EntryAt(index.row()) : nullptr;
    if (!e)
        return {};
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case Name:
            return e->name;
        case Size:
            return e->size;
        case ModifyTime:
            return e->modifyTime;
        default:
            return {};
        }
    }
    if (role == Qt::DecorationRole && index.column() == Name) {
        if (e->localPath.isEmpty())
            return SmallIcon(e->kind);
        QIcon& icon = localIcons_[static_cast<std::size_t>(index.row())];
        if (icon.isNull()) {
            if (!iconProvider_)
                iconProvider_ = std::make_unique<QFileIconProvider>();
            icon = iconProvider_->icon(QFileInfo(e->localPath));
            if (icon.isNull())
                icon = SmallIcon(e->kind);
        }
        return icon;
    }
    if (role == Qt::TextAlignmentRole)
        return Alignment(index.column());
    return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kCaptions[section]);
    if (role == Qt::TextAlignmentRole)
        return Alignment(section);
    return {};
}

void FileListModel::SetEntries(std::vector<Entry> entries)
{
    beginResetModel();
    entries_ = std::move(entries);
    localIcons_.assign(entries_.size(), QIcon());
    endResetModel();
}

void FileListModel::Clear()
{
    if (entries_.empty())
        return;
    beginResetModel();
    entries_.clear();
    localIcons_.clear();
    endResetModel();
}

int FileListModel::ColumnWidth(int column)
{
    return column >= 0 && column < ColumnCount ? kWidths[column] : 0;
}

QIcon FileListModel::SmallIcon(Kind kind)
{
    vorn::EnsureResources();
    static const QIcon icons[] = { QIcon(":/icons/small-document.png"), QIcon(":/icons/small-folder.png"),
        QIcon(":/icons/small-up.png"), QIcon(":/icons/small-error.png") };
    return icons[static_cast<int>(kind)];
}
