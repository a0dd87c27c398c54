#include "views/FilePane.h"

#include "views/ListColumns.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

FilePane::FilePane(const QString& objectName, const QString& listName, const QString& caption,
    const QString& labelName, QWidget* parent)
    : QWidget(parent)
    , model_(new FileListModel(this))
    , list_(new QTableView(this))
    , captionLabel_(new QLabel(caption, this))
    , pathLabel_(new QLabel(this))
{
    setObjectName(objectName);
    list_->setObjectName(listName);
    list_->setModel(model_);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(false);
    list_->setWordWrap(false);
    list_->setIconSize(QSize(16, 16));
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    list_->verticalHeader()->setDefaultSectionSize(std::max(18, list_->fontMetrics().height() + 6));
    list_->horizontalHeader()->setHighlightSections(false);
    list_->horizontalHeader()->setSectionsClickable(false);
    list_->horizontalHeader()->setStretchLastSection(true);
    std::vector<int> widths;
    for (int c = 0; c < FileListModel::ColumnCount; ++c)
        widths.push_back(FileListModel::ColumnWidth(c));
    ApplyColumnWidths(list_, widths, { {}, {}, "00/00/0000 00:00" });

    captionLabel_->setObjectName(labelName + "Caption");
    pathLabel_->setObjectName(labelName);
    pathLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pathLabel_->setMinimumWidth(10);
    pathLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(list_, 1);
    auto* strip = new QHBoxLayout;
    strip->setContentsMargins(5, 0, 5, 2);
    strip->setSpacing(0);
    strip->addWidget(captionLabel_);
    strip->addWidget(pathLabel_, 1);
    layout->addLayout(strip);
}

void FilePane::Clear()
{
    model_->Clear();
    pathLabel_->clear();
}

void FilePane::SetPathText(const QString& path)
{
    pathLabel_->setText(path);
}

QString FilePane::pathText() const
{
    return pathLabel_->text();
}

int FilePane::rowCount() const
{
    return model_->rowCount();
}
