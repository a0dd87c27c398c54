#include "schedule/DuePlan.h"

#include "common/DecimalText.h"
#include "schedule/Schedule.h"

#include <limits>

namespace vorn {

namespace {

std::int32_t Clamp32(std::int64_t value)
{
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return std::int32_t(value);
}

} // namespace

bool IsIntervalPlan(const DuePlan& plan)
{
    return plan.planMode == 3 && (plan.dayMode == 1 || plan.dayMode == 2);
}

bool IsOneShotPlan(const DuePlan& plan)
{
    return plan.planMode == 1 || plan.planMode == 2 || (plan.planMode == 3 && plan.dayMode == 3);
}

void LoadDuePlans(const std::vector<PlanRow>& rows, std::time_t now, std::vector<DuePlan>& duePlans)
{
    duePlans.clear();
    for (const PlanRow& row : rows) {
        const ScheduleTexts& s = row.schedule;
        if (!IsDueOnDay(s.planMode, s.plan, now))
            continue;
        DuePlan plan;
        plan.name = row.name;
        plan.planMode = ParseDecimal32(s.planMode);
        plan.hour = ParseDecimal32(s.hour);
        plan.minute = ParseDecimal32(s.minute);
        plan.dayMode = ParseDecimal32(s.dayMode);
        duePlans.push_back(std::move(plan));
    }
}

void AdvanceNextTime(DuePlan& plan)
{
    // 64-bit sums: the interval comes from a text column and may hold any 32-bit value.
    std::int64_t second = std::int64_t(plan.nextSecond) + plan.intervalSeconds;
    std::int64_t minute = plan.nextMinute;
    std::int64_t hour = plan.nextHour;
    if (second >= 60) {
        second %= 60;
        ++minute;
    }
    minute += plan.dayMode == 2 ? plan.minute : 0;
    if (minute >= 60) {
        minute %= 60;
        ++hour;
    }
    hour = (hour + (plan.dayMode == 1 ? plan.hour : 0)) % 24;
    plan.nextSecond = Clamp32(second);
    plan.nextMinute = Clamp32(minute);
    plan.nextHour = Clamp32(hour);
}

} // namespace vorn
