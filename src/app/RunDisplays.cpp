#include "app/RunDisplays.h"

#include "app/SpeedText.h"
#include "common/PathText.h"
#include "engine/RunControl.h"
#include "engine/TransferFigures.h"
#include "gui/TextProgressBar.h"
#include "views/VornStatus.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

namespace {

// The timers of a run only copy figures into the displays; a frame's worth of delay (16 ms)
// shows the same and keeps the GUI thread idle.
constexpr int kDisplayPeriodMs = 16;
constexpr int kLocalSamplePeriodMs = 5000;
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

} // namespace

RunDisplays::RunDisplays(QStatusBar* bar, const vorn::TransferFigures& figures,
    const vorn::RunControl& control, const CVornStatus* statusView)
    : QObject(bar)
    , figures_(figures)
    , control_(control)
    , statusView_(statusView)
{
    speedTextTimer_ = MakeTimer("speedTextTimer", &RunDisplays::OnSpeedTextTimer);
    localSpeedTimer_ = MakeTimer("localSpeedTimer", &RunDisplays::SampleLocalSpeed);
    progressTimer_ = MakeTimer("progressTimer", &RunDisplays::UpdateProgress);
    progressBarTimer_ = MakeTimer("progressBarTimer", &RunDisplays::CreateProgressBar);
    progressBarTimer_->setSingleShot(true);
    progressBarTimer_->start(kProgressBarDelayMs);
    processClock_.start();
    promptPane_ = new StatusPane("statusPrompt", 450, bar);
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

QTimer* RunDisplays::MakeTimer(const char* name, void (RunDisplays::*step)())
{
    auto* timer = new QTimer(this);
    timer->setObjectName(QString::fromLatin1(name));
    connect(timer, &QTimer::timeout, this, step);
    return timer;
}

void RunDisplays::StopTimers()
{
    for (QTimer* timer : { speedTextTimer_, localSpeedTimer_, progressTimer_, progressBarTimer_ })
        timer->stop();
}

bool RunDisplays::running() const
{
    return control_.runState() != vorn::RunState::Idle;
}

void RunDisplays::OnSpeedTextTimer()
{
    if (running()) {
        ShowSpeedText();
        return;
    }
    localSpeedTimer_->stop();
    speedTextTimer_->stop();
    ClearSpeedText();
}

QString RunDisplays::speedText() const
{
    return speedPane_->text();
}

void RunDisplays::CreateProgressBar()
{
    if (progressBar_)
        return;
    progressBar_ = new TextProgressBar(progressPane_);
    progressPane_->layout()->addWidget(progressBar_);
    progressBar_->hide();
    progressBar_->SetRange(0, 100);
    progressBar_->SetBarColor(QColor(62, 178, 226));
}

void RunDisplays::Begin(std::time_t runStartTime, const QString& destinationFolder)
{
    runStartTime_ = runStartTime;
    runDestinationFolder_ = destinationFolder;
    runFirstStatusRow_ = statusView_->model()->NextId();
    meter_.Start(processClock_.elapsed());
    RestartLiveRate();
    CreateProgressBar();
    progressBar_->SetPos(0);
    progressBar_->show();
    localSpeedTimer_->start(kLocalSamplePeriodMs);
    speedTextTimer_->start(kDisplayPeriodMs);
    progressTimer_->start(kDisplayPeriodMs);
}

void RunDisplays::UpdateProgress()
{
    if (!running()) {
        progressTimer_->stop();
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

void RunDisplays::RestartLiveRate()
{
    liveRate_.Start(
        processClock_.elapsed(), figures_.progressInfo.wireBytes.load(), figures_.transferredBytes.load());
}

void RunDisplays::ShowSpeedText()
{
    // The bytes moving now, not the files ended so far: a large file shows its own speed
    // while it comes, and the speed is back as soon as data flows after Resume.
    liveRate_.Observe(
        processClock_.elapsed(), figures_.progressInfo.wireBytes.load(), figures_.transferredBytes.load());
    const double speed = vorn::ChooseDisplaySpeed(
        figures_.runMode.load(), static_cast<float>(liveRate_.bytesPerSecond()), meter_.speed());
    const QString text = QString::fromStdString(vorn::FormatSpeedText(speed));
    if (speedPane_->text() != text)
        speedPane_->setText(text);
}

void RunDisplays::ClearSpeedText()
{
    speedPane_->clear();
}

void RunDisplays::SampleLocalSpeed()
{
    if (sampleInFlight_)
        return;
    // Only this run's rows: files of earlier runs in the same folder are not this run's speed.
    std::set<std::string> names;
    for (const QString& name : statusView_->model()->NamesSince(runFirstStatusRow_))
        names.insert(std::string(vorn::LastPathComponent(name.toStdString(), "/\\")));
    const std::filesystem::path folder(runDestinationFolder_.toStdString());
    const std::time_t since = runStartTime_;
    sampleInFlight_ = true;
    const bool started
        = sampler_.Start([this, folder, names = std::move(names), since](vorn::OffThreadJobs::Job&) {
              const std::uint64_t bytes = vorn::SumRecentFileBytes(folder, names, since);
              return vorn::OffThreadJobs::Continuation([this, bytes] { FinishLocalSample(bytes); });
          });
    if (!started)
        sampleInFlight_ = false;
}

void RunDisplays::FinishLocalSample(std::uint64_t bytes)
{
    sampleInFlight_ = false;
    meter_.Record(bytes, processClock_.elapsed());
    ++localSamplesTaken_;
}

void RunDisplays::PauseMeter()
{
    meter_.Pause();
    RestartLiveRate();
}

void RunDisplays::ResumeMeter()
{
    meter_.Resume(processClock_.elapsed());
    RestartLiveRate();
}
