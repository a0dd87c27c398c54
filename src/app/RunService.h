#pragma once

#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"

#include <QObject>
#include <QString>

// The run the window shows, owned apart from any widget: its RunControl (state, Pause,
// Resume, Stop), its TransferFigures, and what its reports have said so far (why it failed,
// how many files and folders it could not copy). The window, the tray and the desktop runs
// hold a pointer; the window follows it through stateChanged instead of asking it over and
// over. GUI thread only, except control() and figures(), which the run's workers use.
class RunService : public QObject {
    Q_OBJECT
public:
    explicit RunService(QObject* parent = nullptr);

    [[nodiscard]] vorn::RunControl& control() { return control_; }
    [[nodiscard]] vorn::TransferFigures& figures() { return figures_; }
    [[nodiscard]] vorn::RunState state() const { return control_.runState(); }
    [[nodiscard]] QString projectName() const { return QString::fromStdString(control_.runProjectName()); }

    // Pause when running, Resume when paused; false when there is no run or it ended in the
    // meantime. Tells runPaused and stateChanged.
    bool TogglePause();
    // Asks the run to stop (a paused run is woken to do so); it ends within about a second.
    void Stop();

    // The run's reports, as the window receives them: counted here, so the outcome can say
    // what the run left behind.
    void NoteRunStarted();
    void NoteItemFailed(bool folder);
    void NoteRunFailed(const QString& reason);
    void NoteRunFinished();

    [[nodiscard]] const QString& failReason() const { return failReason_; }
    // Why the run that ended with `outcome` failed: in its own words, else what is known.
    [[nodiscard]] QString FailureText(vorn::RunOutcome outcome) const;
    [[nodiscard]] int failedItems() const { return failedFiles_ + failedFolders_; }
    // "2 file(s) failed, 1 folder(s) failed"; empty when nothing failed.
    [[nodiscard]] QString FailedItemsText() const;

signals:
    // The run began, ended, paused, resumed or was asked to stop.
    void stateChanged();
    // Pause (true) or Resume (false) took effect for the run of `name`.
    void runPaused(const QString& name, bool paused);

private:
    vorn::RunControl control_;
    vorn::TransferFigures figures_;
    QString failReason_;
    int failedFiles_ = 0;
    int failedFolders_ = 0;
};
