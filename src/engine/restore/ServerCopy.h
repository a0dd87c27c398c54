#pragma once

#include "engine/ConnectionOps.h"
#include "engine/restore/RestoreRun.h"

#include <string>
#include <vector>

namespace vorn {

// The copy an Ftp->Ftp project keeps on its destination server: `folder` (relative to the
// login folder, as the project stores it) of the server `login`.
struct ServerCopy {
    ServerLogin login;
    std::string folder;
    std::chrono::milliseconds timeout { 0 }; // 0 keeps the session's own time-outs
};

// The files of the copy, listed folder by folder, with the listed sizes and times; an entry
// the listing cannot give as a name comes back with its problem.
[[nodiscard]] Result<std::vector<RestoreItem>> ItemsOnServer(
    const ServerCopy& copy, const RestoreEnvironment& env);

// Downloads the selected `items` into the local target. Each download goes to a temporary
// name and is checked against the listed size before it takes its name.
RestoreTally RestoreFromServer(const ServerCopy& copy, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env);

} // namespace vorn
