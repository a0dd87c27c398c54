#include "app/cli/CliHistory.h"

#include "app/cli/FieldText.h"
#include "common/OutcomeText.h"
#include "common/TimeText.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"

#include <ostream>
#include <vector>

namespace vorn {

namespace {

constexpr const char* kTimeFormat = "%m/%d/%Y %H:%M:%S";

void PrintFields(std::ostream& out, const std::vector<std::string>& fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += '\t';
        line += EscapeField(fields[i]);
    }
    out << line << '\n';
}

} // namespace

int HistoryVerb(const std::string& name, std::optional<std::size_t> failuresOf, ProjectDb& db,
    std::ostream& out, std::ostream& err)
{
    const auto ftpid = FindProjectId(&db, name);
    if (!ftpid) {
        err << "vornbackup-cli: no project named \"" << name << "\"\n";
        return 2;
    }
    std::string error;
    const std::vector<RunRecord> runs = QueryRuns(&db, *ftpid, &error);
    if (!error.empty()) {
        err << "vornbackup-cli: cannot read the run history of \"" << name << "\": " << error << "\n";
        return 1;
    }
    if (!failuresOf) {
        for (const RunRecord& run : runs)
            PrintFields(out,
                { FormatLocalTime(run.start, kTimeFormat), FormatLocalTime(run.end, kTimeFormat),
                    OutcomeText(run.outcome, run.filesFailed, run.foldersFailed),
                    std::to_string(run.filesCopied), std::to_string(run.filesFailed),
                    std::to_string(run.foldersFailed), std::to_string(run.bytes), std::to_string(run.retries),
                    std::to_string(run.reconnects), run.kind });
        out.flush();
        return out ? 0 : 1;
    }
    if (*failuresOf == 0 || *failuresOf > runs.size()) {
        err << "vornbackup-cli: \"" << name << "\" has " << runs.size()
            << " recorded run(s); there is no run " << *failuresOf << "\n";
        return 2;
    }
    const auto items = QueryFailedItems(&db, runs[*failuresOf - 1].id, &error);
    if (!error.empty()) {
        err << "vornbackup-cli: cannot read the run history of \"" << name << "\": " << error << "\n";
        return 1;
    }
    for (const FailedItem& item : items)
        PrintFields(out, { item.remotePath, item.reason });
    out.flush();
    return out ? 0 : 1;
}

} // namespace vorn
