#pragma once

#include "common/Result.h"
#include "engine/BackupRun.h"
#include "engine/ConnectionOps.h"
#include "engine/RetryStreak.h"
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
// returns to its folder. A reply after which the server closed the session may pass too.
// The retries of the run's transfers share a RetryStreak: after a few files in a row used
// up their retries the next get one try each, and a server that can no longer be reached
// fails every later transfer at once with the reason.
class TransferRetry {
public:
    // A session a transfer uses, how it logs in again and the folder it must be in.
    struct Session {
        remote::RemoteSession* ftp = nullptr;
        const ServerLogin* login = nullptr;
        std::string folder; // "" leaves it in the login folder
        std::string side; // "" for the source, "Destination: " for the destination
    };

    // `shared`, when given, is the streak of the run's other retries (a pool's workers share
    // the walk's); it must outlive this object.
    TransferRetry(
        const RunEnvironment& env, int retries, TransferTally& tally, RetryStreak* shared = nullptr);
    TransferRetry(const TransferRetry&) = delete;
    TransferRetry& operator=(const TransferRetry&) = delete;

    // The last try's outcome: a success, a final failure, or the failure the retries did not
    // overcome. A Stop during a wait returns the failure before it (stopRequested then holds).
    // `file` false: a listing, which takes its retries but leaves the streak of files alone.
    Status Run(const std::string& remotePath, const std::function<Status()>& attempt,
        const std::vector<Session>& sessions, bool file = true);

    // Connects and logs in `session`, trying again after the waits of a transfer while the
    // server refuses for now (421 "too many connections") or closes the connection at once.
    Status LogIn(const ServerLogin& login, remote::RemoteSession& session, const std::string& side = {});

    // Brings `session` back when it no longer answers. Returns "" when it answers (again),
    // else why it could not be brought back.
    std::string Restore(const Session& session);

    // Brings back every session that no longer answers, trying again with the same waits as
    // a transfer when a login fails. Returns "" when all answer, else why one could not be
    // brought back (also when the run was stopped). `what` names the folder in the messages.
    std::string Reconnect(const std::string& what, const std::vector<Session>& sessions);

    [[nodiscard]] int retries() const { return retries_; }
    [[nodiscard]] RetryStreak& streak() { return *streak_; }
    // Why the server was given up: every later transfer fails; "" while it was not.
    [[nodiscard]] std::string Lost() const { return streak_->Lost(); }

private:
    // The back-off before retry `retry`, told as "`what` in N s: `reason`". False when stopped.
    bool Wait(int retry, const std::string& what, const std::string& reason);
    Status RestoreSession(const Session& session);
    // RestoreSession for each session; the first failure.
    Status RestoreAll(const std::vector<Session>& sessions);
    Status ReconnectAll(const std::string& what, const std::vector<Session>& sessions);
    // Whether a failed try may pass on a later one.
    bool Passing(const Status& reply, const std::vector<Session>& sessions);
    // Tells the streak how a file ended, and finds out whether the server is lost.
    void Settle(const Status& reply, bool passing, Status lost, const std::string& remotePath,
        const std::vector<Session>& sessions, bool file);

    const RunEnvironment& env_;
    int retries_;
    TransferTally& tally_;
    RetryStreak ownStreak_;
    RetryStreak* streak_;
};

} // namespace vorn
