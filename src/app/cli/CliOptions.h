#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace vorn {

class ProjectDb;

// `vornbackup-cli options NAME [name=value ...]`: without settings prints the project's
// options as name=value lines; with settings applies all of them or, when one is not
// understood, none. Returns 0 when done, 1 when the database cannot be written, 2 for an
// unknown project or a setting that is refused.
int ProjectOptionsVerb(
    const std::vector<std::string>& args, ProjectDb& db, std::ostream& out, std::ostream& err);

} // namespace vorn
