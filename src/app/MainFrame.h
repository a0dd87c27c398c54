#pragma once

#include "app/HelpPages.h"
#include "app/LocalSpeedMeter.h"
#include "engine/RunControl.h"
#include "engine/TransferFigures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <ctime>
#include <functional>
#include <map>
#include <unordered_map>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QSplitter;
class QSystemTrayIcon;
class QTimer;
class QToolBar;
class CVornBackupView;
class CVornStatus;
class CVornLocalTrans;
class CVornRemoteTrans;
class TextProgressBar;

namespace vorn {
class ProjectDb;
} // namespace vorn

// The main window: menus, toolbar, status bar, the four panes, the tray icon, the timers and
// the bookkeeping of the one project that may run. Everything here lives on the GUI thread;
// a run's worker writes only runControl() and the atomics in figures(), and reaches the rest
// through queued calls (the OnRun... reports below).
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    enum TimerId {
        SpeedTextTimer = 1,
        SchedulerCheckTimer = 2,
        PlanReloadTimer = 3,
        MidnightTimer = 4,
        LocalSpeedTimer = 5,
        ProgressTimer = 6,
        ProgressBarCreateTimer = 10,
    };

    // Where the runs, the scheduler and the editor plug in. Unset hooks leave their commands
    // inert. Pause, Resume and Stop act on runControl() directly.
    struct Hooks {
        std::function<void(const QString& name)> startRun; // start RunProject for the project
        // Stop the run, start none any more, join every worker. Called when the user leaves and
        // from the destructor, while every widget still exists.
        std::function<void()> shutdownRuns;
        std::function<void()> newProject; // project dialog, new
        std::function<void()> modifyProject; // project dialog, selected row
        std::function<void(int timerId)> schedulerTimer; // timers 2, 3 and 4
    };

    // `startupFolder` is the folder the program was started in: the toolbar icons are read
    // from its "images" folder and the manual is looked up there first.
    explicit CMainFrame(
        vorn::ProjectDb* db, const QString& startupFolder = QDir::currentPath(), QWidget* parent = nullptr);
    ~CMainFrame() override;

    [[nodiscard]] Hooks& hooks() { return hooks_; }
    [[nodiscard]] vorn::TransferFigures& figures() { return figures_; }
    [[nodiscard]] vorn::RunControl& runControl() { return runControl_; }
    [[nodiscard]] vorn::ProjectDb* projectDb() const { return db_; }

    // runState and runProjectName are the RunControl's. The setters change them there; a run
    // sets them itself, so only tests need these.
    [[nodiscard]] int runState() const { return runControl_.runState(); }
    void setRunState(int state);
    [[nodiscard]] QString runProjectName() const;
    void setRunProjectName(const QString& name);
    [[nodiscard]] int selectedRow() const;
    [[nodiscard]] bool transferModeActive() const { return transferModeActive_; }

    [[nodiscard]] CVornBackupView* projectView() const { return projectView_; }
    [[nodiscard]] CVornStatus* statusView() const { return statusView_; }
    [[nodiscard]] CVornLocalTrans* destinationPane() const { return destinationPane_; }
    [[nodiscard]] CVornRemoteTrans* sourcePane() const { return sourcePane_; }
    [[nodiscard]] QSplitter* topSplitter() const { return topSplitter_; }
    [[nodiscard]] QSplitter* bottomSplitter() const { return bottomSplitter_; }
    [[nodiscard]] TextProgressBar* progressBar() const { return progressBar_; }
    [[nodiscard]] QString speedText() const;
    [[nodiscard]] QString promptText() const;
    [[nodiscard]] QMenu* notifyMenu() const { return notifyMenu_; }
    [[nodiscard]] bool toolbarShowsIconFiles() const { return iconFilesUsed_; }

    // Availability and check marks of every command, from runState, runProjectName,
    // selectedRow, the list contents and the pane widths.
    void UpdateCommandStates();

    // Commands.
    void OnNew();
    void OnModify();
    void OnDelete();
    void OnRun();
    void OnPauseResume();
    void OnStop();
    void OnExit();
    void SetTransferModeActive(bool active);
    void ToggleTransmissionWindow();
    void ToggleDestinationWindow();
    void CleanTransferList();
    void CleanDestinationList();
    void CleanSourceList();
    void CleanAllLists();
    // A left click (or double click) on a project row: both file panes list its folders.
    void OnProjectClicked(int row);
    void OpenHelpPage(vorn::HelpPage page);
    void ShowAbout();
    void ToggleShowHide();
    void RestoreFromTray();
    void UpdateNotifyMenu();

    // Transfer displays of the status bar. The run calls BeginRunDisplays when it starts; the
    // timers end the displays themselves once runState is 0 again.
    void BeginRunDisplays(bool scheduledStart, std::time_t runStartTime, const QString& destinationFolder);
    void CreateProgressBar();
    void ShowSpeedText();
    void SampleLocalSpeed();
    void UpdateProgressPosition();
    [[nodiscard]] float localSpeed() const { return meter_.speed(); }
    [[nodiscard]] std::uint64_t sampledBytes() const { return meter_.sampledBytes(); }
    [[nodiscard]] int localSamplesTaken() const { return localSamplesTaken_; }

    // Reports of a run, on the GUI thread in the order the run made them (QueuedRunObserver).
    // `startTime` is when the run began on its own thread.
    void OnRunStarted(const QString& name, bool scheduled, std::time_t startTime);
    void OnRunProjectStatus(const QString& name, const QString& status);
    void OnRunLastBackupTime(const QString& name, const QString& timeText);
    void OnRunFileRow(std::uint64_t runRowId, const QString& time, const QString& path, const QString& size);
    void OnRunFileRowStatus(std::uint64_t runRowId, const QString& status);
    void OnRunResultText(const QString& text);
    void OnRunFinished(const QString& name, const QString& status);
    // The scheduler worked out a project's next backup time again.
    void OnNextBackupTime(const QString& name, const QString& timeText);

    // What status pane 0 shows when no prompt is shown ("Ready" unless set): a lasting notice.
    void SetIdleStatusText(const QString& text);

    // One QTimer per id; all of them end in OnTimer.
    void StartTimerId(int id, int milliseconds);
    void StopTimerId(int id);
    [[nodiscard]] bool timerActive(int id) const;
    void OnTimer(int id);

signals:
    // The user confirmed leaving: the application quits.
    void exitConfirmed();
    // A run has ended and its last report is shown.
    void runFinished(const QString& name, const QString& status);
    // Active (true) or passive data connections for the runs that start from now on.
    void transferModeChanged(bool active);
    // A command of this window stored, changed or deleted a project.
    void projectsChanged();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void CreatePanes();
    void CreateTray();
    void ApplyToolbarIcons();
    void FinishLocalSample(std::uint64_t bytes);
    QAction* MakeAction(
        const char* objectName, const QString& text, const QString& prompt, const QString& tip = {});

    vorn::ProjectDb* db_;
    QString startupFolder_;
    Hooks hooks_;
    vorn::RunControl runControl_;
    vorn::TransferFigures figures_;
    bool transferModeActive_ = true;
    QString idleStatusText_ = QStringLiteral("Ready");

    CVornBackupView* projectView_ = nullptr;
    CVornStatus* statusView_ = nullptr;
    CVornLocalTrans* destinationPane_ = nullptr;
    CVornRemoteTrans* sourcePane_ = nullptr;
    QSplitter* outerSplitter_ = nullptr;
    QSplitter* topSplitter_ = nullptr;
    QSplitter* bottomSplitter_ = nullptr;
    bool transmissionHidden_ = false;
    int transmissionWidth_ = 0;
    bool destinationHidden_ = false;
    int destinationWidth_ = 0;

    QToolBar* toolBar_ = nullptr;
    bool iconFilesUsed_ = false;
    QLabel* promptPane_ = nullptr;
    QFrame* progressPane_ = nullptr;
    QLabel* emptyPane_ = nullptr;
    QLabel* speedPane_ = nullptr;
    TextProgressBar* progressBar_ = nullptr;

    QSystemTrayIcon* trayIcon_ = nullptr;
    QMenu* notifyMenu_ = nullptr;
    QAction* notifyShow_ = nullptr;

    std::map<int, QTimer*> timers_;
    QElapsedTimer processClock_;
    vorn::LocalSpeedMeter meter_;
    std::time_t runStartTime_ = 0;
    QString runDestinationFolder_;
    std::int64_t runFirstStatusRow_ = 0;
    bool sampleInFlight_ = false;
    // The run's row ids and the status list's, for the rows still waiting for their status.
    std::unordered_map<std::uint64_t, std::int64_t> runRows_;
    int localSamplesTaken_ = 0;

    QAction* newAction_ = nullptr;
    QAction* modifyAction_ = nullptr;
    QAction* deleteAction_ = nullptr;
    QAction* exitAction_ = nullptr;
    QAction* startAction_ = nullptr;
    QAction* pauseAction_ = nullptr;
    QAction* stopAction_ = nullptr;
    QAction* activeModeAction_ = nullptr;
    QAction* passiveModeAction_ = nullptr;
    QAction* toolBarAction_ = nullptr;
    QAction* statusBarAction_ = nullptr;
    QAction* transmissionAction_ = nullptr;
    QAction* destinationAction_ = nullptr;
    QAction* cleanAllAction_ = nullptr;
    QAction* cleanTransferAction_ = nullptr;
    QAction* cleanDestinationAction_ = nullptr;
    QAction* cleanSourceAction_ = nullptr;
    QAction* helpAction_ = nullptr;
    QAction* homePageAction_ = nullptr;
    QAction* tutorialAction_ = nullptr;
    QAction* errorReportingAction_ = nullptr;
    QAction* aboutAction_ = nullptr;
};
