#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace vorn {

class ProjectDb;

// `vornbackup-cli settings [name=value ...]`: without settings prints the database's
// settings as name=value lines; with settings applies all of them or, when one is refused,
// none. keyring=1 and keyring=0 move the passwords into the keyring and back. Returns 0 when
// done, 1 when the database or the keyring cannot be written, 2 for a refused setting.
int SettingsVerb(const std::vector<std::string>& args, ProjectDb& db, std::ostream& out, std::ostream& err);

// `vornbackup-cli settings --test-alert`: sends a test e-mail and hook call and prints what
// became of each. Returns 0 when every delivery went out, else 1.
int TestAlertVerb(ProjectDb& db, std::ostream& out, std::ostream& err);

} // namespace vorn
