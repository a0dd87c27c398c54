#include "views/FilePane.h"

#include "gui/PlainText.h"
#include "views/ListColumns.h"
#include "views/PaneListing.h"

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
    , jobs_(this)
{
    setObjectName(objectName);
    list_->setObjectName(listName);
    list_->setModel(model_);
    list_->setItemDelegate(new PlainToolTipDelegate(list_));
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
    pathLabel_->setTextFormat(Qt::PlainText); // a path from the server or the project
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

    connect(list_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid())
            OnRowDoubleClicked(index.row());
    });
}

void FilePane::Clear()
{
    model_->Clear();
    pathLabel_->clear();
    ForgetRemoteProject();
}

void FilePane::ForgetRemoteProject()
{
    remoteProject_.clear();
}

void FilePane::AbandonEarlierWork()
{
    if (jobs_.Abandon()) {
        model_->Clear();
        ForgetRemoteProject();
    }
    pathLabel_->clear();
}

void FilePane::ShowRemoteProject(
    const QString& project, const vorn::ServerLogin& login, const std::string& folder)
{
    if (!project.isEmpty() && project == remoteProject_) {
        SetPathText(QString::fromStdString(remotePath_));
        return;
    }
    remoteProject_ = project;
    remoteLogin_ = login;
    remotePath_ = folder;
    model_->Clear();
    SetPathText(QString::fromStdString(folder));
    const bool started = StartFtpJob(login, [this, login, folder](vorn::remote::RemoteSession* session) {
        const RemoteListing listing = ListRemoteFolder(session, login, RemoteStep::Show, "/", folder);
        // A listing that fails after the login shows the ".." row alone; the folder keeps
        // the stored text, which the next double-click resolves from the login folder.
        const auto rows = listing.loggedIn ? MakeFtpRows(listing.entries)
                                           : std::vector<FileListModel::Entry> { ConnectFailedRow() };
        return vorn::OffThreadJobs::Continuation([this, rows, folder, loggedIn = listing.loggedIn]() mutable {
            model_->SetEntries(std::move(rows));
            if (!loggedIn)
                ForgetRemoteProject(); // the next click tries again
            else
                SetPathText(QString::fromStdString(folder));
        });
    });
    if (!started) {
        model_->SetEntries({ ConnectFailedRow() });
        ForgetRemoteProject();
    }
}

void FilePane::WalkRemote(int row)
{
    const FileListModel::Entry* entry = model_->EntryAt(row);
    if (!entry || entry->kind == FileListModel::Kind::Error)
        return;
    const RemoteStep step
        = entry->kind == FileListModel::Kind::Parent ? RemoteStep::Leave : RemoteStep::Enter;
    const std::string child = entry->rawName;
    const vorn::ServerLogin login = remoteLogin_;
    const std::string from = remotePath_;
    // The newest double-click wins: an older walk still under way is dropped.
    (void)jobs_.Abandon();
    model_->Clear();
    (void)StartFtpJob(login, [this, step, child, login, from](vorn::remote::RemoteSession* session) {
        RemoteListing listing = ListRemoteFolder(session, login, step, from, child);
        if (!listing.listed)
            return vorn::OffThreadJobs::Continuation();
        return vorn::OffThreadJobs::Continuation(
            [this, rows = MakeFtpRows(listing.entries), path = std::move(listing.browsePath)]() mutable {
                model_->SetEntries(std::move(rows));
                remotePath_ = path;
                SetPathText(QString::fromStdString(path));
            });
    });
}

void FilePane::RelistRemote()
{
    if (remoteProject_.isEmpty())
        return;
    const vorn::ServerLogin login = remoteLogin_;
    const std::string folder = remotePath_;
    (void)StartFtpJob(login, [this, login, folder](vorn::remote::RemoteSession* session) {
        const RemoteListing listing = ListRemoteFolder(session, login, RemoteStep::Show, "/", folder);
        if (!listing.loggedIn || !listing.listed)
            return vorn::OffThreadJobs::Continuation();
        return vorn::OffThreadJobs::Continuation(
            [this, rows = MakeFtpRows(listing.entries)]() mutable { model_->SetEntries(std::move(rows)); });
    });
}

bool FilePane::StartFtpJob(const vorn::ServerLogin& login,
    std::function<vorn::OffThreadJobs::Continuation(vorn::remote::RemoteSession* session)> work)
{
    return jobs_.Start([login, work = std::move(work)](vorn::OffThreadJobs::Job& job) {
        // Created and destroyed on the job's thread: closing a session may wait for a name
        // look-up that cannot be interrupted, which must not freeze the window.
        auto made = vorn::MakeSessionFor(login);
        if (!made)
            return work(nullptr);
        vorn::remote::RemoteSession& session = **made;
        const auto cancel = job.CancelWith([&session] { session.Cancel(); });
        return work(&session);
    });
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
