#include "app/MainFrame.h"

#include "app/AboutDialog.h"
#include "app/SpeedText.h"
#include "app/ToolbarIcons.h"
#include "gui/Prompt.h"
#include "gui/Resources.h"
#include "gui/TextProgressBar.h"
#include "store/ProjectDb.h"
#include "views/VornBackupView.h"
#include "views/VornLocalTrans.h"
#include "views/VornRemoteTrans.h"
#include "views/VornStatus.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QThreadPool>
#include <QTimer>
#include <QToolBar>
#include <cmath>
#include <set>

namespace {

// The 1 ms timers of a run only copy figures into the displays; a frame's worth of delay
// (16 ms) shows the same and keeps the GUI thread idle.
constexpr int kDisplayPeriodMs = 16;
constexpr int kLocalSamplePeriodMs = 5000;
constexpr int kPlanReloadPeriodMs = 5000;
constexpr int kProgressBarDelayMs = 200;

// A status-bar pane that asks for a given width but may shrink with the window.
class StatusPane : public QLabel {
public:
    StatusPane(const char* name, int preferredWidth, QWidget* parent)
        : QLabel(parent)
        , preferredWidth_(preferredWidth)
    {
        setObjectName(name);
        setTextFormat(Qt::PlainText);
        setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        setContentsMargins(2, 0, 2, 0);
    }
    QSize sizeHint() const override { return { preferredWidth_, QLabel::sizeHint().height() }; }
    QSize minimumSizeHint() const override { return { 40, QLabel::minimumSizeHint().height() }; }

private:
    int preferredWidth_;
};

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
{
    vorn::EnsureResources();
    processClock_.start();
    setObjectName("mainFrame");
    setWindowTitle("Vorn FTP 2.2.1.0");
    setWindowIcon(ProgramIcon());
    resize(1000, 700);

    CreatePanes();
    CreateActions();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    ApplyToolbarIcons();
    CreateTray();

    for (int id : { SpeedTextTimer, SchedulerCheckTimer, PlanReloadTimer, MidnightTimer, LocalSpeedTimer,
             ProgressTimer, ProgressBarCreateTimer }) {
        auto* timer = new QTimer(this);
        timer->setObjectName(QStringLiteral("timer%1").arg(id));
        connect(timer, &QTimer::timeout, this, [this, id] { OnTimer(id); });
        timers_[id] = timer;
    }

    // An empty list must mean "no projects", never "could not read them".
    const std::string listError = projectView_->FillProjectList(db_);
    if (!listError.empty() && db_)
        Prompt::Warning(QStringLiteral("Cannot read the projects from \"%1\": %2")
                            .arg(QString::fromStdString(db_->path()), QString::fromStdString(listError)),
            "Warning", this);
    UpdateCommandStates();
    StartTimerId(PlanReloadTimer, kPlanReloadPeriodMs);
    StartTimerId(ProgressBarCreateTimer, kProgressBarDelayMs);
}

CMainFrame::~CMainFrame()
{
    // Workers report through queued calls to this window and read its RunControl and
    // figures: they are stopped and joined while all of it still exists.
    if (hooks_.shutdownRuns)
        hooks_.shutdownRuns();
    for (auto& [id, timer] : timers_)
        timer->stop();
    if (trayIcon_)
        trayIcon_->hide();
}

// ---- construction ----

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

QAction* CMainFrame::MakeAction(
    const char* objectName, const QString& text, const QString& prompt, const QString& tip)
{
    auto* action = new QAction(text, this);
    action->setObjectName(objectName);
    action->setStatusTip(prompt);
    if (!tip.isEmpty())
        action->setToolTip(tip);
    action->setIconVisibleInMenu(false);
    return action;
}

void CMainFrame::CreateActions()
{
    newAction_ = MakeAction("actionNew", "New(&F)", "New Project", "New");
    newAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    modifyAction_ = MakeAction("actionModify", "Modify(&M)", "Modify", "Modify");
    modifyAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    deleteAction_ = MakeAction("actionDelete", "Delete(&D)", "Delete", "Delete");
    deleteAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    exitAction_ = MakeAction("actionExit", "Exit(&X)", "Exit the application", "Exit");
    startAction_ = MakeAction("actionStart", "Start(&R)", "Run", "Run");
    startAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    pauseAction_ = MakeAction("actionPause", "Pause(&P)", "Pause", "Pause");
    pauseAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    stopAction_ = MakeAction("actionStop", "Stop(&S)", "Stop", "Stop");
    stopAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    activeModeAction_ = MakeAction("actionActiveMode", "Actvie Mode(&A)", "Actvie Mode");
    passiveModeAction_ = MakeAction("actionPassiveMode", "Passive Mode(&P)", "Passive Mode");
    toolBarAction_ = MakeAction("actionToolBar", "Tool Bar(&T)", "Hide or show toolbar");
    statusBarAction_ = MakeAction("actionStatusBar", "Status Bar(&S)", "Hide or show statusbar");
    transmissionAction_
        = MakeAction("actionTransmissionWindow", "Transmission Window(&F)", "Transmission Window");
    destinationAction_ = MakeAction("actionDestinationWindow", "Destination Window(&D)", "Local Window");
    cleanAllAction_ = MakeAction("actionCleanAll", "All Lists(A)", {});
    cleanTransferAction_ = MakeAction("actionCleanTransfer", "Transfer List(&T)", {});
    cleanDestinationAction_ = MakeAction("actionCleanDestination", "Destination List(&D)", {});
    cleanSourceAction_ = MakeAction("actionCleanSource", "Source List(&S)", {});
    helpAction_ = MakeAction("actionHelp", "Help(&H)", "Help", "Help");
    homePageAction_ = MakeAction("actionHomePage", "Home Page(&H)", "Home Page", "Home Page");
    tutorialAction_ = MakeAction("actionTutorial", "Tutorial(&T)", "Tutorial", "Tutorial");
    errorReportingAction_
        = MakeAction("actionErrorReporting", "Error Reporting(&E)", "Error Reporting", "Reporting");
    aboutAction_ = MakeAction("actionAbout", "About Vorn FTP(&A)...",
        "Display program information, version number and copyright", "About");

    for (QAction* checkable : { activeModeAction_, passiveModeAction_, toolBarAction_, statusBarAction_,
             transmissionAction_, destinationAction_ })
        checkable->setCheckable(true);

    connect(newAction_, &QAction::triggered, this, &CMainFrame::OnNew);
    connect(modifyAction_, &QAction::triggered, this, &CMainFrame::OnModify);
    connect(deleteAction_, &QAction::triggered, this, &CMainFrame::OnDelete);
    connect(exitAction_, &QAction::triggered, this, &CMainFrame::OnExit);
    connect(startAction_, &QAction::triggered, this, &CMainFrame::OnRun);
    connect(pauseAction_, &QAction::triggered, this, &CMainFrame::OnPauseResume);
    connect(stopAction_, &QAction::triggered, this, &CMainFrame::OnStop);
    connect(activeModeAction_, &QAction::triggered, this, [this] { SetTransferModeActive(true); });
    connect(passiveModeAction_, &QAction::triggered, this, [this] { SetTransferModeActive(false); });
    connect(toolBarAction_, &QAction::triggered, this, [this] {
        toolBar_->setVisible(toolBar_->isHidden());
        UpdateCommandStates();
    });
    connect(statusBarAction_, &QAction::triggered, this, [this] {
        statusBar()->setVisible(statusBar()->isHidden());
        UpdateCommandStates();
    });
    connect(transmissionAction_, &QAction::triggered, this, &CMainFrame::ToggleTransmissionWindow);
    connect(destinationAction_, &QAction::triggered, this, &CMainFrame::ToggleDestinationWindow);
    connect(cleanAllAction_, &QAction::triggered, this, &CMainFrame::CleanAllLists);
    connect(cleanTransferAction_, &QAction::triggered, this, &CMainFrame::CleanTransferList);
    connect(cleanDestinationAction_, &QAction::triggered, this, &CMainFrame::CleanDestinationList);
    connect(cleanSourceAction_, &QAction::triggered, this, &CMainFrame::CleanSourceList);
    connect(helpAction_, &QAction::triggered, this, [this] { OpenHelpPage(vorn::HelpPage::Home); });
    connect(homePageAction_, &QAction::triggered, this, [this] { OpenHelpPage(vorn::HelpPage::Home); });
    connect(tutorialAction_, &QAction::triggered, this, [this] { OpenHelpPage(vorn::HelpPage::Tutorial); });
    connect(errorReportingAction_, &QAction::triggered, this,
        [this] { OpenHelpPage(vorn::HelpPage::ErrorReporting); });
    connect(aboutAction_, &QAction::triggered, this, &CMainFrame::ShowAbout);
}

void CMainFrame::CreateMenus()
{
    auto watch = [this](QMenu* menu, const char* name) {
        menu->setObjectName(name);
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandStates);
        return menu;
    };
    QMenu* session = watch(menuBar()->addMenu("Session(&S)"), "menuSession");
    session->addAction(newAction_);
    session->addAction(modifyAction_);
    session->addAction(deleteAction_);
    session->addSeparator();
    session->addAction(exitAction_);

    QMenu* command = watch(menuBar()->addMenu("Command(&C)"), "menuCommand");
    command->addAction(startAction_);
    command->addSeparator();
    command->addAction(pauseAction_);
    command->addAction(stopAction_);

    QMenu* mode = watch(menuBar()->addMenu("Transfer Mode(&M)"), "menuTransferMode");
    mode->addAction(activeModeAction_);
    mode->addAction(passiveModeAction_);

    QMenu* view = watch(menuBar()->addMenu("View(&V)"), "menuView");
    view->addAction(toolBarAction_);
    view->addAction(statusBarAction_);
    view->addSeparator();
    view->addAction(transmissionAction_);
    view->addAction(destinationAction_);
    view->addSeparator();
    QMenu* clean = watch(view->addMenu("Clean(&C)"), "menuClean");
    clean->addAction(cleanAllAction_);
    clean->addAction(cleanTransferAction_);
    clean->addAction(cleanDestinationAction_);
    clean->addAction(cleanSourceAction_);

    QMenu* help = watch(menuBar()->addMenu("Help(&H)"), "menuHelp");
    help->addAction(helpAction_);
    QMenu* online = watch(help->addMenu("Online Services(&O)"), "menuOnlineServices");
    online->addAction(homePageAction_);
    online->addSeparator();
    online->addAction(tutorialAction_);
    online->addAction(errorReportingAction_);
    help->addSeparator();
    help->addAction(aboutAction_);
}

void CMainFrame::CreateToolBar()
{
    toolBar_ = addToolBar("Toolbar");
    toolBar_->setObjectName("mainToolBar");
    toolBar_->setIconSize(QSize(32, 32));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar_->setAllowedAreas(Qt::AllToolBarAreas);
    toolBar_->addAction(newAction_);
    toolBar_->addAction(modifyAction_);
    toolBar_->addAction(deleteAction_);
    toolBar_->addSeparator();
    toolBar_->addAction(startAction_);
    toolBar_->addAction(pauseAction_);
    toolBar_->addAction(stopAction_);
    toolBar_->addSeparator();
    toolBar_->addAction(homePageAction_);
    toolBar_->addAction(aboutAction_);
}

void CMainFrame::ApplyToolbarIcons()
{
    const std::optional<std::vector<QIcon>> files = vorn::LoadToolbarIconFiles(startupFolder_);
    iconFilesUsed_ = files.has_value();
    const std::vector<QIcon> icons = files ? *files : vorn::BuiltinToolbarIcons();
    QAction* const buttons[] = { newAction_, modifyAction_, deleteAction_, startAction_, pauseAction_,
        stopAction_, homePageAction_, aboutAction_ };
    for (std::size_t i = 0; i < std::size(buttons); ++i)
        buttons[i]->setIcon(icons[i]);
}

void CMainFrame::CreateStatusBar()
{
    QStatusBar* bar = statusBar();
    bar->setObjectName("statusBar");
    bar->setSizeGripEnabled(true);
    promptPane_ = new StatusPane("statusPrompt", 450, bar);
    promptPane_->setText(idleStatusText_);
    progressPane_ = new QFrame(bar);
    progressPane_->setObjectName("statusProgressPane");
    progressPane_->setFixedWidth(124);
    progressPane_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    auto* progressLayout = new QHBoxLayout(progressPane_);
    progressLayout->setContentsMargins(0, 2, 6, 2);
    emptyPane_ = new StatusPane("statusEmptyPane", 100, bar);
    emptyPane_->setFixedWidth(100);
    speedPane_ = new StatusPane("speedPane", 250, bar);
    // All four are permanent so that prompts never cover the progress bar or the speed.
    bar->addPermanentWidget(promptPane_, 0);
    bar->addPermanentWidget(progressPane_, 0);
    bar->addPermanentWidget(emptyPane_, 0);
    bar->addPermanentWidget(speedPane_, 1);
}

void CMainFrame::CreateTray()
{
    notifyMenu_ = new QMenu("Notify", this);
    notifyMenu_->setObjectName("notifyMenu");
    notifyShow_ = notifyMenu_->addAction("Show");
    notifyShow_->setObjectName("notifyShow");
    connect(notifyShow_, &QAction::triggered, this, &CMainFrame::ToggleShowHide);
    notifyMenu_->addSeparator();
    QAction* trayNew = notifyMenu_->addAction("New");
    trayNew->setObjectName("notifyNew");
    connect(trayNew, &QAction::triggered, this, &CMainFrame::OnNew);
    QAction* trayHome = notifyMenu_->addAction("Home");
    trayHome->setObjectName("notifyHome");
    connect(trayHome, &QAction::triggered, this, [this] { OpenHelpPage(vorn::HelpPage::Home); });
    QAction* trayAbout = notifyMenu_->addAction("About");
    trayAbout->setObjectName("notifyAbout");
    connect(trayAbout, &QAction::triggered, this, &CMainFrame::ShowAbout);
    notifyMenu_->addSeparator();
    QAction* trayExit = notifyMenu_->addAction("Exit");
    trayExit->setObjectName("notifyExit");
    connect(trayExit, &QAction::triggered, this, &CMainFrame::OnExit);
    connect(notifyMenu_, &QMenu::aboutToShow, this, &CMainFrame::UpdateNotifyMenu);

    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    trayIcon_ = new QSystemTrayIcon(windowIcon(), this);
    trayIcon_->setObjectName("trayIcon");
    trayIcon_->setToolTip("Vorn FTP 2.0.1.0");
    trayIcon_->setContextMenu(notifyMenu_);
    connect(trayIcon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            RestoreFromTray();
    });
    trayIcon_->show();
}

// ---- bookkeeping and availability ----

void CMainFrame::setRunState(int state)
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

QString CMainFrame::speedText() const
{
    return speedPane_->text();
}

QString CMainFrame::promptText() const
{
    return promptPane_->text();
}

void CMainFrame::UpdateCommandStates()
{
    if (!cleanSourceAction_)
        return;
    const int state = runState();
    const bool active = state == 1 || state == 2;
    const int row = selectedRow();
    const bool hasRow = row >= 0 && row < projectView_->rowCount();
    // The running or paused project can be neither modified nor deleted.
    const bool editable = hasRow && projectView_->BackupNameAt(row) != runProjectName();

    modifyAction_->setEnabled(editable);
    deleteAction_->setEnabled(editable);
    startAction_->setEnabled(hasRow && state == 0);
    pauseAction_->setEnabled(active);
    stopAction_->setEnabled(active);
    cleanTransferAction_->setEnabled(statusView_->rowCount() > 0);
    cleanDestinationAction_->setEnabled(destinationPane_->rowCount() > 0);
    cleanSourceAction_->setEnabled(sourcePane_->rowCount() > 0);

    activeModeAction_->setChecked(transferModeActive_);
    passiveModeAction_->setChecked(!transferModeActive_);
    toolBarAction_->setChecked(!toolBar_->isHidden());
    statusBarAction_->setChecked(!statusBar()->isHidden());

    // A pane the user dragged back into view counts as shown again.
    const bool transmissionShown = topSplitter_->sizes().value(1) != 0;
    if (transmissionShown)
        transmissionHidden_ = false;
    transmissionAction_->setChecked(transmissionShown);
    const bool destinationShown = bottomSplitter_->sizes().value(0) != 0;
    if (destinationShown)
        destinationHidden_ = false;
    destinationAction_->setChecked(destinationShown);
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
    if (modifyAction_->isEnabled() && hooks_.modifyProject)
        hooks_.modifyProject();
}

void CMainFrame::OnDelete()
{
    const int row = selectedRow();
    if (row < 0 || row >= projectView_->rowCount())
        return;
    if (projectView_->BackupNameAt(row) == runProjectName())
        return;
    if (Prompt::Question("Are you sure you want to delete this project?", "Delete Project", this)
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
    const int state = runState();
    if (state == 1 || state == 2 || !hooks_.startRun)
        return;
    const int row = selectedRow();
    if (row < 0 || row >= projectView_->rowCount())
        return;
    hooks_.startRun(projectView_->BackupNameAt(row));
    UpdateCommandStates();
}

void CMainFrame::OnPauseResume()
{
    const int state = runState();
    if (state != 1 && state != 2)
        return;
    const QString name = runProjectName();
    // The RunControl refuses when the run ended in the meantime: then no cell changes.
    if (state == 1 ? !runControl_.Pause() : !runControl_.Resume())
        return;
    figures_.ResetSpeed();
    if (state == 1) {
        meter_.Pause();
        projectView_->SetTransferStatus(name, "Pause");
    } else {
        meter_.Resume(processClock_.elapsed());
        projectView_->SetTransferStatus(name, "Run");
    }
    UpdateCommandStates();
}

void CMainFrame::OnStop()
{
    const int state = runState();
    if (state != 1 && state != 2)
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
    QDesktopServices::openUrl(vorn::ManualUrl(page, startupFolder_));
}

void CMainFrame::ShowAbout()
{
    AboutDialog dialog(this);
    dialog.exec();
}

// ---- tray, minimise, restore, close ----

void CMainFrame::UpdateNotifyMenu()
{
    notifyShow_->setText(isVisible() ? "Hide" : "Show");
}

void CMainFrame::ToggleShowHide()
{
    if (isVisible())
        showMinimized();
    else
        RestoreFromTray();
}

void CMainFrame::RestoreFromTray()
{
    showNormal();
    raise();
    activateWindow();
}

void CMainFrame::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Minimising hides the window into the tray, but only where there is a tray to bring it
    // back from; elsewhere it minimises as usual.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && trayIcon_
        && QSystemTrayIcon::isSystemTrayAvailable())
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    const int state = runState();
    if (state == 1 || state == 2) {
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
    for (auto& [id, timer] : timers_)
        timer->stop();
    if (trayIcon_)
        trayIcon_->hide();
    event->accept();
    emit exitConfirmed();
}

bool CMainFrame::event(QEvent* event)
{
    // Prompts of menu items and toolbar buttons go to status pane 0, never over the others.
    if (event->type() == QEvent::StatusTip) {
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        promptPane_->setText(tip.isEmpty() ? idleStatusText_ : tip);
        return true;
    }
    return QMainWindow::event(event);
}

// ---- timers and transfer displays ----

void CMainFrame::StartTimerId(int id, int milliseconds)
{
    const auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    it->second->start(milliseconds);
}

void CMainFrame::StopTimerId(int id)
{
    const auto it = timers_.find(id);
    if (it != timers_.end())
        it->second->stop();
}

bool CMainFrame::timerActive(int id) const
{
    const auto it = timers_.find(id);
    return it != timers_.end() && it->second->isActive();
}

void CMainFrame::OnTimer(int id)
{
    switch (id) {
    case SpeedTextTimer:
        if (runState() != 0) {
            ShowSpeedText();
        } else {
            StopTimerId(LocalSpeedTimer);
            StopTimerId(SpeedTextTimer);
            speedPane_->clear();
        }
        // The worker changes runState; this is where the commands notice it.
        UpdateCommandStates();
        break;
    case SchedulerCheckTimer:
    case PlanReloadTimer:
    case MidnightTimer:
        if (hooks_.schedulerTimer)
            hooks_.schedulerTimer(id);
        break;
    case LocalSpeedTimer:
        SampleLocalSpeed();
        break;
    case ProgressTimer:
        UpdateProgressPosition();
        break;
    case ProgressBarCreateTimer:
        CreateProgressBar();
        StopTimerId(ProgressBarCreateTimer);
        break;
    default:
        break;
    }
}

void CMainFrame::CreateProgressBar()
{
    if (progressBar_)
        return;
    progressBar_ = new TextProgressBar(progressPane_);
    progressPane_->layout()->addWidget(progressBar_);
    progressBar_->hide();
    progressBar_->SetRange(0, 100);
    progressBar_->SetBarColor(QColor(62, 178, 226));
}

void CMainFrame::BeginRunDisplays(
    bool scheduledStart, std::time_t runStartTime, const QString& destinationFolder)
{
    (void)scheduledStart; // both start paths refresh at the same display rate
    runStartTime_ = runStartTime;
    runDestinationFolder_ = destinationFolder;
    runFirstStatusRow_ = statusView_->model()->NextId();
    meter_.Start(processClock_.elapsed());
    CreateProgressBar();
    progressBar_->SetPos(0);
    progressBar_->show();
    StartTimerId(LocalSpeedTimer, kLocalSamplePeriodMs);
    StartTimerId(SpeedTextTimer, kDisplayPeriodMs);
    StartTimerId(ProgressTimer, kDisplayPeriodMs);
}

void CMainFrame::UpdateProgressPosition()
{
    if (runState() == 0) {
        StopTimerId(ProgressTimer);
        if (progressBar_)
            progressBar_->hide();
        return;
    }
    if (!progressBar_)
        return;
    const float percent = figures_.progressInfo.percent.load();
    // Round half up; a NaN or absurd figure from the worker must not overflow the cast.
    const double limited = std::isfinite(percent) ? std::clamp(double(percent), 0.0, 1.0e6) : 0.0;
    progressBar_->SetPos(static_cast<int>(limited + 0.5));
}

void CMainFrame::ShowSpeedText()
{
    const double speed
        = vorn::ChooseDisplaySpeed(figures_.runMode.load(), figures_.transferSpeed.load(), meter_.speed());
    const QString text = QString::fromStdString(vorn::FormatSpeedText(speed));
    if (speedPane_->text() != text)
        speedPane_->setText(text);
}

void CMainFrame::SampleLocalSpeed()
{
    if (sampleInFlight_)
        return;
    // Only this run's rows: files of earlier runs in the same folder are not this run's speed.
    std::set<std::string> names;
    for (const QString& name : statusView_->model()->NamesSince(runFirstStatusRow_))
        names.insert(vorn::LastPathComponent(name.toStdString()));
    const std::filesystem::path folder(runDestinationFolder_.toStdString());
    const std::time_t since = runStartTime_;
    sampleInFlight_ = true;
    // The folder look-up runs off the GUI thread; the result comes back queued.
    QPointer<CMainFrame> self(this);
    QThreadPool::globalInstance()->start([self, folder, names = std::move(names), since] {
        const std::uint64_t bytes = vorn::SumRecentFileBytes(folder, names, since);
        QMetaObject::invokeMethod(
            qApp,
            [self, bytes] {
                if (self)
                    self->FinishLocalSample(bytes);
            },
            Qt::QueuedConnection);
    });
}

void CMainFrame::FinishLocalSample(std::uint64_t bytes)
{
    sampleInFlight_ = false;
    meter_.Record(bytes, processClock_.elapsed());
    ++localSamplesTaken_;
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
}

void CMainFrame::OnRunFileRowStatus(std::uint64_t runRowId, const QString& status)
{
    const auto it = runRows_.find(runRowId);
    if (it == runRows_.end())
        return;
    // A row removed by Clean in the meantime stays removed.
    (void)statusView_->SetRowStatus(it->second, status);
    runRows_.erase(it);
}

void CMainFrame::OnRunResultText(const QString& text)
{
    statusView_->SetResultText(text);
}

void CMainFrame::OnRunFinished(const QString& name, const QString& status)
{
    runRows_.clear();
    UpdateCommandStates();
    emit runFinished(name, status);
}

void CMainFrame::OnNextBackupTime(const QString& name, const QString& timeText)
{
    projectView_->SetNextBackupTime(name, timeText);
}

void CMainFrame::SetIdleStatusText(const QString& text)
{
    idleStatusText_ = text.isEmpty() ? QStringLiteral("Ready") : text;
    promptPane_->setText(idleStatusText_);
}
