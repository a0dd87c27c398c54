#pragma once

#include "engine/ConnectionOps.h"
#include "engine/restore/RestoreRun.h"

#include <chrono>
#include <string>
#include <vector>

namespace vorn {

struct RestoreSource;

// A folder on a server that a restore uploads into: the project's source server, its own
// folder or another (relative to the login folder, as projects store folders).
struct ServerTarget {
    ServerLogin login;
    std::string folder;
    std::chrono::milliseconds timeout { 0 }; // 0 keeps the session's own time-outs
    int retries = 3; // of a transfer or a login that may pass on a later try
};

// Restores the selected `items` of `source` onto the server. Files of a local copy are read
// where they are; those of archives are first restored into a private folder beside the
// archives and checked there; those of a server-to-server copy are relayed from the
// destination server. Each upload goes to a temporary name and is renamed over the
// target only once the server has all of it, so a cut upload never replaces a file on the
// server. `request.target` is not used; `overwrite` compares with the server's listing.
RestoreTally RestoreToServer(const RestoreSource& source, const std::vector<RestoreItem>& items,
    const ServerTarget& server, const RestoreRequest& request, const RestoreEnvironment& env);

} // namespace vorn
