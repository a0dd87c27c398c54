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

// The 1 ms timers of a run only copy figures into the displays; a frame's worth of delay
// (16 ms) shows the same and keeps the GUI thread idle.
constexpr int kDisplayPeriodMs = 16;
constexpr int kLocalSamplePeriodMs = 5000;
constexpr int kProgressBarDelayMs = 200;
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

CMainFrame::CMainFrame(vorn::ProjectDb* db, const QString& startupFolder, QWidget* parent)
    : QMainWindow(parent)
    , db_(db)
    , startupFolder_(startupFolder)
    , manualSourceFolder_(QStringLiteral(VORN_SOURCE_FOLDER))
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

    // One named timer per purpose, each ending in its own step.
    speedTextTimer_ = MakeTimer("speedTextTimer", &CMainFrame::OnSpeedTextTimer);
    localSpeedTimer_ = MakeTimer("localSpeedTimer", &CMainFrame::SampleLocalSpeed);
    progressTimer_ = MakeTimer("progressTimer", &CMainFrame::UpdateProgressPosition);
    progressBarTimer_ = MakeTimer("progressBarTimer", &CMainFrame::CreateProgressBar);
    progressBarTimer_->setSingleShot(true);

    // An empty list must mean "no projects", never "could not read them".
    const std::string listError = projectView_->FillProjectList(db_);
    if (!listError.empty() && db_)
        Prompt::Warning(QStringLiteral("Cannot read the projects from \"%1\": %2")
                            .arg(QString::fromStdString(db_->path()), QString::fromStdString(listError)),
            "Warning", this);
    UpdateCommandStates();
    progressBarTimer_->start(kProgressBarDelayMs);
}

QTimer* CMainFrame::MakeTimer(const char* name, void (CMainFrame::*step)())
{
    auto* timer = new QTimer(this);
    timer->setObjectName(QString::fromLatin1(name));
    connect(timer, &QTimer::timeout, this, step);
    return timer;
}

void CMainFrame::StopTimers()
{
    for (QTimer* timer : { speedTextTimer_, localSpeedTimer_, progressTimer_, progressBarTimer_ })
        timer->stop();
}

void CMainFrame::CreateProgressBar()
{
    displays_->CreateProgressBar();
}

CMainFrame::~CMainFrame()
{
    // Workers report through queued calls to this window and read its RunControl and
    // figures: they are stopped and joined while all of it still exists.
    if (hooks_.shutdownRuns)
        hooks_.shutdownRuns();
    StopTimers();
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
    displays_ = new RunDisplays(bar, figures_, statusView_);
    displays_->promptPane()->setText(idleStatusText_);
}

// ---- bookkeeping and availability ----

void CMainFrame::setRunState(vorn::RunState state)
{
    runControl_.setRunState(state);
    UpdateCommandStates();
}

QString CMainFrame::runProjectName() const
{
    return QString::fromStdString(runControl_.runProjectName());
}

void CMainFrame::setRunProjectName(const QString& name)
{
    runControl_.setRunProjectName(name.toStdString());
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
    const vorn::RunState state = runState();
    if (state == vorn::RunState::Idle)
        return;
    const QString name = runProjectName();
    // The RunControl refuses when the run ended in the meantime: then no cell changes.
    if (state == vorn::RunState::Running ? !runControl_.Pause() : !runControl_.Resume())
        return;
    figures_.ResetSpeed();
    if (state == vorn::RunState::Running) {
        displays_->PauseMeter();
        projectView_->SetTransferStatus(name, "Pause");
    } else {
        displays_->ResumeMeter();
        projectView_->SetTransferStatus(name, "Run");
    }
    UpdateCommandStates();
}

void CMainFrame::OnStop()
{
    const vorn::RunState state = runState();
    if (state == vorn::RunState::Idle)
        return;
    // The run ends within about a second, stores "Stop" and reports the cells and the result
    // line itself; a paused run is woken up to do so.
    runControl_.Stop();
    UpdateCommandStates();
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
    const QList<int> sizes = topSplitter_->sizes();
    const int total = topSplitter_->width();
    if (sizes.value(1) != 0) {
        transmissionWidth_ = sizes.value(1);
        topSplitter_->setSizes({ total, 0 });
        transmissionHidden_ = true;
    } else {
        // A pane collapsed by dragging has no remembered width: give it half.
        const int width = transmissionWidth_ > 0 ? transmissionWidth_ : total / 2;
        topSplitter_->setSizes({ std::max(0, total - width - topSplitter_->handleWidth()), width });
        transmissionHidden_ = false;
    }
    UpdateCommandStates();
}

void CMainFrame::ToggleDestinationWindow()
{
    const QList<int> sizes = bottomSplitter_->sizes();
    const int total = bottomSplitter_->width();
    if (sizes.value(0) != 0) {
        destinationWidth_ = sizes.value(0);
        bottomSplitter_->setSizes({ 0, total });
        destinationHidden_ = true;
    } else {
        const int width = destinationWidth_ > 0 ? destinationWidth_ : total / 2;
        bottomSplitter_->setSizes({ width, std::max(0, total - width - bottomSplitter_->handleWidth()) });
        destinationHidden_ = false;
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
        figures_.runMode.store(mode);
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
    StopTimers();
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

// ---- timers and transfer displays ----

void CMainFrame::OnSpeedTextTimer()
{
    if (runState() != vorn::RunState::Idle) {
        displays_->ShowSpeedText();
        return;
    }
    localSpeedTimer_->stop();
    speedTextTimer_->stop();
    displays_->ClearSpeedText();
}

void CMainFrame::BeginRunDisplays(
    bool scheduledStart, std::time_t runStartTime, const QString& destinationFolder)
{
    (void)scheduledStart; // both start paths refresh at the same display rate
    displays_->Begin(runStartTime, destinationFolder);
    localSpeedTimer_->start(kLocalSamplePeriodMs);
    speedTextTimer_->start(kDisplayPeriodMs);
    progressTimer_->start(kDisplayPeriodMs);
}

void CMainFrame::UpdateProgressPosition()
{
    const bool running = runState() != vorn::RunState::Idle;
    if (!running)
        progressTimer_->stop();
    displays_->UpdateProgress(running);
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
    runFailReason_.clear();
    failedFiles_ = 0;
    failedFolders_ = 0;
    projectView_->model()->SetStatusNote(row, ProjectListModel::StatusMark::None, {});
    BeginRunDisplays(scheduled, startTime, folder);
    UpdateCommandStates();
}

void CMainFrame::OnRunProjectStatus(const QString& name, const QString& status)
{
    projectView_->SetTransferStatus(name, status);
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

void CMainFrame::OnRunFileRowStatus(std::uint64_t runRowId, const QString& status, const QString& reason)
{
    const auto it = runRows_.find(runRowId);
    if (it == runRows_.end())
        return;
    const bool failed = status == QLatin1String("Failed");
    // A failed folder's row is named with a trailing "/".
    if (failed)
        ++(runRowPaths_[runRowId].endsWith('/') ? failedFolders_ : failedFiles_);
    runRowPaths_.erase(runRowId);
    // A row removed by Clean in the meantime stays removed.
    (void)statusView_->SetRowStatus(it->second, status, reason);
    if (failed)
        emit runItemFailed(statusView_->model()->NameOf(it->second), reason);
    runRows_.erase(it);
}

void CMainFrame::OnRunFailed(const QString& name, const QString& reason)
{
    runFailReason_ = reason;
    statusBar()->showMessage(name + ": " + reason);
    emit runFailed(name, reason);
}

void CMainFrame::OnRunResultText(const QString& text)
{
    statusView_->SetResultText(text);
}

void CMainFrame::OnRunFinished(const QString& name, const QString& status)
{
    runRows_.clear();
    runRowPaths_.clear();
    ShowRunOutcome(name, status);
    // The destination changed under the pane that shows it; a source file may have changed
    // since the source pane listed it.
    destinationPane_->RefreshAfterRun(name);
    sourcePane_->RefreshAfterRun(name);
    UpdateCommandStates();
    emit runFinished(name, status);
}

QString CMainFrame::FailedItemsText() const
{
    QStringList parts;
    if (failedFiles_ > 0)
        parts << QString("%1 file(s) failed").arg(failedFiles_);
    if (failedFolders_ > 0)
        parts << QString("%1 folder(s) failed").arg(failedFolders_);
    return parts.join(", ");
}

void CMainFrame::ShowRunOutcome(const QString& name, const QString& status)
{
    using Mark = ProjectListModel::StatusMark;
    const int row = projectView_->FindRowByName(name);
    const bool failed = status == QLatin1String("Fail") || status == QLatin1String("Failed");
    if (failed) {
        // Every way a run fails says why, in the status bar and on the project's cell.
        QString reason = runFailReason_;
        if (reason.isEmpty())
            reason = status == QLatin1String("Failed")
                ? QString("The project could not be loaded from the database.")
                : QString("The run failed; the History command (Command menu) has what was recorded.");
        if (runFailReason_.isEmpty())
            statusBar()->showMessage(name + ": " + reason);
        projectView_->model()->SetStatusNote(row, Mark::Failure, status + ": " + reason);
    } else if (status == QLatin1String("Success") && failedFiles_ + failedFolders_ > 0) {
        projectView_->model()->SetStatusNote(row, Mark::Warning,
            "Success, but " + FailedItemsText() + ". The History command (Command menu) has the reasons.");
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
