#include "app/cli/CliOptions.h"

#include "store/ProjectDb.h"
#include "store/ProjectOptions.h"

#include <ostream>

namespace vorn {

int ProjectOptionsVerb(
    const std::vector<std::string>& args, ProjectDb& db, std::ostream& out, std::ostream& err)
{
    const std::string& name = args.front();
    ProjectOptions options;
    if (!LoadProjectOptions(&db, name, options)) {
        err << "vornbackup-cli: no project named \"" << name << "\"\n";
        return 2;
    }
    if (args.size() == 1) {
        for (const std::string& line : FormatProjectOptions(options))
            out << line << '\n';
        out.flush();
        return out ? 0 : 1;
    }
    // Every setting is checked before anything is stored: all of them or none.
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (const std::string problem = ApplyOptionSetting(args[i], options); !problem.empty()) {
            err << "vornbackup-cli: " << problem << "; nothing was changed\n";
            return 2;
        }
    }
    if (!SaveProjectOptions(&db, name, options)) {
        err << "vornbackup-cli: the options of \"" << name << "\" could not be stored in \"" << db.path()
            << "\"\n";
        return 1;
    }
    return 0;
}

} // namespace vorn
