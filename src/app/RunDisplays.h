#pragma once

#include "app/LiveByteRate.h"
#include "app/LocalSpeedMeter.h"
#include "gui/OffThreadJobs.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <cstdint>
#include <ctime>

class CVornStatus;
class QFrame;
class QLabel;
class QStatusBar;
class QTimer;
class TextProgressBar;

namespace vorn {
class RunControl;
struct TransferFigures;
} // namespace vorn

// The run displays of the status bar: pane 0 (prompts, else the idle text), the progress bar,
// an empty pane and the speed pane, and the local speed sampled during an Ftp->Local run.
// GUI thread only; the run's worker writes the figures, which the timers here copy into the
// panes while `control` says a run is on. One named timer per purpose, each ending in its
// own step: the speed text, the local speed sample, the progress bar position, and the one
// that creates the progress bar once the status bar has its size.
class RunDisplays : public QObject {
public:
    // Adds the four panes to `bar`. `statusView` names the files of the run being sampled.
    RunDisplays(QStatusBar* bar, const vorn::TransferFigures& figures, const vorn::RunControl& control,
        const CVornStatus* statusView);

    [[nodiscard]] QLabel* promptPane() const { return promptPane_; }
    [[nodiscard]] QString speedText() const;
    [[nodiscard]] TextProgressBar* progressBar() const { return progressBar_; }
    [[nodiscard]] float localSpeed() const { return meter_.speed(); }
    // The speed of the bytes moving now, as the speed text shows it.
    [[nodiscard]] double liveSpeed() const { return liveRate_.bytesPerSecond(); }
    [[nodiscard]] std::uint64_t sampledBytes() const { return meter_.sampledBytes(); }
    [[nodiscard]] int localSamplesTaken() const { return localSamplesTaken_; }

    // The bar is made a moment after the window, once the status bar has its size.
    void CreateProgressBar();
    // A run has started at `runStartTime` (its own clock) writing into `destinationFolder`:
    // the timers run until the run is over.
    void Begin(std::time_t runStartTime, const QString& destinationFolder);
    // The progress bar follows the current file; it goes once the run has ended.
    void UpdateProgress();
    void StopTimers();

    [[nodiscard]] QTimer* speedTextTimer() const { return speedTextTimer_; }
    [[nodiscard]] QTimer* localSpeedTimer() const { return localSpeedTimer_; }
    [[nodiscard]] QTimer* progressTimer() const { return progressTimer_; }
    [[nodiscard]] QTimer* progressBarTimer() const { return progressBarTimer_; }
    void ShowSpeedText();
    void ClearSpeedText();
    // Sums the sizes of this run's files in the destination off the GUI thread; one at a time.
    void SampleLocalSpeed();
    // Paused time does not count in the local speed.
    void PauseMeter();
    void ResumeMeter();

private:
    void FinishLocalSample(std::uint64_t bytes);
    void RestartLiveRate();
    QTimer* MakeTimer(const char* name, void (RunDisplays::*step)());
    void OnSpeedTextTimer();
    [[nodiscard]] bool running() const;

    const vorn::TransferFigures& figures_;
    const vorn::RunControl& control_;
    QTimer* speedTextTimer_ = nullptr;
    QTimer* localSpeedTimer_ = nullptr;
    QTimer* progressTimer_ = nullptr;
    QTimer* progressBarTimer_ = nullptr;
    const CVornStatus* statusView_;
    QLabel* promptPane_ = nullptr;
    QFrame* progressPane_ = nullptr;
    QLabel* emptyPane_ = nullptr;
    QLabel* speedPane_ = nullptr;
    TextProgressBar* progressBar_ = nullptr;

    QElapsedTimer processClock_;
    vorn::LiveByteRate liveRate_;
    vorn::LocalSpeedMeter meter_;
    std::time_t runStartTime_ = 0;
    QString runDestinationFolder_;
    std::int64_t runFirstStatusRow_ = 0;
    bool sampleInFlight_ = false;
    int localSamplesTaken_ = 0;
    // Last, so the sample's thread is joined before the rest goes.
    vorn::OffThreadJobs sampler_ { this };
};
