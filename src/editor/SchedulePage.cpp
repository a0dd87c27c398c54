#include "editor/SchedulePage.h"

#include "editor/EditorState.h"
#include "editor/EditorWidgets.h"
#include "gui/NumberBox.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

constexpr int kFirstMonthDayCode = 1021; // day 1; day d is 1020 + d
constexpr int kMondayCode = 1056; // Monday ... Sunday = 1056 ... 1062

NumberBox* MakeBox(QWidget* parent, const QString& objectName, int maximum, const char* text)
{
    auto* box = new NumberBox(maximum, parent);
    box->setObjectName(objectName);
    box->setText(text);
    return box;
}

QHBoxLayout* StartTimeRow(QWidget* parent, NumberBox* hour, NumberBox* minute)
{
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel("Start Time:", parent));
    row->addWidget(hour);
    row->addWidget(new QLabel(":", parent));
    row->addWidget(minute);
    row->addStretch(1);
    return row;
}

QString Decimal(int value)
{
    return QString::asprintf("%d", value);
}

} // namespace

FTPScheme::FTPScheme(const vorn::EditorState& state, QWidget* parent)
    : QWidget(parent)
{
    setObjectName("taskSchedulerPage");

    monthRadio_ = new QRadioButton("Month", this);
    monthRadio_->setObjectName("monthRadio");
    weekRadio_ = new QRadioButton("Week", this);
    weekRadio_->setObjectName("weekRadio");
    dayRadio_ = new QRadioButton("Day", this);
    dayRadio_->setObjectName("dayRadio");
    auto* planGroup = new QButtonGroup(this);
    planGroup->addButton(monthRadio_, 1);
    planGroup->addButton(weekRadio_, 2);
    planGroup->addButton(dayRadio_, 3);
    CreateMonthGroup();
    CreateWeekGroup();
    CreateDayGroup();

    auto* layout = new QGridLayout(this);
    layout->addWidget(monthRadio_, 0, 0, Qt::AlignTop);
    layout->addWidget(monthGroup_, 0, 1);
    layout->addWidget(weekRadio_, 1, 0, Qt::AlignTop);
    layout->addWidget(weekGroup_, 1, 1);
    layout->addWidget(dayRadio_, 2, 0, Qt::AlignTop);
    layout->addWidget(dayGroup_, 2, 1);
    layout->setColumnStretch(1, 1);
    layout->setRowStretch(3, 1);

    monthRadio_->setChecked(true);
    everyHourRadio_->setChecked(true);
    ChooseDailyKind(DailyKind::EveryHours);
    ChoosePlanMode(1);
    if (state.isModifying)
        Load(state.editedProject);

    connect(monthRadio_, &QRadioButton::clicked, this, [this] { ChoosePlanMode(1); });
    connect(weekRadio_, &QRadioButton::clicked, this, [this] { ChoosePlanMode(2); });
    connect(dayRadio_, &QRadioButton::clicked, this, [this] { ChoosePlanMode(3); });
    connect(
        everyHourRadio_, &QRadioButton::clicked, this, [this] { ChooseDailyKind(DailyKind::EveryHours); });
    connect(everyMinuteRadio_, &QRadioButton::clicked, this,
        [this] { ChooseDailyKind(DailyKind::EveryMinutes); });
    connect(fixedTimeRadio_, &QRadioButton::clicked, this, [this] { ChooseDailyKind(DailyKind::FixedTime); });
}

void FTPScheme::CreateMonthGroup()
{
    // Month: 31 day boxes in rows of ten, then the start time.
    monthGroup_ = new QGroupBox(this);
    monthGroup_->setObjectName("monthGroup");
    auto* dayGrid = new QGridLayout;
    for (int day = 1; day <= 31; ++day) {
        auto* box
            = new QCheckBox(day < 10 ? QStringLiteral(" %1").arg(day) : QString::number(day), monthGroup_);
        box->setObjectName(QStringLiteral("monthDay%1").arg(day));
        dayGrid->addWidget(box, (day - 1) / 10, (day - 1) % 10);
        monthDays_[day - 1] = box;
    }
    monthHour_ = MakeBox(monthGroup_, "monthHourBox", 23, "8");
    monthMinute_ = MakeBox(monthGroup_, "monthMinuteBox", 59, "30");
    auto* monthLayout = new QVBoxLayout(monthGroup_);
    monthLayout->addLayout(dayGrid);
    monthLayout->addLayout(StartTimeRow(monthGroup_, monthHour_, monthMinute_));
}

void FTPScheme::CreateWeekGroup()
{
    // Week: shown Sunday first, as the calendar on the wall.
    weekGroup_ = new QGroupBox(this);
    weekGroup_->setObjectName("weekGroup");
    auto* weekRow = new QHBoxLayout;
    const struct {
        const char* caption;
        int code;
    } weekdays[] = { { "Sun", 1062 }, { "Mon", 1056 }, { "Tus", 1057 }, { "Wed", 1058 }, { "Thu", 1059 },
        { "Fri", 1060 }, { "Sat", 1061 } };
    for (const auto& weekday : weekdays) {
        auto* box = new QCheckBox(weekday.caption, weekGroup_);
        box->setObjectName(QStringLiteral("weekDay%1").arg(weekday.code));
        weekRow->addWidget(box);
        weekDays_[weekday.code - kMondayCode] = box;
    }
    weekRow->addStretch(1);
    weekHour_ = MakeBox(weekGroup_, "weekHourBox", 23, "8");
    weekMinute_ = MakeBox(weekGroup_, "weekMinuteBox", 59, "30");
    auto* weekLayout = new QVBoxLayout(weekGroup_);
    weekLayout->addLayout(weekRow);
    weekLayout->addLayout(StartTimeRow(weekGroup_, weekHour_, weekMinute_));
}

void FTPScheme::CreateDayGroup()
{
    // Day: every N hours, every N minutes, or at a fixed time.
    dayGroup_ = new QGroupBox(this);
    dayGroup_->setObjectName("dayGroup");
    everyHourRadio_ = new QRadioButton("Every", dayGroup_);
    everyHourRadio_->setObjectName("everyHourRadio");
    everyHour_ = MakeBox(dayGroup_, "everyHourBox", 23, "8");
    everyHourLabel_ = new QLabel("Hour", dayGroup_);
    everyMinuteRadio_ = new QRadioButton("Every", dayGroup_);
    everyMinuteRadio_->setObjectName("everyMinuteRadio");
    everyMinute_ = MakeBox(dayGroup_, "everyMinuteBox", 59, "30");
    everyMinuteLabel_ = new QLabel("Minute", dayGroup_);
    fixedTimeRadio_ = new QRadioButton("Fixed Time", dayGroup_);
    fixedTimeRadio_->setObjectName("fixedTimeRadio");
    fixedHour_ = MakeBox(dayGroup_, "fixedHourBox", 23, "8");
    fixedColon_ = new QLabel(":", dayGroup_);
    fixedMinute_ = MakeBox(dayGroup_, "fixedMinuteBox", 59, "30");
    auto* dailyGroup = new QButtonGroup(this);
    dailyGroup->addButton(everyHourRadio_);
    dailyGroup->addButton(everyMinuteRadio_);
    dailyGroup->addButton(fixedTimeRadio_);
    auto* dayGrid2 = new QGridLayout(dayGroup_);
    dayGrid2->addWidget(everyHourRadio_, 0, 0);
    dayGrid2->addWidget(everyHour_, 0, 1);
    dayGrid2->addWidget(everyHourLabel_, 0, 2);
    dayGrid2->addWidget(everyMinuteRadio_, 1, 0);
    dayGrid2->addWidget(everyMinute_, 1, 1);
    dayGrid2->addWidget(everyMinuteLabel_, 1, 2);
    auto* fixedRow = new QHBoxLayout;
    fixedRow->addWidget(fixedHour_);
    fixedRow->addWidget(fixedColon_);
    fixedRow->addWidget(fixedMinute_);
    fixedRow->addStretch(1);
    dayGrid2->addWidget(fixedTimeRadio_, 2, 0);
    dayGrid2->addLayout(fixedRow, 2, 1, 1, 3);
    dayGrid2->setColumnStretch(3, 1);
}

void FTPScheme::Load(const vorn::BackupProject& project)
{
    switch (project.ftpplanmode) {
    case 1:
        for (const int code : project.ftpplan) {
            if (code >= kFirstMonthDayCode && code < kFirstMonthDayCode + 31)
                monthDays_[code - kFirstMonthDayCode]->setChecked(true);
        }
        monthHour_->setText(Decimal(project.ftphour));
        monthMinute_->setText(Decimal(project.ftpminute));
        monthRadio_->setChecked(true);
        ChoosePlanMode(1);
        break;
    case 2:
        for (const int code : project.ftpplan) {
            if (code >= kMondayCode && code < kMondayCode + 7)
                weekDays_[code - kMondayCode]->setChecked(true);
        }
        weekHour_->setText(Decimal(project.ftphour));
        weekMinute_->setText(Decimal(project.ftpminute));
        weekRadio_->setChecked(true);
        ChoosePlanMode(2);
        break;
    case 3: {
        DailyKind kind = DailyKind::EveryHours;
        if (project.ftpdaymode == 1) {
            everyHour_->setText(Decimal(project.ftphour));
        } else if (project.ftpdaymode == 2) {
            everyMinute_->setText(Decimal(project.ftpminute));
            kind = DailyKind::EveryMinutes;
        } else if (project.ftpdaymode == 3) {
            fixedHour_->setText(Decimal(project.ftphour));
            fixedMinute_->setText(Decimal(project.ftpminute));
            kind = DailyKind::FixedTime;
        }
        everyHourRadio_->setChecked(kind == DailyKind::EveryHours);
        everyMinuteRadio_->setChecked(kind == DailyKind::EveryMinutes);
        fixedTimeRadio_->setChecked(kind == DailyKind::FixedTime);
        ChooseDailyKind(kind);
        dayRadio_->setChecked(true);
        ChoosePlanMode(3);
        break;
    }
    default:
        monthRadio_->setChecked(true);
        break;
    }
}

void FTPScheme::Collect(vorn::BackupProject& project) const
{
    if (monthRadio_->isChecked()) {
        project.ftpplanmode = 1;
        for (int day = 1; day <= 31; ++day) {
            if (monthDays_[day - 1]->isChecked())
                project.ftpplan.push_back(kFirstMonthDayCode + day - 1);
        }
        project.ftphour = monthHour_->number();
        project.ftpminute = monthMinute_->number();
    } else if (weekRadio_->isChecked()) {
        project.ftpplanmode = 2;
        for (int i = 0; i < 7; ++i) {
            if (weekDays_[i]->isChecked())
                project.ftpplan.push_back(kMondayCode + i);
        }
        project.ftphour = weekHour_->number();
        project.ftpminute = weekMinute_->number();
    } else if (dayRadio_->isChecked()) {
        project.ftpplanmode = 3;
        if (everyHourRadio_->isChecked()) {
            project.ftpdaymode = 1;
            project.ftphour = everyHour_->number();
        } else if (everyMinuteRadio_->isChecked()) {
            project.ftpdaymode = 2;
            project.ftpminute = everyMinute_->number();
        } else if (fixedTimeRadio_->isChecked()) {
            project.ftpdaymode = 3;
            project.ftphour = fixedHour_->number();
            project.ftpminute = fixedMinute_->number();
        }
    }
}

void FTPScheme::ChoosePlanMode(int mode)
{
    monthGroup_->setEnabled(mode == 1);
    weekGroup_->setEnabled(mode == 2);
    dayGroup_->setEnabled(mode == 3);
    if (mode == 3)
        ChooseDailyKind(dailyKind_);
}

void FTPScheme::ChooseDailyKind(DailyKind kind)
{
    dailyKind_ = kind;
    everyHour_->setEnabled(kind == DailyKind::EveryHours);
    everyHourLabel_->setEnabled(kind == DailyKind::EveryHours);
    everyMinute_->setEnabled(kind == DailyKind::EveryMinutes);
    everyMinuteLabel_->setEnabled(kind == DailyKind::EveryMinutes);
    fixedHour_->setEnabled(kind == DailyKind::FixedTime);
    fixedColon_->setEnabled(kind == DailyKind::FixedTime);
    fixedMinute_->setEnabled(kind == DailyKind::FixedTime);
}

void FTPScheme::keyPressEvent(QKeyEvent* event)
{
    if (vorn::editor::IsEnterOrEscape(event)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
