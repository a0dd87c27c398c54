#pragma once

#include <iosfwd>
#include <string>

namespace vorn {

class ProjectDb;

// `vornbackup-cli trust NAME`: connects to the project's SFTP server(s), shows each host key
// no known-hosts file knows (its type and SHA256 fingerprint) and stores it in the program's
// own known-hosts file once the user answers "yes" on `in` (or at once with `yes`). A changed
// key is never stored: the command names the old and the new fingerprint and fails.
// Returns 0 when every SFTP server of the project has a trusted key afterwards, 1 when one
// has not (refused, changed, unreachable), 2 for an unknown project or one without SFTP.
int TrustVerb(
    const std::string& name, bool yes, ProjectDb& db, std::istream& in, std::ostream& out, std::ostream& err);

} // namespace vorn
