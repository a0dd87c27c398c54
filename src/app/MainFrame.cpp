#include "app/MainFrame.h"

#include "app/AboutDialog.h"
#include "app/RunDisplays.h"
#include "app/ToolbarIcons.h"
#include "app/Tray.h"
#include "gui/PlainText.h"
#include "gui/Prompt.h"
#include "gui/Resources.h"
#include "store/ProjectDb.h"
#include "views/ProjectListModel.h"
#include "views/StatusText.h"
#include "views/VornBackupView.h"
#include "views/VornLocalTrans.h"
#include "views/VornRemoteTrans.h"
#include "views/VornStatus.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolBar>

namespace {

// Where the user's choice of data connections is kept between starts; passive unless set.
const char* const kTransferModeActiveKey = "transferModeActive";

QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : { 16, 32, 64, 128 })
        icon.addFile(QStringLiteral(":/icons/vornbackup-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

CMainFrame::CMainFrame(vorn::ProjectDb* db, const QString& startupFolder, QWidget* parent, RunService* runs)
    : QMainWindow(parent)
    , db_(db)
    , startupFolder_(startupFolder)
    , manualSourceFolder_(QStringLiteral(VORN_SOURCE_FOLDER))
    , runs_(runs ? runs : new RunService(this))
{
    vorn::EnsureResources();
    setObjectName("mainFrame");
    setWindowTitle("Vorn FTP " VORN_VERSION);
    setWindowIcon(ProgramIcon());
    PlaceOnScreen();
    // Passive until the user picks Active: behind NAT or a firewall active data connections fail.
    transferModeActive_ = QSettings().value(kTransferModeActiveKey, false).toBool();

    CreatePanes();
    actions_.Create(this);
    actions_.AddMenus(this, menuBar());
    toolBar_ = addToolBar("Toolbar");
    actions_.AddToolBarButtons(toolBar_);
    CreateStatusBar();
    ApplyToolbarIcons();
    tray_ = new Tray(this);
    // Commands follow the run's state as it changes; nothing polls it.
    connect(runs_, &RunService::stateChanged, this, &CMainFrame::UpdateCommandStates);
    connect(runs_, &RunService::runPaused, this, &CMainFrame::ShowPaused);

    // An empty list must mean "no projects", never "could not read them".
    const std::string listError = projectView_->FillProjectList(db_);
    if (!listError.empty() && db_)
        Prompt::Warning(QStringLiteral("Cannot read the projects from \"%1\": %2")
                            .arg(QString::fromStdString(db_->path()), QString::fromStdString(listError)),
            "Warning", this);
    UpdateCommandStates();
}

CMainFrame::~CMainFrame()
{
    // Workers report through queued calls to this window and read its RunControl and
    // figures: they are stopped and joined while all of it still exists.
    if (hooks_.shutdownRuns)
        hooks_.shutdownRuns();
    displays_->StopTimers();
    tray_->HideIcon();
}

// ---- construction ----

void CMainFrame::PlaceOnScreen()
{
    // 1000x700 in the middle of the screen, or all of a smaller screen.
    const QRect available = screen()->availableGeometry();
    QRect placed(QPoint(0, 0), QSize(1000, 700).boundedTo(available.size()));
    placed.moveCenter(available.center());
    resize(placed.size());
    move(placed.topLeft());
}

void CMainFrame::CreatePanes()
{
    outerSplitter_ = new QSplitter(Qt::Vertical, this);
    outerSplitter_->setObjectName("outerSplitter");
    topSplitter_ = new QSplitter(Qt::Horizontal, outerSplitter_);
    topSplitter_->setObjectName("topSplitter");
    bottomSplitter_ = new QSplitter(Qt::Horizontal, outerSplitter_);
    bottomSplitter_->setObjectName("bottomSplitter");

    projectView_ = new CVornBackupView(topSplitter_);
    statusView_ = new CVornStatus(topSplitter_);
    destinationPane_ = new CVornLocalTrans(bottomSplitter_);
    sourcePane_ = new CVornRemoteTrans(bottomSplitter_);
    topSplitter_->setMinimumHeight(100);

    // The left column gets half the width plus 30, the right one half; the top row 300 of
    // the window's height. QSplitter scales these proportions to the real size.
    const int half = 1000 / 2;
    topSplitter_->setSizes({ half + 30, half });
    bottomSplitter_->setSizes({ half + 30, half });
    outerSplitter_->setSizes({ 300, 280 });
    setCentralWidget(outerSplitter_);

    projectView_->setRunInfoProvider([this] {
        return CVornBackupView::RunInfo { runState(), runProjectName() };
    });
    connect(projectView_, &CVornBackupView::selectedRowChanged, this, [this] { UpdateCommandStates(); });
    connect(projectView_, &CVornBackupView::newRequested, this, &CMainFrame::OnNew);
    connect(projectView_, &CVornBackupView::modifyRequested, this, &CMainFrame::OnModify);
    connect(projectView_, &CVornBackupView::startRequested, this, &CMainFrame::OnRun);
    connect(projectView_, &CVornBackupView::pauseRequested, this, &CMainFrame::OnPauseResume);
    connect(projectView_, &CVornBackupView::stopRequested, this, &CMainFrame::OnStop);
    connect(projectView_, &CVornBackupView::deleteRequested, this, &CMainFrame::OnDelete);
    connect(projectView_, &CVornBackupView::projectClicked, this, &CMainFrame::OnProjectClicked);

    // The Clean items follow the row counts of the lists they empty.
    for (QAbstractItemModel* model : { static_cast<QAbstractItemModel*>(statusView_->model()),
             static_cast<QAbstractItemModel*>(destinationPane_->model()),
             static_cast<QAbstractItemModel*>(sourcePane_->model()),
             static_cast<QAbstractItemModel*>(projectView_->model()) }) {
        connect(model, &QAbstractItemModel::rowsInserted, this, [this] { UpdateCommandStates(); });
        connect(model, &QAbstractItemModel::rowsRemoved, this, [this] { UpdateCommandStates(); });
        connect(model, &QAbstractItemModel::modelReset, this, [this] { UpdateCommandStates(); });
    }
    connect(topSplitter_, &QSplitter::splitterMoved, this, [this] { UpdateCommandStates(); });
    connect(bottomSplitter_, &QSplitter::splitterMoved, this, [this] { UpdateCommandStates(); });
}

void CMainFrame::ApplyToolbarIcons()
{
    const std::optional<std::vector<QIcon>> files = vorn::LoadToolbarIconFiles(startupFolder_);
    iconFilesUsed_ = files.has_value();
    const std::vector<QIcon> icons = files ? *files : vorn::BuiltinToolbarIcons();
    QAction* const buttons[]
        = { actions_.newAction, actions_.modifyAction, actions_.deleteAction, actions_.startAction,
              actions_.pauseAction, actions_.stopAction, actions_.homePageAction, actions_.aboutAction };
    for (std::size_t i = 0; i < std::size(buttons); ++i)
        buttons[i]->setIcon(icons[i]);
}

void CMainFrame::CreateStatusBar()
{
    QStatusBar* bar = statusBar();
    bar->setObjectName("statusBar");
    bar->setSizeGripEnabled(true);
    displays_ = new RunDisplays(bar, runs_->figures(), runs_->control(), statusView_);
    displays_->promptPane()->setText(idleStatusText_);
}

// ---- bookkeeping and availability ----

void CMainFrame::setRunState(vorn::RunState state)
{
    runs_->control().setRunState(state);
    UpdateCommandStates();
}

QString CMainFrame::runProjectName() const
{
    return runs_->projectName();
}

void CMainFrame::setRunProjectName(const QString& name)
{
    runs_->control().setRunProjectName(name.toStdString());
    UpdateCommandStates();
}

int CMainFrame::selectedRow() const
{
    return projectView_->selectedRow();
}

QSystemTrayIcon* CMainFrame::trayIcon() const
{
    return tray_->icon();
}

void CMainFrame::RestoreFromTray()
{
    tray_->RestoreWindow();
}

QMenu* CMainFrame::notifyMenu() const
{
    return tray_->menu();
}

QString CMainFrame::promptText() const
{
    return displays_->promptPane()->text();
}

void CMainFrame::UpdateCommandStates()
{
    if (!actions_.cleanSourceAction)
        return;
    const vorn::RunState state = runState();
    const bool active = state != vorn::RunState::Idle;
    const int row = selectedRow();
    const bool hasRow = row >= 0 && row < projectView_->rowCount();
    // The running or paused project can be neither modified nor deleted.
    const bool editable = hasRow && projectView_->BackupNameAt(row) != runProjectName();

    actions_.modifyAction->setEnabled(editable);
    actions_.deleteAction->setEnabled(editable);
    actions_.startAction->setEnabled(hasRow && state == vorn::RunState::Idle);
    actions_.pauseAction->setEnabled(active);
    actions_.stopAction->setEnabled(active);
    actions_.cleanTransferAction->setEnabled(statusView_->rowCount() > 0);
    actions_.cleanDestinationAction->setEnabled(destinationPane_->rowCount() > 0);
    actions_.cleanSourceAction->setEnabled(sourcePane_->rowCount() > 0);

    actions_.activeModeAction->setChecked(transferModeActive_);
    actions_.passiveModeAction->setChecked(!transferModeActive_);
    actions_.toolBarAction->setChecked(!toolBar_->isHidden());
    actions_.statusBarAction->setChecked(!statusBar()->isHidden());

    // A pane the user dragged back into view counts as shown again.
    const bool transmissionShown = topSplitter_->sizes().value(1) != 0;
    if (transmissionShown)
        transmissionHidden_ = false;
    actions_.transmissionAction->setChecked(transmissionShown);
    const bool destinationShown = bottomSplitter_->sizes().value(0) != 0;
    if (destinationShown)
        destinationHidden_ = false;
    actions_.destinationAction->setChecked(destinationShown);
}

// ---- commands ----

void CMainFrame::OnNew()
{
    if (hooks_.newProject)
        hooks_.newProject();
}

void CMainFrame::OnModify()
{
    UpdateCommandStates();
    if (actions_.modifyAction->isEnabled() && hooks_.modifyProject)
        hooks_.modifyProject();
}

void CMainFrame::OnDelete()
{
    const int row = selectedRow();
    if (row < 0 || row >= projectView_->rowCount())
        return;
    if (projectView_->BackupNameAt(row) == runProjectName())
        return;
    if (db_ != nullptr && !db_->readOnlyReason().empty()) {
        Prompt::Warning(QString::fromStdString(db_->readOnlyReason()), "Delete Project", this);
        return;
    }
    // The line under the question names the project, so a highlight moved by the keyboard
    // never deletes another project than the user thinks.
    if (Prompt::Question("Are you sure you want to delete this project?", "Delete Project", this, false,
            "Project: " + projectView_->BackupNameAt(row))
        != Prompt::Answer::Yes)
        return;
    // Read the name again: the list may have changed while the question was open.
    const int current = selectedRow();
    if (current < 0 || current >= projectView_->rowCount())
        return;
    const QString name = projectView_->BackupNameAt(current);
    if (name == runProjectName())
        return;
    projectView_->RemoveProjectRow(current);
    (void)vorn::DeleteProject(db_, name.toStdString());
    emit projectsChanged();
    // The next command must not act on whichever project moved up into this row.
    projectView_->clearSelectedRow();
    UpdateCommandStates();
}

void CMainFrame::OnRun()
{
    const vorn::RunState state = runState();
    if (state != vorn::RunState::Idle || !hooks_.startRun)
        return;
    const int row = selectedRow();
    if (row < 0 || row >= projectView_->rowCount())
        return;
    hooks_.startRun(projectView_->BackupNameAt(row));
    UpdateCommandStates();
}

void CMainFrame::OnPauseResume()
{
    (void)runs_->TogglePause();
}

void CMainFrame::ShowPaused(const QString& name, bool paused)
{
    if (paused)
        displays_->PauseMeter();
    else
        displays_->ResumeMeter();
    projectView_->SetTransferStatus(name, paused ? "Pause" : "Run");
}

void CMainFrame::OnStop()
{
    // The run ends within about a second, stores "Stop" and reports the cells and the result
    // line itself.
    runs_->Stop();
}

void CMainFrame::OnExit()
{
    close();
}

void CMainFrame::SetTransferModeActive(bool active)
{
    const bool changed = transferModeActive_ != active;
    transferModeActive_ = active;
    QSettings().setValue(kTransferModeActiveKey, active);
    UpdateCommandStates();
    if (changed)
        emit transferModeChanged(active);
}

void CMainFrame::ToggleTransmissionWindow()
{
    TogglePane(topSplitter_, 1, transmissionWidth_, transmissionHidden_);
}

void CMainFrame::ToggleDestinationWindow()
{
    TogglePane(bottomSplitter_, 0, destinationWidth_, destinationHidden_);
}

void CMainFrame::TogglePane(QSplitter* splitter, int pane, int& width, bool& hidden)
{
    const int total = splitter->width();
    const auto place = [&](int shown) {
        const int other = std::max(0, total - shown - (shown > 0 ? splitter->handleWidth() : 0));
        splitter->setSizes(pane == 0 ? QList<int> { shown, other } : QList<int> { other, shown });
    };
    if (splitter->sizes().value(pane) != 0) {
        width = splitter->sizes().value(pane);
        place(0);
        hidden = true;
    } else {
        // A pane collapsed by dragging has no remembered width: give it half.
        place(width > 0 ? width : total / 2);
        hidden = false;
    }
    UpdateCommandStates();
}

void CMainFrame::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    // Collapsed panes stay out of view whatever the new size.
    if (transmissionHidden_)
        topSplitter_->setSizes({ topSplitter_->width(), 0 });
    if (destinationHidden_)
        bottomSplitter_->setSizes({ 0, bottomSplitter_->width() });
}

void CMainFrame::CleanTransferList()
{
    statusView_->Clear();
    UpdateCommandStates();
}

void CMainFrame::CleanDestinationList()
{
    destinationPane_->Clear();
    UpdateCommandStates();
}

void CMainFrame::CleanSourceList()
{
    sourcePane_->Clear();
    UpdateCommandStates();
}

void CMainFrame::CleanAllLists()
{
    statusView_->Clear();
    destinationPane_->Clear();
    sourcePane_->Clear();
    UpdateCommandStates();
}

void CMainFrame::OnProjectClicked(int row)
{
    if (row < 0 || row >= projectView_->rowCount())
        return;
    const QString name = projectView_->BackupNameAt(row);
    // The destination first: it also tells runMode which kind of project was clicked.
    const int mode = destinationPane_->FillDestinationPane(db_, name);
    if (mode >= 0)
        runs_->figures().runMode.store(mode);
    sourcePane_->FillSourcePane(db_, name);
}

void CMainFrame::OpenHelpPage(vorn::HelpPage page)
{
    const QString manual
        = vorn::FindManual(startupFolder_, QCoreApplication::applicationDirPath(), manualSourceFolder_);
    // The home page is a placeholder until the product has a site: nothing opens without the
    // manual, and the status bar says why.
    if (manual.isEmpty()) {
        displays_->promptPane()->setText(QString::fromLatin1(vorn::kManualMissingText));
        return;
    }
    QDesktopServices::openUrl(vorn::HelpPageUrl(page, manual));
}

void CMainFrame::ShowAbout()
{
    AboutDialog dialog(this, [this] { OpenHelpPage(vorn::HelpPage::Home); });
    dialog.exec();
}

// ---- minimise, close ----

void CMainFrame::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Minimising hides the window into the tray, but only where there is a tray to bring it
    // back from, and not while a dialog holds its input: restored alone, it would ignore
    // every click. Otherwise it minimises as usual.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_->hidesOnMinimise()
        && !QApplication::activeModalWidget())
        QTimer::singleShot(0, this, [this] {
            if (isMinimized() && !QApplication::activeModalWidget())
                hide();
        });
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    const vorn::RunState state = runState();
    if (state != vorn::RunState::Idle) {
        if (Prompt::Question(
                "Have project running, are your sure you want to exit it?", "Warning", this, true)
            != Prompt::Answer::Yes) {
            event->ignore();
            return;
        }
    }
    // Stop and join the run before the program ends: it stores "Stop" itself. A run that
    // finished while the question was open keeps its own outcome. No scheduled run may start
    // between now and the end of the program either.
    if (hooks_.shutdownRuns)
        hooks_.shutdownRuns();
    displays_->StopTimers();
    tray_->HideIcon();
    event->accept();
    emit exitConfirmed();
}

bool CMainFrame::event(QEvent* event)
{
    // Prompts of menu items and toolbar buttons go to status pane 0, never over the others.
    if (event->type() == QEvent::StatusTip) {
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        displays_->promptPane()->setText(tip.isEmpty() ? idleStatusText_ : tip);
        return true;
    }
    return QMainWindow::event(event);
}

// ---- reports of a run ----

void CMainFrame::OnRunStarted(const QString& name, bool scheduled, std::time_t startTime)
{
    // The running project's own destination folder: the selected row may be another project
    // (for a scheduled start it usually is), whose folder says nothing about this run.
    const int row = projectView_->FindRowByName(name);
    const QString folder
        = row >= 0 ? projectView_->model()->Cell(row, ProjectListModel::DestinationFolder) : QString();
    statusView_->SetResultText(QString(61, QLatin1Char(' ')));
    statusBar()->clearMessage(); // the reason a previous run failed
    projectView_->model()->SetStatusNote(row, ProjectListModel::StatusMark::None, {});
    runs_->NoteRunStarted();
    BeginRunDisplays(scheduled, startTime, folder);
}

void CMainFrame::OnRunProjectStatus(const QString& name, vorn::ProjectStatus status)
{
    projectView_->SetTransferStatus(name, StatusText(status));
}

void CMainFrame::OnRunLastBackupTime(const QString& name, const QString& timeText)
{
    projectView_->SetLastBackupTime(name, timeText);
}

void CMainFrame::OnRunFileRow(
    std::uint64_t runRowId, const QString& time, const QString& path, const QString& size)
{
    runRows_[runRowId] = statusView_->AddRow(time, path, size, "...");
    runRowPaths_[runRowId] = path;
}

void CMainFrame::OnRunFileRowStatus(std::uint64_t runRowId, vorn::FileStatus status, const QString& reason)
{
    const auto it = runRows_.find(runRowId);
    if (it == runRows_.end())
        return;
    const bool failed = status == vorn::FileStatus::Failed;
    // A failed folder's row is named with a trailing "/".
    if (failed)
        runs_->NoteItemFailed(runRowPaths_[runRowId].endsWith('/'));
    runRowPaths_.erase(runRowId);
    // A row removed by Clean in the meantime stays removed.
    (void)statusView_->SetRowStatus(it->second, StatusText(status), reason);
    if (failed)
        emit runItemFailed(statusView_->model()->NameOf(it->second), reason);
    runRows_.erase(it);
}

void CMainFrame::OnRunFailed(const QString& name, const QString& reason)
{
    runs_->NoteRunFailed(reason);
    statusBar()->showMessage(name + ": " + reason);
    emit runFailed(name, reason);
}

void CMainFrame::OnRunResultText(const QString& text)
{
    statusView_->SetResultText(text);
}

void CMainFrame::OnRunFinished(const QString& name, vorn::RunOutcome outcome)
{
    runRows_.clear();
    runRowPaths_.clear();
    ShowRunOutcome(name, outcome);
    // The destination changed under the pane that shows it; a source file may have changed
    // since the source pane listed it.
    destinationPane_->RefreshAfterRun(name);
    sourcePane_->RefreshAfterRun(name);
    runs_->NoteRunFinished();
    emit runFinished(name, outcome);
}

void CMainFrame::ShowRunOutcome(const QString& name, vorn::RunOutcome outcome)
{
    using Mark = ProjectListModel::StatusMark;
    const int row = projectView_->FindRowByName(name);
    const bool failed = outcome == vorn::RunOutcome::Fail || outcome == vorn::RunOutcome::Failed;
    if (failed) {
        // Every way a run fails says why, in the status bar and on the project's cell.
        const QString reason = runs_->FailureText(outcome);
        if (runs_->failReason().isEmpty())
            statusBar()->showMessage(name + ": " + reason);
        projectView_->model()->SetStatusNote(
            row, Mark::Failure, StatusText(vorn::ProjectStatusOf(outcome)) + ": " + reason);
    } else if (outcome == vorn::RunOutcome::Success && runs_->failedItems() > 0) {
        projectView_->model()->SetStatusNote(row, Mark::Warning,
            "Success, but " + runs_->FailedItemsText()
                + ". The History command (Command menu) has the reasons.");
    }
}

void CMainFrame::OnNextBackupTime(const QString& name, const QString& timeText)
{
    projectView_->SetNextBackupTime(name, timeText);
}

void CMainFrame::SetIdleStatusText(const QString& text, const QString& toolTip)
{
    idleStatusText_ = text.isEmpty() ? QStringLiteral("Ready") : text;
    displays_->promptPane()->setText(idleStatusText_);
    displays_->promptPane()->setToolTip(vorn::AsPlainText(toolTip)); // it names the database file
}
