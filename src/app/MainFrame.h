#pragma once

#include "app/HelpPages.h"
#include "app/MainActions.h"
#include "app/RunDisplays.h"
#include "app/RunService.h"
#include "engine/RunObserver.h"

#include <QDir>
#include <QMainWindow>
#include <QString>
#include <ctime>
#include <functional>
#include <unordered_map>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QSplitter;
class QTimer;
class QToolBar;
class CVornBackupView;
class CVornStatus;
class CVornLocalTrans;
class CVornRemoteTrans;
class TextProgressBar;
class Tray;

namespace vorn {
class ProjectDb;
} // namespace vorn

// The main window: menus, toolbar, status bar, the four panes and the tray icon. It shows the
// one project that may run; the run itself (its control, figures and what it reported) is the
// RunService's, which the window follows through its signals. Everything here lives on the
// GUI thread; a run's worker writes only runControl() and the atomics in figures(), and
// reaches the rest through queued calls (the OnRun... reports below).
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Where the runs, the scheduler and the editor plug in. Unset hooks leave their commands
    // inert. Pause, Resume and Stop act on runControl() directly.
    struct Hooks {
        std::function<void(const QString& name)> startRun; // start RunProject for the project
        // Stop the run, start none any more, join every worker. Called when the user leaves and
        // from the destructor, while every widget still exists.
        std::function<void()> shutdownRuns;
        std::function<void()> newProject; // project dialog, new
        std::function<void()> modifyProject; // project dialog, selected row
    };

    // `startupFolder` is the folder the program was started in: the toolbar icons are read
    // from its "images" folder and the manual is looked up there first. `runs` must outlive
    // the window; null gives the window a service of its own.
    explicit CMainFrame(vorn::ProjectDb* db, const QString& startupFolder = QDir::currentPath(),
        QWidget* parent = nullptr, RunService* runs = nullptr);
    ~CMainFrame() override;

    [[nodiscard]] Hooks& hooks() { return hooks_; }
    [[nodiscard]] RunService* runs() const { return runs_; }
    [[nodiscard]] vorn::TransferFigures& figures() { return runs_->figures(); }
    [[nodiscard]] vorn::RunControl& runControl() { return runs_->control(); }

    // runState and runProjectName are the RunControl's. The setters change them there; a run
    // sets them itself, so only tests need these.
    [[nodiscard]] vorn::RunState runState() const { return runs_->state(); }
    void setRunState(vorn::RunState state);
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
    [[nodiscard]] TextProgressBar* progressBar() const { return displays_->progressBar(); }
    [[nodiscard]] QString speedText() const { return displays_->speedText(); }
    [[nodiscard]] QString promptText() const;
    [[nodiscard]] QMenu* notifyMenu() const;
    // Null where the desktop has no notification area.
    [[nodiscard]] QSystemTrayIcon* trayIcon() const;
    // Shows the window again after it was hidden into the tray.
    void RestoreFromTray();
    [[nodiscard]] Tray* tray() const { return tray_; }
    [[nodiscard]] bool toolbarShowsIconFiles() const { return iconFilesUsed_; }
    [[nodiscard]] QToolBar* toolBar() const { return toolBar_; }

    // Availability and check marks of every command, from runState, runProjectName,
    // selectedRow, the list contents and the pane widths. Called on each change of these:
    // a run's state changes reach the window as its reports (started, finished) and as the
    // Pause, Resume and Stop commands, so nothing polls.
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
    // The source folder whose docs/ the Help commands look into last (the build's own by
    // default; tests set another or none).
    void setManualSourceFolder(const QString& folder) { manualSourceFolder_ = folder; }
    void ShowAbout();

    // Transfer displays of the status bar. The run calls BeginRunDisplays when it starts; the
    // timers end the displays themselves once runState is Idle again.
    void BeginRunDisplays(bool scheduledStart, std::time_t runStartTime, const QString& destinationFolder)
    {
        displays_->Begin(runStartTime, destinationFolder);
    }
    void SampleLocalSpeed() { displays_->SampleLocalSpeed(); }
    void UpdateProgressPosition() { displays_->UpdateProgress(); }
    [[nodiscard]] RunDisplays* displays() const { return displays_; }
    [[nodiscard]] float localSpeed() const { return displays_->localSpeed(); }
    [[nodiscard]] std::uint64_t sampledBytes() const { return displays_->sampledBytes(); }
    [[nodiscard]] int localSamplesTaken() const { return displays_->localSamplesTaken(); }

    // Reports of a run, on the GUI thread in the order the run made them (QueuedRunObserver).
    // `startTime` is when the run began on its own thread.
    void OnRunStarted(const QString& name, bool scheduled, std::time_t startTime);
    void OnRunProjectStatus(const QString& name, vorn::ProjectStatus status);
    void OnRunLastBackupTime(const QString& name, const QString& timeText);
    void OnRunFileRow(std::uint64_t runRowId, const QString& time, const QString& path, const QString& size);
    // A Failed row carries its reason (the row's tool tip).
    void OnRunFileRowStatus(std::uint64_t runRowId, vorn::FileStatus status, const QString& reason = {});
    // Why a run failed as a whole: shown in the status bar until the next run starts.
    void OnRunFailed(const QString& name, const QString& reason);
    void OnRunResultText(const QString& text);
    void OnRunFinished(const QString& name, vorn::RunOutcome outcome);
    // The scheduler worked out a project's next backup time again.
    void OnNextBackupTime(const QString& name, const QString& timeText);

    // What status pane 0 shows when no prompt is shown ("Ready" unless set): a lasting notice.
    // `toolTip` tells more about it (empty: none).
    void SetIdleStatusText(const QString& text, const QString& toolTip = {});

    // The display timers of a run (speed text, local speed sample, progress bar position)
    // and the one that creates the progress bar after start-up.
    [[nodiscard]] QTimer* speedTextTimer() const { return displays_->speedTextTimer(); }
    [[nodiscard]] QTimer* localSpeedTimer() const { return displays_->localSpeedTimer(); }
    [[nodiscard]] QTimer* progressTimer() const { return displays_->progressTimer(); }
    [[nodiscard]] QTimer* progressBarTimer() const { return displays_->progressBarTimer(); }

signals:
    // The user confirmed leaving: the application quits.
    void exitConfirmed();
    // A run has ended and its last report is shown.
    void runFinished(const QString& name, vorn::RunOutcome outcome);
    // A file or folder of the running project could not be copied.
    void runItemFailed(const QString& path, const QString& reason);
    // The running project failed as a whole ("Fail").
    void runFailed(const QString& name, const QString& reason);
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
    void PlaceOnScreen();
    void CreateStatusBar();
    void CreatePanes();
    void ApplyToolbarIcons();
    // Hides pane `pane` (0 or 1) of `splitter`, remembering its width, or shows it again.
    void TogglePane(QSplitter* splitter, int pane, int& width, bool& hidden);
    // Pause or Resume took effect: the project's cell and the speed meter follow.
    void ShowPaused(const QString& name, bool paused);
    // The project's "Transfer Status" cell after a run: a failed run carries its reason, a
    // run that left files behind a warning and their count.
    void ShowRunOutcome(const QString& name, vorn::RunOutcome outcome);

    vorn::ProjectDb* db_;
    QString startupFolder_;
    QString manualSourceFolder_;
    Hooks hooks_;
    RunService* runs_;
    bool transferModeActive_ = false;
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

    MainActions actions_;
    QToolBar* toolBar_ = nullptr;
    bool iconFilesUsed_ = false;
    RunDisplays* displays_ = nullptr;
    Tray* tray_ = nullptr;

    // The run's row ids and the status list's, for the rows still waiting for their status.
    std::unordered_map<std::uint64_t, std::int64_t> runRows_;
    std::unordered_map<std::uint64_t, QString> runRowPaths_;
};
