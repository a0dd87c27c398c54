#pragma once

#include "common/Result.h"
#include "engine/BackupRun.h"
#include "engine/ConnectionOps.h"
#include "remote/RemoteSession.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorn {

// Whether a failed transfer's answer may pass on a later try: a lost or reset connection, a
// time-out, a short transfer, and the server's 421, 425, 426, 450 and 451. Refusals (550,
// 553, 530) and local disk errors come again, so they are final.
[[nodiscard]] bool MayPass(const Error& error);

// The back-off before retry `retry` (1 for the first): 1 s, 2 s, 4 s ... at most 30 s.
[[nodiscard]] std::chrono::milliseconds RetryDelay(int retry);

// Tries one transfer again while its failure may pass, up to the project's retries. Before
// each retry it waits (a Stop ends the wait, a Pause holds it) and brings back the sessions
// the transfer uses: a session that no longer answers logs in again with the same login and
// returns to its folder.
class TransferRetry {
public:
    // A session a transfer uses, how it logs in again and the folder it must be in.
    struct Session {
        remote::RemoteSession* ftp = nullptr;
        const ServerLogin* login = nullptr;
        std::string folder; // "" leaves it in the login folder
        std::string side; // "" for the source, "Destination: " for the destination
    };

    TransferRetry(const RunEnvironment& env, int retries, TransferTally& tally);

    // The last try's outcome: a success, a final failure, or the failure the retries did not
    // overcome. A Stop during a wait returns the failure before it (stopRequested then holds).
    Status Run(const std::string& remotePath, const std::function<Status()>& attempt,
        const std::vector<Session>& sessions);

    // Brings `session` back when it no longer answers. Returns "" when it answers (again),
    // else why it could not be brought back.
    std::string Restore(const Session& session);

    // Brings back every session that no longer answers, trying again with the same waits as
    // a transfer when a login fails. Returns "" when all answer, else why one could not be
    // brought back (also when the run was stopped). `what` names the folder in the messages.
    std::string Reconnect(const std::string& what, const std::vector<Session>& sessions);

    [[nodiscard]] int retries() const { return retries_; }

private:
    // The back-off before retry `retry`, told as "`what` in N s: `reason`". False when stopped.
    bool Wait(int retry, const std::string& what, const std::string& reason);
    // Restore for each session; the first reason one could not be brought back, or "".
    std::string RestoreAll(const std::vector<Session>& sessions);

    const RunEnvironment& env_;
    int retries_;
    TransferTally& tally_;
};

} // namespace vorn
