#pragma once

#include "engine/BackupRun.h"
#include "engine/ConnectionOps.h"
#include "engine/TransferRetry.h"
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
    int retries = 3; // of a transfer or a login that may pass on a later try
};

// The retries of a restore's logins, listings and transfers, the way a run has them
// (TransferRetry: back-off, logging in again, a server given up), with their counts.
class RestoreRetries {
public:
    RestoreRetries(const RestoreEnvironment& env, int retries);
    RestoreRetries(const RestoreRetries&) = delete;
    RestoreRetries& operator=(const RestoreRetries&) = delete;

    [[nodiscard]] TransferRetry& retry() { return retry_; }
    // Connects and logs in `session` to `login` (with the retries of a login), with the
    // time-out `timeout` when it is not 0; the login folder joined with `folder`.
    [[nodiscard]] Result<std::string> Connect(remote::RemoteSession& session, const ServerLogin& login,
        const std::string& folder, std::chrono::milliseconds timeout, const std::string& side = {});
    // Adds the counts to `tally`.
    void AddTo(RestoreTally& tally) const;

private:
    RunEnvironment runEnv_;
    TransferTally counts_;
    TransferRetry retry_;
};

// The files of the copy, listed folder by folder, with the listed sizes and times; an entry
// the listing cannot give as a name comes back with its problem.
[[nodiscard]] Result<std::vector<RestoreItem>> ItemsOnServer(
    const ServerCopy& copy, const RestoreEnvironment& env);

// "YYYY-MM-DD hh:mm" of a listed time ("YYYYMMDDhh:mm"), the form manifests use.
[[nodiscard]] std::string RecordedForm(const std::string& listed);

// Downloads the selected `items` into the local target. Each download goes to a temporary
// name and is checked against the listed size before it takes its name.
RestoreTally RestoreFromServer(const ServerCopy& copy, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env);

} // namespace vorn
