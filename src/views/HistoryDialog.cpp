#include "views/HistoryDialog.h"

#include "common/OutcomeText.h"
#include "common/TimeText.h"
#include "gui/PlainText.h"
#include "store/RunHistory.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

constexpr const char* kTimeFormat = "%m/%d/%Y %H:%M:%S";

QTableWidget* MakeTable(const QStringList& captions, const char* objectName, QWidget* parent)
{
    auto* table = new QTableWidget(0, int(captions.size()), parent);
    table->setObjectName(objectName);
    table->setHorizontalHeaderLabels(captions);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setWordWrap(false); // one line per run; the whole reason is in the tool tip
    table->setItemDelegate(new PlainToolTipDelegate(table));
    return table;
}

QTableWidgetItem* Cell(const QString& text, bool number = false)
{
    auto* item = new QTableWidgetItem(text);
    item->setToolTip(text);
    if (number)
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

CHistoryDialog::CHistoryDialog(
    vorn::ProjectDb* db, const QString& projectName, std::int64_t runId, QWidget* parent)
    : QDialog(parent)
    , db_(db)
    , projectName_(projectName)
{
    setObjectName("historyDialog");
    setWindowTitle("History - " + projectName);
    resize(820, 520);
    notice_ = new QLabel(this);
    notice_->setObjectName("historyNotice");
    notice_->setTextFormat(Qt::PlainText); // it names the project
    runs_ = MakeTable({ "Start", "End", "Kind", "Outcome", "Files Copied", "Files Failed", "Folders Failed",
                          "Bytes", "Reason" },
        "historyRuns", this);
    failures_ = MakeTable({ "Remote Path", "Reason" }, "historyFailures", this);
    failures_->setColumnWidth(0, 360);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(runs_);
    splitter->addWidget(failures_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* refresh = buttons->addButton("Refresh", QDialogButtonBox::ActionRole);
    refresh->setObjectName("historyRefresh");
    connect(refresh, &QPushButton::clicked, this, &CHistoryDialog::Reload);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(notice_);
    layout->addWidget(splitter, 1);
    layout->addWidget(buttons);

    connect(runs_, &QTableWidget::itemSelectionChanged, this, &CHistoryDialog::ShowFailures);
    Reload();
    if (runId != 0)
        SelectRun(runId);
}

void CHistoryDialog::Reload()
{
    const std::int64_t picked = selectedRunId();
    runIds_.clear();
    runs_->setRowCount(0);
    const auto ftpid = vorn::FindProjectId(db_, projectName_.toStdString());
    std::string error;
    const auto runs = ftpid ? vorn::QueryRuns(db_, *ftpid, &error) : std::vector<vorn::RunRecord> {};
    if (!ftpid)
        notice_->setText("There is no project named \"" + projectName_ + "\".");
    else if (!error.empty())
        notice_->setText("The history cannot be read: " + Text(error));
    else
        notice_->setText(runs.empty() ? QString("No run has been recorded yet.")
                                      : QString("%1 run(s), newest first.").arg(runs.size()));
    runs_->setRowCount(int(runs.size()));
    for (int row = 0; row < int(runs.size()); ++row) {
        const vorn::RunRecord& run = runs[std::size_t(row)];
        runIds_.push_back(run.id);
        runs_->setItem(row, Start, Cell(Text(vorn::FormatLocalTime(run.start, kTimeFormat))));
        runs_->setItem(row, End, Cell(Text(vorn::FormatLocalTime(run.end, kTimeFormat))));
        runs_->setItem(row, Kind, Cell(run.kind == "restore" ? QString("Restore") : QString("Backup")));
        runs_->setItem(
            row, Outcome, Cell(Text(vorn::OutcomeText(run.outcome, run.filesFailed, run.foldersFailed))));
        runs_->setItem(row, FilesCopied, Cell(QString::number(run.filesCopied), true));
        runs_->setItem(row, FilesFailed, Cell(QString::number(run.filesFailed), true));
        runs_->setItem(row, FoldersFailed, Cell(QString::number(run.foldersFailed), true));
        runs_->setItem(row, Bytes, Cell(QString::number(run.bytes), true));
        runs_->setItem(row, Reason, Cell(Text(run.reason)));
    }
    runs_->resizeColumnsToContents();
    if (runIds_.empty() || !SelectRun(picked))
        runs_->selectRow(0);
    ShowFailures();
}

bool CHistoryDialog::SelectRun(std::int64_t runId)
{
    for (std::size_t row = 0; row < runIds_.size(); ++row) {
        if (runIds_[row] == runId) {
            runs_->selectRow(int(row));
            return true;
        }
    }
    return false;
}

std::int64_t CHistoryDialog::selectedRunId() const
{
    const auto rows = runs_->selectionModel()->selectedRows();
    if (rows.isEmpty() || rows.front().row() >= int(runIds_.size()))
        return 0;
    return runIds_[std::size_t(rows.front().row())];
}

void CHistoryDialog::ShowFailures()
{
    failures_->setRowCount(0);
    const std::int64_t runId = selectedRunId();
    if (runId == 0)
        return;
    const auto items = vorn::QueryFailedItems(db_, runId);
    failures_->setRowCount(int(items.size()));
    for (int row = 0; row < int(items.size()); ++row) {
        failures_->setItem(row, 0, Cell(Text(items[std::size_t(row)].remotePath)));
        failures_->setItem(row, 1, Cell(Text(items[std::size_t(row)].reason)));
    }
}
