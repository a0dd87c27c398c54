#include "views/VornBackupView.h"

#include "gui/PlainText.h"
#include "schedule/Schedule.h"
#include "store/ProjectDb.h"
#include "store/ProjectTexts.h"
#include "views/ListColumns.h"

#include <QAction>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

namespace {

constexpr int kMinimumWidth = 30;
constexpr int kCaptionWidth = 48;
constexpr int kCellPadding = 16;

QString Text(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

} // namespace

CVornBackupView::CVornBackupView(QWidget* parent)
    : QWidget(parent)
    , model_(new ProjectListModel(this))
    , list_(new QTableView(this))
    , clock_([] { return std::time(nullptr); })
{
    setObjectName("projectView");
    list_->setObjectName("projectList");
    list_->setModel(model_);
    list_->setItemDelegate(new PlainToolTipDelegate(list_));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(false);
    list_->setWordWrap(false);
    list_->setSortingEnabled(false);
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);
    list_->horizontalHeader()->setHighlightSections(false);
    list_->horizontalHeader()->setSectionsClickable(false);
    // FitColumns sizes every column, the last one included (a stretched last section keeps
    // a minimum of its own that would push the list past its edge).
    list_->horizontalHeader()->setStretchLastSection(false);
    // The style's minimum (the font's widest glyph) would keep seven columns from fitting.
    list_->horizontalHeader()->setMinimumSectionSize(kMinimumWidth);
    // Long paths lose their middle, where the folders between server and leaf are.
    list_->setTextElideMode(Qt::ElideMiddle);
    std::vector<int> widths;
    for (int c = 0; c < ProjectListModel::ColumnCount; ++c)
        widths.push_back(ProjectListModel::ColumnWidth(c));
    const QString time = "00/00/0000 00:00:00";
    ApplyColumnWidths(list_, widths, { {}, {}, {}, {}, time, time });
    list_->viewport()->installEventFilter(this);
    // A first window with no project says how to make one, over the empty list (no row).
    emptyHint_
        = new QLabel("No projects yet. New (in the Session menu or on the toolbar) makes the first one.",
            list_->viewport());
    emptyHint_->setObjectName("emptyListHint");
    emptyHint_->setAlignment(Qt::AlignCenter);
    emptyHint_->setWordWrap(true);
    emptyHint_->setForegroundRole(QPalette::PlaceholderText);
    emptyHint_->setAttribute(Qt::WA_TransparentForMouseEvents); // clicks still reach the list
    for (auto signal : { &QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved })
        connect(model_, signal, this, &CVornBackupView::PlaceEmptyHint);
    connect(model_, &QAbstractItemModel::modelReset, this, &CVornBackupView::PlaceEmptyHint);
    PlaceEmptyHint();
    connect(model_, &QAbstractItemModel::rowsInserted, this, &CVornBackupView::FitColumns);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &CVornBackupView::FitColumns);
    connect(model_, &QAbstractItemModel::dataChanged, this, &CVornBackupView::FitColumns);
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        &CVornBackupView::ReportSelectedRow);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &CVornBackupView::ReportSelectedRow);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 5);
    layout->addWidget(list_);
    BuildContextMenu();
}

int CVornBackupView::ContentWidth(int column) const
{
    using M = ProjectListModel;
    const QFontMetrics metrics(list_->font());
    const int iconWidth = list_->style()->pixelMetric(QStyle::PM_SmallIconSize) + 4;
    // The caption counts up to a short width: a long caption may be cut, a cell should not.
    int width = std::min(list_->horizontalHeader()->sectionSizeHint(column), kCaptionWidth);
    for (int row = 0; row < model_->rowCount(); ++row) {
        const bool marked = column == M::TransferStatus && model_->StatusMarkAt(row) != M::StatusMark::None;
        width = std::max(width,
            metrics.horizontalAdvance(model_->Cell(row, column)) + kCellPadding + (marked ? iconWidth : 0));
    }
    return width;
}

void CVornBackupView::FitColumns()
{
    // Every column in view at once. The name (up to a third of the list), the status and
    // the two times as wide as their texts; the paths and the schedule share the rest in
    // proportion to their texts, the paths cut in the middle. Only a list too narrow even
    // for that cuts the name and the status too.
    using M = ProjectListModel;
    const int available = list_->viewport()->width();
    if (available <= 0)
        return;
    int widths[M::ColumnCount] = {};
    for (int c = 0; c < M::ColumnCount; ++c)
        widths[c] = ContentWidth(c);
    widths[M::BackupName] = std::min(widths[M::BackupName], available / 3);
    const int fixed = widths[M::BackupName] + widths[M::TransferStatus] + widths[M::LastBackupTime]
        + widths[M::NextBackupTime];
    const int flexible[] = { M::SourceFolder, M::DestinationFolder, M::BackupScheme };
    int wanted = 0;
    for (int c : flexible)
        wanted += widths[c];
    const int rest = available - fixed;
    if (wanted <= rest) {
        widths[M::SourceFolder] += (rest - wanted) / 2;
        widths[M::DestinationFolder] += (rest - wanted) - (rest - wanted) / 2;
    } else {
        for (int c : flexible)
            widths[c] = std::max(kMinimumWidth, int(qint64(widths[c]) * std::max(rest, 0) / wanted));
    }
    int used = 0;
    for (int c = 0; c < M::ColumnCount; ++c)
        used += widths[c];
    for (int c : { M::BackupName, M::TransferStatus }) {
        const int cut = std::min(std::max(used - available, 0), widths[c] - kMinimumWidth);
        widths[c] -= std::max(cut, 0);
        used -= std::max(cut, 0);
    }
    // The schedule takes whatever is left, so the columns end at the list's edge.
    widths[M::BackupScheme] += std::max(0, available - used);
    for (int c = 0; c < M::ColumnCount; ++c)
        list_->horizontalHeader()->resizeSection(c, widths[c]);
}

void CVornBackupView::PlaceEmptyHint()
{
    emptyHint_->setGeometry(list_->viewport()->rect().adjusted(8, 8, -8, -8));
    emptyHint_->setVisible(model_->rowCount() == 0);
}

void CVornBackupView::BuildContextMenu()
{
    menu_ = new QMenu(this);
    menu_->setObjectName("projectContextMenu");
    menu_->setTitle("ListPlanMenu");
    auto add = [this](const char* objectName, const QString& caption, void (CVornBackupView::*signal)()) {
        QAction* action = menu_->addAction(caption);
        action->setObjectName(objectName);
        connect(action, &QAction::triggered, this, signal);
        return action;
    };
    newAction_ = add("contextNew", "New", &CVornBackupView::newRequested);
    modifyAction_ = add("contextModify", "Modify", &CVornBackupView::modifyRequested);
    menu_->addSeparator();
    startAction_ = add("contextStart", "Start", &CVornBackupView::startRequested);
    pauseAction_ = add("contextPause", "Pause", &CVornBackupView::pauseRequested);
    stopAction_ = add("contextStop", "Stop", &CVornBackupView::stopRequested);
    menu_->addSeparator();
    deleteAction_ = add("contextDelete", "Delete", &CVornBackupView::deleteRequested);
}

void CVornBackupView::UpdateContextMenu()
{
    const RunInfo run = runInfo_ ? runInfo_() : RunInfo {};
    const bool active = run.runState != vorn::RunState::Idle;
    const int row = selectedRow();
    const bool hasRow = row >= 0 && row < model_->rowCount();
    const bool runningRow = hasRow && active && BackupNameAt(row) == run.runProjectName;
    const bool otherRow = hasRow && !runningRow;

    newAction_->setEnabled(true);
    modifyAction_->setEnabled(otherRow);
    startAction_->setEnabled(hasRow && !active);
    pauseAction_->setEnabled(active);
    // Another row keeps the caption "Pause" even while paused: the item still acts on the
    // running project, whose row is not the one under the mouse.
    pauseAction_->setText(active && run.runState == vorn::RunState::Paused && !otherRow ? "Run" : "Pause");
    stopAction_->setEnabled(active);
    deleteAction_->setEnabled(otherRow);
}

bool CVornBackupView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == list_->viewport() && event->type() == QEvent::Resize) {
        FitColumns();
        PlaceEmptyHint();
    }
    if (watched == list_->viewport()
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton || mouse->button() == Qt::RightButton) {
            const QModelIndex hit = list_->indexAt(mouse->position().toPoint());
            const int before = selectedRow();
            // The row under the mouse is highlighted before the menu opens; empty space
            // leaves no row highlighted.
            if (hit.isValid())
                list_->selectionModel()->setCurrentIndex(
                    hit, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            else
                list_->selectionModel()->clear();
            if (mouse->button() == Qt::LeftButton) {
                // A click on a new row was reported with the highlight; one on the highlighted
                // row lists its folders again.
                if (hit.isValid() && hit.row() == before)
                    emit projectClicked(hit.row());
            } else if (event->type() == QEvent::MouseButtonPress) {
                UpdateContextMenu();
                menu_->popup(mouse->globalPosition().toPoint());
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

int CVornBackupView::selectedRow() const
{
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void CVornBackupView::ReportSelectedRow()
{
    const int row = selectedRow();
    if (row == reportedRow_)
        return;
    reportedRow_ = row;
    emit selectedRowChanged(row);
    // The panes follow the highlighted project, whether a click or the keyboard moved it.
    if (row >= 0)
        emit projectClicked(row);
}

void CVornBackupView::clearSelectedRow()
{
    list_->selectionModel()->clear();
    ReportSelectedRow();
}

std::string CVornBackupView::FillProjectList(vorn::ProjectDb* db)
{
    const std::time_t now = clock_();
    std::string error;
    for (const vorn::ProjectListRow& r : vorn::QueryProjectList(db, &error)) {
        const vorn::ScheduleTexts& s = r.schedule;
        ProjectListModel::Cells cells;
        cells[ProjectListModel::BackupName] = Text(r.ftpname);
        cells[ProjectListModel::SourceFolder] = Text(vorn::SourceFolderText(r));
        cells[ProjectListModel::DestinationFolder] = Text(vorn::DestinationFolderText(r));
        cells[ProjectListModel::LastBackupTime] = Text(r.ftpruntime);
        cells[ProjectListModel::NextBackupTime]
            = Text(vorn::ComputeNextBackupTime(s.planMode, s.plan, s.hour, s.minute, s.dayMode, now));
        cells[ProjectListModel::BackupScheme]
            = Text(vorn::DescribeSchedule(s.planMode, s.plan, s.hour, s.minute, s.dayMode));
        model_->AppendRow(cells);
    }
    return error;
}

ProjectListModel::Cells CVornBackupView::CellsOf(const vorn::BackupProject& project) const
{
    const vorn::ScheduleTexts s = vorn::MakeScheduleTexts(project);
    ProjectListModel::Cells cells;
    cells[ProjectListModel::BackupName] = Text(project.ftpname);
    cells[ProjectListModel::SourceFolder] = Text(vorn::SourceFolderText(project));
    cells[ProjectListModel::DestinationFolder] = Text(vorn::DestinationFolderText(project));
    cells[ProjectListModel::NextBackupTime]
        = Text(vorn::ComputeNextBackupTime(s.planMode, s.plan, s.hour, s.minute, s.dayMode, clock_()));
    cells[ProjectListModel::BackupScheme]
        = Text(vorn::DescribeSchedule(s.planMode, s.plan, s.hour, s.minute, s.dayMode));
    return cells;
}

void CVornBackupView::WriteProjectRow(int row, const vorn::BackupProject& project, bool keepStatus)
{
    if (row == model_->rowCount())
        model_->AppendRow(CellsOf(project));
    else
        model_->SetRow(row, CellsOf(project), keepStatus);
}

void CVornBackupView::ShowStoredProject(const QString& oldName, const vorn::BackupProject& project)
{
    if (oldName.isEmpty())
        WriteProjectRow(rowCount(), project, false);
    else if (const int row = FindRowByName(oldName); row >= 0)
        WriteProjectRow(row, project, true);
}

void CVornBackupView::RemoveProjectRow(int row)
{
    model_->RemoveRow(row);
}

int CVornBackupView::FindRowByName(const QString& name) const
{
    return model_->FindRowByName(name);
}

QString CVornBackupView::BackupNameAt(int row) const
{
    return model_->Cell(row, ProjectListModel::BackupName);
}

int CVornBackupView::rowCount() const
{
    return model_->rowCount();
}

bool CVornBackupView::SetCellByName(const QString& name, int column, const QString& text)
{
    return model_->SetCell(model_->FindRowByName(name), column, text);
}

bool CVornBackupView::SetTransferStatus(const QString& name, const QString& text)
{
    return SetCellByName(name, ProjectListModel::TransferStatus, text);
}

bool CVornBackupView::SetLastBackupTime(const QString& name, const QString& text)
{
    return SetCellByName(name, ProjectListModel::LastBackupTime, text);
}

bool CVornBackupView::SetNextBackupTime(const QString& name, const QString& text)
{
    return SetCellByName(name, ProjectListModel::NextBackupTime, text);
}
