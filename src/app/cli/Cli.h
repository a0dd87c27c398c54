#pragma once

#include <iosfwd>

namespace vorn {

// The headless command: `vornbackup-cli [--db PATH] VERB ...`. Returns the exit code.
int RunCli(int argc, char* argv[], std::ostream& out, std::ostream& err);

} // namespace vorn
