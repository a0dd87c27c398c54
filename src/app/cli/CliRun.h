#pragma once

#include <iosfwd>
#include <string>

namespace vorn {

class ProjectDb;

// `vornbackup-cli run NAME`: runs the stored project on this thread, printing each file's
// line once its status is final and then the result line. SIGINT and SIGTERM stop the run
// as the desktop's Stop command does. Returns 0 for "Success", 1 for "Fail" or a stop, 2
// when the project is not in the database. A dry run prints the files a run would copy and
// changes nothing, neither files nor the database.
int RunProjectVerb(const std::string& name, ProjectDb& db, std::ostream& out, std::ostream& err, bool passive,
    bool dryRun = false);

} // namespace vorn
