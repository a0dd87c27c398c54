#pragma once

#include <QWidget>
#include <array>

class QCheckBox;
class QGroupBox;
class QLabel;
class QRadioButton;
class NumberBox;

namespace vorn {
struct BackupProject;
struct EditorState;
} // namespace vorn

// The "Task Scheduler" page: days of every month, days of every week, or every day (every N
// hours, every N minutes, or at a fixed time).
class FTPScheme : public QWidget {
    Q_OBJECT
public:
    enum class DailyKind { EveryHours, EveryMinutes, FixedTime };

    // Shows the defaults, or the schedule of state.editedProject when state.isModifying.
    explicit FTPScheme(const vorn::EditorState& state, QWidget* parent = nullptr);

    // Writes ftpplanmode and, by the chosen mode, ftpplan (appended: the caller empties it),
    // ftphour, ftpminute and ftpdaymode. A field the chosen mode does not use keeps its value.
    void Collect(vorn::BackupProject& project) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateMonthGroup();
    void CreateWeekGroup();
    void CreateDayGroup();
    void Load(const vorn::BackupProject& project);
    void ChoosePlanMode(int mode);
    void ChooseDailyKind(DailyKind kind);

    QRadioButton* monthRadio_;
    QRadioButton* weekRadio_;
    QRadioButton* dayRadio_;
    QGroupBox* monthGroup_;
    QGroupBox* weekGroup_;
    QGroupBox* dayGroup_;
    std::array<QCheckBox*, 31> monthDays_ {};
    // Monday first: index = code - 1056.
    std::array<QCheckBox*, 7> weekDays_ {};
    NumberBox* monthHour_;
    NumberBox* monthMinute_;
    NumberBox* weekHour_;
    NumberBox* weekMinute_;
    QRadioButton* everyHourRadio_;
    NumberBox* everyHour_;
    QLabel* everyHourLabel_;
    QRadioButton* everyMinuteRadio_;
    NumberBox* everyMinute_;
    QLabel* everyMinuteLabel_;
    QRadioButton* fixedTimeRadio_;
    NumberBox* fixedHour_;
    QLabel* fixedColon_;
    NumberBox* fixedMinute_;
    DailyKind dailyKind_ = DailyKind::EveryHours;
};
