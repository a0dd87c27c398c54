#include "store/ChangeStamp.h"

#include "common/DecimalText.h"
#include "store/ProjectDb.h"
#include "store/Statement.h"

#include <sqlite3.h>

namespace vorn {

std::optional<ChangeStamp> ReadChangeStamp(ProjectDb* db)
{
    if (!db)
        return std::nullopt;
    // data_version is per connection and moves only for commits of other connections; the
    // connection's own writes are counted by total_changes.
    Statement version(db->handle(), "PRAGMA data_version");
    if (!version.NextRow())
        return std::nullopt;
    ChangeStamp stamp;
    stamp.dataVersion = ParseDecimal(version.Text(0));
    stamp.ownChanges = sqlite3_total_changes64(db->handle());
    return stamp;
}

} // namespace vorn
