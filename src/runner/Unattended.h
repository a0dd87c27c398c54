#pragma once

#include "notify/Alert.h"
#include "store/ProjectDb.h"

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace vorn {

class ProjectDb;

// Receives a line about a project the user should know of (an alert that could not be sent).
using UnattendedNotice = std::function<void(const std::string& project, const std::string& text)>;

// The latest scheduled time of `schedule` in (after, until], or 0 when there is none.
[[nodiscard]] std::time_t LastFireTimeBetween(
    const ScheduleTexts& schedule, std::time_t after, std::time_t until);

// Records, for every scheduled project whose schedule fired between `lastAlive` (when a
// scheduler last ran) and `now` without a run, one "Missed" run in its history, and sends
// the alert its options ask for. Returns the projects with catch-up=1 among them.
[[nodiscard]] std::vector<std::string> RecordMissedRuns(ProjectDb* db, std::time_t lastAlive, std::time_t now,
    const DeliveryPolicy& policy, const UnattendedNotice& notice);

// Sends the stale alert of every project with alert-after-days=N whose newest successful
// run is N or more days old: once, and again after each further N days.
void CheckStaleProjects(
    ProjectDb* db, std::time_t now, const DeliveryPolicy& policy, const UnattendedNotice& notice);

// The scheduler's upkeep over `db`: on the first call the missed runs since the scheduler
// last ran, then the note that one runs now and the stale check. Returns the projects to
// catch up.
[[nodiscard]] std::vector<std::string> SchedulerHousekeeping(
    ProjectDb* db, std::time_t now, bool first, const DeliveryPolicy& policy, const UnattendedNotice& notice);

} // namespace vorn
