#pragma once

#include <ctime>
#include <string>

namespace vorn {

// Next backup time of a schedule given as the five column texts (plan mode, plan, hour,
// minute, day mode), as local time "%m/%d/%Y %H:%M:%S", or "" when the schedule never fires.
// `now` is the reference time (injected so tests can fix the clock).
[[nodiscard]] std::string ComputeNextBackupTime(const std::string& planMode, const std::string& plan,
    const std::string& hour, const std::string& minute, const std::string& dayMode, std::time_t now);
[[nodiscard]] std::string ComputeNextBackupTime(const std::string& planMode, const std::string& plan,
    const std::string& hour, const std::string& minute, const std::string& dayMode);

// The "Backup Scheme" description of the same five texts.
[[nodiscard]] std::string DescribeSchedule(const std::string& planMode, const std::string& plan,
    const std::string& hour, const std::string& minute, const std::string& dayMode);

// Whether a schedule is due on the local calendar day of `now`: a month-day plan naming that
// day, a weekday plan naming that weekday, or any every-day plan.
[[nodiscard]] bool IsDueOnDay(const std::string& planMode, const std::string& plan, std::time_t now);

} // namespace vorn
