#include "editor/RemoteFolderList.h"

#include "gui/Resources.h"
#include "remote/RemoteSession.h"

#include <QHeaderView>
#include <QIcon>
#include <QMouseEvent>
#include <algorithm>

namespace {

constexpr int FileRole = Qt::UserRole + 1;
constexpr int NameBytesRole = Qt::UserRole + 2;

QIcon SmallIcon(const char* name)
{
    vorn::EnsureResources();
    return QIcon(QStringLiteral(":/icons/%1").arg(QLatin1String(name)));
}

QTreeWidgetItem* MakeRow(const vorn::RemoteEntry& entry, const QIcon& icon)
{
    auto* item = new QTreeWidgetItem({ QString::fromStdString(entry.name), QString::fromStdString(entry.size),
        QString::fromStdString(entry.time) });
    item->setIcon(RemoteFolderList::NameColumn, icon);
    item->setData(RemoteFolderList::NameColumn, FileRole, entry.isFile);
    item->setData(RemoteFolderList::NameColumn, NameBytesRole, QByteArray::fromStdString(entry.name));
    item->setTextAlignment(RemoteFolderList::SizeColumn, Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

} // namespace

RemoteFolderList::RemoteFolderList(QWidget* parent)
    : QTreeWidget(parent)
{
    setColumnCount(3);
    setHeaderLabels({ "File Name", "File Size", "Modify Date" });
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(16, 16));
    header()->setSectionsMovable(true);
    header()->setStretchLastSection(false);
}

void RemoteFolderList::SetColumnWidths(int nameWidth, int sizeWidth, int timeWidth)
{
    const QFontMetrics metrics(font());
    const int padding = 2 * metrics.averageCharWidth() + 8;
    header()->setMinimumSectionSize(nameWidth / 2);
    header()->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    header()->resizeSection(
        SizeColumn, std::max(sizeWidth, metrics.horizontalAdvance("0000000000") + padding));
    header()->resizeSection(
        TimeColumn, std::max(timeWidth, metrics.horizontalAdvance("00/00/0000 00:00") + padding));
    setMinimumWidth(nameWidth + header()->sectionSize(SizeColumn) + header()->sectionSize(TimeColumn) + 4);
}

void RemoteFolderList::Fill(const std::vector<vorn::RemoteEntry>& entries)
{
    const QIcon documentIcon = SmallIcon("small-document.png");
    const QIcon folderIcon = SmallIcon("small-folder.png");
    setUpdatesEnabled(false);
    clear();
    QList<QTreeWidgetItem*> rows;
    auto* up = new QTreeWidgetItem({ "..", QString(), QString() });
    up->setIcon(NameColumn, SmallIcon("small-up.png"));
    up->setData(NameColumn, FileRole, false);
    up->setData(NameColumn, NameBytesRole, QByteArray(".."));
    rows.append(up);
    // Folders first, then files, each group in listing order.
    for (const bool files : { false, true }) {
        for (const vorn::RemoteEntry& entry : entries) {
            if (entry.isFile != files || !vorn::remote::IsSafeEntryName(entry.name))
                continue;
            rows.append(MakeRow(entry, files ? documentIcon : folderIcon));
        }
    }
    addTopLevelItems(rows);
    setUpdatesEnabled(true);
}

QString RemoteFolderList::NameAt(int row) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->text(NameColumn) : QString();
}

std::string RemoteFolderList::NameBytesAt(int row) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->data(NameColumn, NameBytesRole).toByteArray().toStdString() : std::string();
}

bool RemoteFolderList::IsFileRow(int row) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item && item->data(NameColumn, FileRole).toBool();
}

void RemoteFolderList::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTreeWidget::mouseDoubleClickEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    const QModelIndex index = indexAt(event->position().toPoint());
    emit rowDoubleClicked(index.isValid() ? index.row() : -1);
}
