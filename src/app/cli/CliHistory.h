#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>

namespace vorn {

class ProjectDb;

// `vornbackup-cli history NAME`: the project's recorded runs, newest first, one line each:
// start, end, outcome, files copied, files failed, folders failed, bytes. With `failuresOf`
// (1 = the newest run) it prints that run's failed items instead: remote path, reason.
// Returns 0, 1 when the database cannot be read, 2 for an unknown project or a run number
// beyond the recorded runs.
int HistoryVerb(const std::string& name, std::optional<std::size_t> failuresOf, ProjectDb& db,
    std::ostream& out, std::ostream& err);

} // namespace vorn
