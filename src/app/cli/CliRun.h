#pragma once

#include <chrono>
#include <iosfwd>
#include <string>

namespace vorn {

class ProjectDb;

// `vornbackup-cli run NAME`: runs the stored project on this thread, printing each file's
// line once its status is final and then the result line. SIGINT and SIGTERM stop the run
// as the desktop's Stop command does. A failed file's line carries the reason; why a run
// failed goes to `err`. Returns 0 for "Success" with nothing failed, 3 for "Success" with
// failed files or folders, 1 for "Fail" or a stop, 2 when the project is not in the database.
// `timeout` 0 keeps the client's time-outs. A dry run prints the files a run would copy and
// changes nothing, neither files nor the database.
int RunProjectVerb(const std::string& name, ProjectDb& db, std::ostream& out, std::ostream& err, bool passive,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(0), bool dryRun = false);

} // namespace vorn
