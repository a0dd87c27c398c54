#include "app/cli/Cli.h"

#include <ostream>

namespace vorn {

int RunCli(int argc, char* argv[], std::ostream& out, std::ostream& err)
{
    out << "vornbackup-cli: not yet\n";
    return 0;
}

} // namespace vorn
