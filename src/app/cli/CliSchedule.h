#pragma once

#include <chrono>
#include <iosfwd>

namespace vorn {

class ProjectDb;

// `vornbackup-cli schedule`: the desktop window's scheduler as a foreground service. Takes
// the database's scheduler lock (refused: a message and 1), then polls the scheduler once a
// second until SIGINT or SIGTERM; due projects run on the scheduler's worker, their lines
// printed after the project's name. A signal stops the running project, which stores "Stop",
// and the command returns 0 once the run has ended.
int ScheduleVerb(ProjectDb& db, std::ostream& out, std::ostream& err, bool passive,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

} // namespace vorn
