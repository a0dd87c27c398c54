#include "views/VornStatus.h"

#include "gui/PlainText.h"
#include "views/ListColumns.h"

#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

CVornStatus::CVornStatus(QWidget* parent)
    : QWidget(parent)
    , model_(new StatusListModel(this))
    , list_(new QTableView(this))
    , resultLabel_(new QLabel(this))
{
    setObjectName("statusView");
    list_->setObjectName("statusList");
    list_->setModel(model_);
    list_->setItemDelegate(new PlainToolTipDelegate(list_));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(false);
    list_->setWordWrap(false);
    list_->setTextElideMode(Qt::ElideMiddle);
    list_->verticalHeader()->hide();
    // Fixed row heights keep a list of 100 000 rows quick: no per-row size queries.
    list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);
    list_->horizontalHeader()->setHighlightSections(false);
    list_->horizontalHeader()->setSectionsClickable(false);
    list_->horizontalHeader()->setStretchLastSection(true);
    std::vector<int> widths;
    for (int c = 0; c < StatusListModel::ColumnCount; ++c)
        widths.push_back(StatusListModel::ColumnWidth(c));
    ApplyColumnWidths(list_, widths, { "00:00:00", {}, {}, "Success" });

    resultLabel_->setObjectName("resultLabel");
    resultLabel_->setWordWrap(false);
    resultLabel_->setTextFormat(Qt::PlainText);
    resultLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    resultLabel_->setMinimumHeight(16);
    // However long the line, it never widens the pane: the splitter keeps its place and the
    // line is cut at the pane's edge (its tool tip has all of it).
    resultLabel_->setMinimumWidth(10);
    resultLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(list_, 1);
    auto* strip = new QHBoxLayout;
    strip->setContentsMargins(5, 0, 5, 2);
    strip->addWidget(resultLabel_);
    layout->addLayout(strip);
}

StatusListModel::RowId CVornStatus::AddRow(
    const QString& time, const QString& name, const QString& size, const QString& status)
{
    return model_->AddRow(time, name, size, status);
}

bool CVornStatus::SetRowStatus(StatusListModel::RowId id, const QString& status, const QString& reason)
{
    return model_->SetStatus(id, status, reason);
}

void CVornStatus::SetResultText(const QString& text)
{
    resultLabel_->setText(text);
    resultLabel_->setToolTip(text.trimmed().isEmpty() ? QString() : vorn::AsPlainText(text));
}

QString CVornStatus::resultText() const
{
    return resultLabel_->text();
}

void CVornStatus::Clear()
{
    model_->Clear();
    resultLabel_->clear();
}

int CVornStatus::rowCount() const
{
    return model_->rowCount();
}
