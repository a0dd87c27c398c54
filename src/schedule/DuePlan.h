#pragma once

#include "store/ProjectDb.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace vorn {

// One project due today, as the scheduler tracks it between two reloads.
struct DuePlan {
    std::string name;
    std::int32_t planMode = 0;
    std::int32_t hour = 0;
    std::int32_t minute = 0;
    std::int32_t dayMode = 0;
    std::int32_t intervalSeconds = 0;
    // One-shot plan: already started since the load. Interval plan: its next time is set.
    bool handled = false;
    // Next start of an interval plan, as a time of day.
    std::int32_t nextHour = 0;
    std::int32_t nextMinute = 0;
    std::int32_t nextSecond = 0;

    bool operator==(const DuePlan&) const = default;
};

// Every N hours (day mode 1) or every N minutes (day mode 2) of an every-day plan.
[[nodiscard]] bool IsIntervalPlan(const DuePlan& plan);

// Month-day and weekday plans, and every-day plans at a fixed time (day mode 3).
[[nodiscard]] bool IsOneShotPlan(const DuePlan& plan);

// Empties `duePlans`, then appends, in row order, every row due on the local day of `now`.
void LoadDuePlans(const std::vector<PlanRow>& rows, std::time_t now, std::vector<DuePlan>& duePlans);

// Moves an interval plan's next time of day on by its interval: seconds first, then minutes
// (a sum of 60 or more keeps its remainder and carries exactly one hour), then hours modulo 24.
void AdvanceNextTime(DuePlan& plan);

} // namespace vorn
