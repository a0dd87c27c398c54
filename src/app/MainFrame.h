#pragma once

#include "app/HelpPages.h"
#include "app/LocalSpeedMeter.h"
#include "app/TransferFigures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <ctime>
#include <functional>
#include <map>

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
// a run's worker writes only the atomics in figures() and reaches the rest through queued
// calls.
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

    // Where the run control and the editor plug in. Unset hooks leave their commands inert.
    struct Hooks {
        std::function<void(const QString& name)> startRun; // start RunProject for the project
        std::function<void(bool pause)> pauseRun; // pause (true) or resume (false)
        std::function<bool()> stopRunAndWait; // cancel the run and join its worker
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
    [[nodiscard]] vorn::ProjectDb* projectDb() const { return db_; }

    [[nodiscard]] int runState() const { return figures_.runState.load(); }
    void setRunState(int state);
    [[nodiscard]] QString runProjectName() const { return runProjectName_; }
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

    // One QTimer per id; all of them end in OnTimer.
    void StartTimerId(int id, int milliseconds);
    void StopTimerId(int id);
    [[nodiscard]] bool timerActive(int id) const;
    void OnTimer(int id);

signals:
    // The user confirmed leaving: the application quits.
    void exitConfirmed();

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
    vorn::TransferFigures figures_;
    QString runProjectName_;
    bool transferModeActive_ = true;

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
