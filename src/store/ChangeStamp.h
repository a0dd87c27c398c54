#pragma once

#include <cstdint>
#include <optional>

namespace vorn {

class ProjectDb;

// Tells whether the database may hold other rows than when it was last looked at: a change
// committed by another connection (another process) moves `dataVersion`, one made through
// this connection moves `ownChanges`. Equal stamps mean nothing was written in between.
struct ChangeStamp {
    std::int64_t dataVersion = 0;
    std::int64_t ownChanges = 0;

    bool operator==(const ChangeStamp&) const = default;
};

// The stamp of the database now; nullopt when it cannot be read (no database, or another
// program holds the file locked for longer than the busy time-out).
[[nodiscard]] std::optional<ChangeStamp> ReadChangeStamp(ProjectDb* db);

} // namespace vorn
