#include "engine/TransferRetry.h"

#include "engine/FailureReason.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"

#include <algorithm>
#include <thread>

namespace vorn {

bool MayPass(const Error& error)
{
    switch (error.kind) {
    case ErrorKind::Closed: // also a transfer that delivered fewer bytes than the file has
    case ErrorKind::Network:
    case ErrorKind::TimedOut:
        return true;
    default:
        break;
    }
    switch (error.replyCode) {
    case 421:
    case 425:
    case 426:
    case 450:
    case 451:
        return true;
    default:
        return false;
    }
}

std::chrono::milliseconds RetryDelay(int retry)
{
    constexpr std::chrono::milliseconds kCap { 30'000 };
    if (retry <= 1)
        return std::chrono::milliseconds { 1000 };
    if (retry > 6)
        return kCap;
    return std::min(kCap, std::chrono::milliseconds { 1000LL << (retry - 1) });
}

TransferRetry::TransferRetry(const RunEnvironment& env, int retries, TransferTally& tally)
    : env_(env)
    , retries_(std::max(0, retries))
    , tally_(tally)
{
}

Status TransferRetry::Run(const std::string& remotePath, const std::function<Status()>& attempt,
    const std::vector<Session>& sessions)
{
    Status reply = attempt();
    for (int retry = 1; !reply && retry <= retries_ && MayPass(reply.error()); ++retry) {
        if (env_.control != nullptr && env_.control->stopRequested())
            return reply;
        // A session the server simply dropped (an idle kick, a drop every N commands) is
        // logged in again at once for the first retry: the new login is the remedy, and a
        // wait per drop would make a long run crawl. A session that still answers waits.
        const auto before = tally_.reconnects;
        std::string lost = retry == 1 ? RestoreAll(sessions) : std::string();
        const bool backAtOnce = retry == 1 && lost.empty() && tally_.reconnects > before;
        if (!backAtOnce) {
            const std::string what
                = "Retry " + std::to_string(retry) + " of " + std::to_string(retries_) + " of " + remotePath;
            if (!Wait(retry, what, lost.empty() ? ReplyReason(reply.error()) : lost))
                return reply;
            lost = RestoreAll(sessions);
        }
        ++tally_.retries;
        reply = lost.empty() ? attempt() : Status(MakeError(ErrorKind::Closed, lost));
    }
    return reply;
}

bool TransferRetry::Wait(int retry, const std::string& what, const std::string& reason)
{
    const std::chrono::milliseconds delay = RetryDelay(retry);
    if (env_.observer != nullptr)
        env_.observer->OnRunNotice(
            NoticeSeverity::Info, {}, what + " in " + std::to_string(delay.count() / 1000) + " s: " + reason);
    if (env_.control == nullptr) {
        std::this_thread::sleep_for(delay);
        return true;
    }
    return env_.control->Wait(delay);
}

std::string TransferRetry::RestoreAll(const std::vector<Session>& sessions)
{
    for (const Session& session : sessions)
        if (std::string lost = Restore(session); !lost.empty())
            return lost;
    return {};
}

std::string TransferRetry::Restore(const Session& session)
{
    const Status probe = session.ftp->KeepAlive();
    if (probe)
        return {};
    if (session.login == nullptr)
        return session.side + ReplyReason(probe.error());
    // Connect drops what is left of the old control connection; the settings of the session
    // (passive mode, time-outs, the transfer hook) stay, and the login's scheme brings the
    // same TLS back.
    // A session left connected but not logged in would pass the next probe: it is closed.
    if (const Status connected = ConnectAndLogin(*session.login, *session.ftp); !connected) {
        session.ftp->Disconnect();
        return session.side + connected.message();
    }
    if (session.folder.empty()) {
        ++tally_.reconnects;
        return {};
    }
    if (const auto entered = session.ftp->ChangeFolder(session.folder); !entered) {
        session.ftp->Disconnect();
        return session.side + ReplyReason(entered.error()) + " (" + session.folder + ")";
    }
    ++tally_.reconnects;
    return {};
}

std::string TransferRetry::Reconnect(const std::string& what, const std::vector<Session>& sessions)
{
    std::string lost = RestoreAll(sessions);
    for (int retry = 1; !lost.empty() && retry <= retries_; ++retry) {
        if (!Wait(retry,
                "Reconnect " + std::to_string(retry) + " of " + std::to_string(retries_) + " for " + what,
                lost))
            return lost;
        lost = RestoreAll(sessions);
    }
    return lost;
}

} // namespace vorn
