#include "app/RestoreDialog.h"

#include "engine/RunObserver.h"
#include "views/StatusText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableWidget>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <map>

namespace {

enum TreeColumn { Name, Size, Time, Note, TreeColumnCount };
constexpr int kPathRole = Qt::UserRole + 1;

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

// Hands the restore's rows to the dialog on the GUI thread, in the order they come.
class DialogObserver : public vorn::RunObserver {
public:
    DialogObserver(QObject* receiver, std::function<void(QString, QString, QString)> row)
        : receiver_(receiver)
        , row_(std::move(row))
    {
    }
    void OnFileRowInserted(
        std::uint64_t rowId, const std::string&, const std::string& path, const std::string&) override
    {
        paths_[rowId] = path;
    }
    void OnFileRowStatus(std::uint64_t rowId, vorn::FileStatus status, const std::string& reason) override
    {
        const QString path = Text(paths_[rowId]);
        paths_.erase(rowId);
        vorn::PostToReceiver(
            receiver_, [row = row_, path, status = StatusText(status), reason = Text(reason)] {
                row(path, status, reason);
            });
    }
    void OnRunFailed(const std::string&, const std::string& reason) override { failure = reason; }
    void OnResultText(const std::string& text) override { result = text; }

    std::string failure;
    std::string result;

private:
    QObject* receiver_;
    std::function<void(QString, QString, QString)> row_;
    std::map<std::uint64_t, std::string> paths_;
};

// The folder item of `path`'s parent below `root`, made when missing.
QStandardItem* FolderOf(QStandardItem* root, const QString& path, std::map<QString, QStandardItem*>& folders)
{
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return root;
    const QString folder = path.left(slash);
    if (const auto found = folders.find(folder); found != folders.end())
        return found->second;
    QStandardItem* parent = FolderOf(root, folder, folders);
    auto* item = new QStandardItem(folder.mid(folder.lastIndexOf('/') + 1));
    item->setData(folder, kPathRole);
    item->setEditable(false);
    QList<QStandardItem*> row { item };
    for (int c = 1; c < TreeColumnCount; ++c)
        row << new QStandardItem();
    parent->appendRow(row);
    folders[folder] = item;
    return item;
}

// Shows a row when its name holds `text`, when a folder above it does, or when a row below
// it does; hides it otherwise. Whether the row is shown.
bool FilterRow(QTreeView* tree, QStandardItem* item, const QString& text, bool folderMatched)
{
    const bool self = folderMatched || text.isEmpty() || item->text().contains(text, Qt::CaseInsensitive);
    bool below = false;
    for (int r = 0; r < item->rowCount(); ++r)
        below = FilterRow(tree, item->child(r), text, self) || below;
    const bool shown = self || below;
    tree->setRowHidden(item->row(), item->parent() ? item->parent()->index() : QModelIndex(), !shown);
    return shown;
}

} // namespace

CRestoreDialog::CRestoreDialog(
    vorn::ProjectDb* db, const QString& projectName, const QString& archiveFile, QWidget* parent)
    : QDialog(parent)
    , db_(db)
    , projectName_(projectName)
    , jobs_(std::make_unique<vorn::OffThreadJobs>(this))
{
    setObjectName("dialogRestore");
    setWindowTitle("Restore - " + projectName);
    point_ = new QComboBox(this);
    point_->setObjectName("comboPoint");
    search_ = new QLineEdit(this);
    search_->setObjectName("editSearch");
    search_->setPlaceholderText("Search by name");
    model_ = new QStandardItemModel(0, TreeColumnCount, this);
    model_->setHorizontalHeaderLabels({ "Name", "Size", "Modified (UTC)", "Note" });
    tree_ = new QTreeView(this);
    tree_->setObjectName("treeFiles");
    tree_->setModel(model_);
    tree_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tree_->header()->setSectionResizeMode(Name, QHeaderView::Stretch);
    tree_->header()->setSectionResizeMode(Time, QHeaderView::ResizeToContents);
    target_ = new QLineEdit(this);
    target_->setObjectName("editTarget");
    auto* browse = new QPushButton("Browse...", this);
    browse->setObjectName("buttonBrowse");
    toSource_ = new QCheckBox("To the source server, into the folder:", this);
    toSource_->setObjectName("checkToSource");
    sourceFolder_ = new QLineEdit(this);
    sourceFolder_->setObjectName("editSourceFolder");
    sourceFolder_->setPlaceholderText("the project's own folder");
    overwrite_ = new QComboBox(this);
    overwrite_->setObjectName("comboOverwrite");
    overwrite_->addItems({ "Never replace existing files", "Replace older files", "Always replace" });
    progress_ = new QProgressBar(this);
    progress_->setObjectName("progressRestore");
    progress_->setRange(0, 100);
    notice_ = new QLabel(this);
    notice_->setObjectName("labelNotice");
    notice_->setTextFormat(Qt::PlainText);
    notice_->setWordWrap(true);
    result_ = new QLabel(this);
    result_->setObjectName("labelResult");
    result_->setTextFormat(Qt::PlainText);
    rows_ = new QTableWidget(0, 3, this);
    rows_->setObjectName("tableRows");
    rows_->setHorizontalHeaderLabels({ "Path", "Status", "Reason" });
    rows_->horizontalHeader()->setStretchLastSection(true);
    // One line per file, the whole path readable: no row numbers, no wrapping.
    rows_->verticalHeader()->setVisible(false);
    rows_->verticalHeader()->setDefaultSectionSize(rows_->fontMetrics().height() + 6);
    rows_->setWordWrap(false);
    rows_->setColumnWidth(0, 380);
    rows_->setColumnWidth(1, 110);
    rows_->setEditTriggers(QAbstractItemView::NoEditTriggers);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close | QDialogButtonBox::Help, this);
    preview_ = buttons->addButton("Preview", QDialogButtonBox::ActionRole);
    preview_->setObjectName("buttonPreview");
    restore_ = buttons->addButton("Restore", QDialogButtonBox::ActionRole);
    restore_->setObjectName("buttonRestore");
    stop_ = buttons->addButton("Stop", QDialogButtonBox::ActionRole);
    stop_->setObjectName("buttonStop");
    openFolder_ = buttons->addButton("Open Folder", QDialogButtonBox::ActionRole);
    openFolder_->setObjectName("buttonOpenFolder");

    LayOut(browse, buttons);
    Wire(browse, buttons);
    target_->setText(QDir::home().filePath("Restored/" + QString(projectName).replace('/', '_')));
    UpdateButtons();
    LoadSource(archiveFile);
}

CRestoreDialog::~CRestoreDialog()
{
    control_.Stop();
    jobs_.reset(); // joins the job threads while the run control still exists
}

void CRestoreDialog::LoadSource(const QString& archiveFile)
{
    busy_ = true;
    UpdateButtons();
    notice_->setText("Reading the backup...");
    vorn::ProjectDb* db = db_;
    const std::string name = projectName_.toStdString();
    jobs_->Start([this, db, name, archiveFile](
                     vorn::OffThreadJobs::Job&) -> vorn::OffThreadJobs::Continuation {
        auto opened = std::make_shared<vorn::Result<vorn::RestoreSource>>(vorn::OpenProjectBackup(db, name));
        return [this, opened, archiveFile] {
            busy_ = false;
            if (!*opened) {
                ShowProblem(Text(opened->message()));
                return;
            }
            source_ = std::make_shared<const vorn::RestoreSource>(std::move(opened->value()));
            ShowPoints(archiveFile);
        };
    });
}

void CRestoreDialog::ShowPoints(const QString& archiveFile)
{
    points_ = vorn::RestorePoints(*source_);
    const QSignalBlocker quiet(point_);
    point_->clear();
    if (source_->kind != vorn::RestoreSource::Kind::Archives)
        point_->addItem("The copy as it is now");
    for (auto it = points_.rbegin(); it != points_.rend(); ++it) {
        point_->addItem(Text(it->time) + (it->full ? "  (full)" : "  (incremental)"), Text(it->file));
        if (Text(it->file) == archiveFile)
            point_->setCurrentIndex(point_->count() - 1);
    }
    LoadPoint();
}

void CRestoreDialog::LoadPoint()
{
    if (!source_ || point_->count() == 0)
        return;
    const std::string at = point_->currentData().toString().toStdString();
    auto source = source_;
    busy_ = true;
    UpdateButtons();
    notice_->setText("Reading what the point in time holds...");
    jobs_->Abandon(); // an older point's tree is no longer wanted
    jobs_->Start([this, source, at](vorn::OffThreadJobs::Job&) -> vorn::OffThreadJobs::Continuation {
        const vorn::Result<std::size_t> point = vorn::ChooseRestorePoint(*source, at);
        auto items = std::make_shared<vorn::Result<std::vector<vorn::RestoreItem>>>(point
                ? vorn::RestoreItemsAt(*source, *point)
                : vorn::Result<std::vector<vorn::RestoreItem>>(point.error()));
        return [this, items] {
            busy_ = false;
            if (!*items)
                return ShowProblem(Text(items->message()));
            ShowItems(items->value());
        };
    });
}

void CRestoreDialog::ShowItems(const std::vector<vorn::RestoreItem>& items)
{
    model_->removeRows(0, model_->rowCount());
    std::map<QString, QStandardItem*> folders;
    std::uint64_t bytes = 0;
    for (const vorn::RestoreItem& item : items) {
        const QString path = Text(item.path);
        QStandardItem* parent = FolderOf(model_->invisibleRootItem(), path, folders);
        auto* name = new QStandardItem(path.mid(path.lastIndexOf('/') + 1));
        name->setData(path, kPathRole);
        QList<QStandardItem*> row { name, new QStandardItem(QString::number(item.size)),
            new QStandardItem(Text(item.time)), new QStandardItem(Text(item.problem)) };
        for (QStandardItem* cell : row)
            cell->setEditable(false);
        row[Size]->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        parent->appendRow(row);
        bytes += item.size;
    }
    // A small tree is shown whole; a large one opens its first level.
    if (items.size() <= 500)
        tree_->expandAll();
    else
        tree_->expandToDepth(0);
    notice_->setText(QString("%1 files, %2 bytes. Pick files or folders to restore only those.")
                         .arg(items.size())
                         .arg(bytes));
    Filter(search_->text());
    UpdateButtons();
    emit loaded();
}

void CRestoreDialog::Filter(const QString& text)
{
    for (int r = 0; r < model_->rowCount(); ++r)
        FilterRow(tree_, model_->item(r), text, false);
}

std::vector<std::string> CRestoreDialog::pickedPaths() const
{
    std::vector<std::string> paths;
    for (const QModelIndex& index : tree_->selectionModel()->selectedRows(Name))
        paths.push_back(index.data(kPathRole).toString().toStdString());
    return paths;
}

void CRestoreDialog::Start(bool dryRun)
{
    if (!source_ || busy_)
        return;
    vorn::RestoreRequest request;
    request.target = target_->text().toStdString();
    request.overwrite = vorn::Overwrite(overwrite_->currentIndex());
    request.dryRun = dryRun;
    request.include = pickedPaths();
    if (toSource_->isChecked())
        request.toSource = sourceFolder_->text().trimmed().toStdString();
    const std::string at = point_->currentData().toString().toStdString();
    rows_->setRowCount(0);
    result_->clear();
    busy_ = true;
    UpdateButtons();
    progressTimer_->start();
    vorn::ProjectDb* db = db_;
    const std::string name = projectName_.toStdString();
    jobs_->Start(
        [this, db, name, at, request](vorn::OffThreadJobs::Job& job) -> vorn::OffThreadJobs::Continuation {
            auto cancel = job.CancelWith([this] { control_.Stop(); });
            DialogObserver observer(
                this, [this](QString path, QString status, QString reason) { AddRow(path, status, reason); });
            (void)vorn::RestoreProject(db, name, at, request, { &observer, &control_, &figures_ });
            return [this, result = Text(observer.result), failure = Text(observer.failure),
                       dryRun = request.dryRun] {
                restoredOnce_ = restoredOnce_ || !dryRun;
                Finish(result, failure);
            };
        });
}

void CRestoreDialog::AddRow(const QString& path, const QString& status, const QString& reason)
{
    const int row = rows_->rowCount();
    rows_->insertRow(row);
    rows_->setItem(row, 0, new QTableWidgetItem(path));
    rows_->setItem(row, 1, new QTableWidgetItem(status));
    rows_->setItem(row, 2, new QTableWidgetItem(reason));
}

void CRestoreDialog::Finish(const QString& result, const QString& failure)
{
    busy_ = false;
    progressTimer_->stop();
    progress_->setValue(int(figures_.progressInfo.percent.load()));
    result_->setText(result);
    notice_->setText(failure);
    UpdateButtons();
    emit finished(result);
}

void CRestoreDialog::ShowProblem(const QString& text)
{
    notice_->setText(text);
    UpdateButtons();
    emit loaded();
}

void CRestoreDialog::UpdateButtons()
{
    const bool ready = source_ && !busy_ && (toSource_->isChecked() || !target_->text().trimmed().isEmpty());
    preview_->setEnabled(ready);
    restore_->setEnabled(ready);
    stop_->setEnabled(busy_ && progressTimer_->isActive());
    point_->setEnabled(!progressTimer_->isActive());
    openFolder_->setEnabled(!busy_ && restoredOnce_ && !toSource_->isChecked());
    target_->setEnabled(!toSource_->isChecked());
    sourceFolder_->setEnabled(toSource_->isChecked());
}

void CRestoreDialog::LayOut(QPushButton* browse, QDialogButtonBox* buttons)
{
    auto* targetRow = new QHBoxLayout;
    targetRow->addWidget(target_, 1);
    targetRow->addWidget(browse);
    auto* form = new QFormLayout;
    form->addRow("Point in time:", point_);
    form->addRow("Restore into:", targetRow);
    auto* sourceRow = new QHBoxLayout;
    sourceRow->addWidget(toSource_);
    sourceRow->addWidget(sourceFolder_, 1);
    form->addRow("", sourceRow);
    form->addRow("Existing files:", overwrite_);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(tree_);
    splitter->addWidget(rows_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(search_);
    layout->addWidget(splitter, 1);
    layout->addWidget(notice_);
    layout->addWidget(progress_);
    layout->addWidget(result_);
    layout->addWidget(buttons);
    resize(760, 620);
}

void CRestoreDialog::Wire(QPushButton* browse, QDialogButtonBox* buttons)
{
    progressTimer_ = new QTimer(this);
    progressTimer_->setInterval(200);
    connect(progressTimer_, &QTimer::timeout, this,
        [this] { progress_->setValue(int(figures_.progressInfo.percent.load())); });
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, "Restore into", target_->text());
        if (!folder.isEmpty())
            target_->setText(folder);
    });
    connect(point_, qOverload<int>(&QComboBox::currentIndexChanged), this, [this] { LoadPoint(); });
    connect(search_, &QLineEdit::textChanged, this, &CRestoreDialog::Filter);
    connect(target_, &QLineEdit::textChanged, this, &CRestoreDialog::UpdateButtons);
    connect(toSource_, &QCheckBox::toggled, this, &CRestoreDialog::UpdateButtons);
    connect(preview_, &QPushButton::clicked, this, [this] { Start(true); });
    connect(restore_, &QPushButton::clicked, this, [this] { Start(false); });
    connect(stop_, &QPushButton::clicked, this, [this] { control_.Stop(); });
    connect(openFolder_, &QPushButton::clicked, this,
        [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(target_->text())); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, &CRestoreDialog::helpRequested);
}
