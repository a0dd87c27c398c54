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

namespace {

// Whether a session that could not be brought back ends the run: nobody answers at the
// server's address, the connection ends before a word, or the login is refused. A server
// that refuses for now (421: the run's other sessions fill it) may take it later.
bool GivesUp(const Error& error)
{
    return error.kind != ErrorKind::ServerTransient && error.kind != ErrorKind::Cancelled;
}

// Whether a failed login may pass on a later try: the server refused for now, or ended the
// connection right after accepting it.
bool LoginMayPass(const Error& error)
{
    return error.kind == ErrorKind::ServerTransient || error.kind == ErrorKind::Closed;
}

} // namespace

TransferRetry::TransferRetry(
    const RunEnvironment& env, int retries, TransferTally& tally, RetryStreak* shared)
    : env_(env)
    , retries_(std::max(0, retries))
    , tally_(tally)
    , streak_(shared != nullptr ? shared : &ownStreak_)
{
}

Status TransferRetry::Run(const std::string& remotePath, const std::function<Status()>& attempt,
    const std::vector<Session>& sessions, bool file)
{
    if (const std::string lost = streak_->Lost(); !lost.empty())
        return MakeError(ErrorKind::Closed, lost);
    const int allowed = file ? streak_->Allowed(retries_) : retries_;
    Status reply = attempt();
    bool passing = !reply && Passing(reply, sessions);
    Status lost = Ok();
    for (int retry = 1; passing && retry <= allowed; ++retry) {
        if (env_.control != nullptr && env_.control->stopRequested())
            return reply;
        // A session the server simply dropped (an idle kick, a drop every N commands) is
        // logged in again at once for the first retry: the new login is the remedy, and a
        // wait per drop would make a long run crawl. A session that still answers waits.
        const auto before = tally_.reconnects;
        lost = retry == 1 ? RestoreAll(sessions) : Ok();
        const bool backAtOnce = retry == 1 && lost && tally_.reconnects > before;
        if (!backAtOnce) {
            const std::string what
                = "Retry " + std::to_string(retry) + " of " + std::to_string(retries_) + " of " + remotePath;
            if (!Wait(retry, what, lost ? ReplyReason(reply.error()) : lost.message()))
                return reply;
            lost = RestoreAll(sessions);
        }
        ++tally_.retries;
        reply = lost ? attempt() : Status(MakeError(ErrorKind::Closed, lost.message()));
        passing = !reply && Passing(reply, sessions);
    }
    Settle(reply, passing, std::move(lost), remotePath, sessions, file);
    return reply;
}

bool TransferRetry::Passing(const Status& reply, const std::vector<Session>& sessions)
{
    if (MayPass(reply.error()))
        return true;
    // A server that ends the session after its reply (vsftpd's "500 OOPS: priv_sock_get_int"
    // under load) refused nothing for good: a new login may pass.
    if (reply.error().replyCode < 400 || reply.error().replyCode >= 600)
        return false;
    for (const Session& session : sessions) {
        const Status probe = session.ftp->KeepAlive();
        if (!probe && (probe.error().kind == ErrorKind::Closed || probe.error().kind == ErrorKind::Network))
            return true;
    }
    return false;
}

void TransferRetry::Settle(const Status& reply, bool passing, Status lost, const std::string& remotePath,
    const std::vector<Session>& sessions, bool file)
{
    if (reply) {
        if (file)
            streak_->Succeeded();
        return;
    }
    if (env_.control != nullptr && env_.control->stopRequested())
        return;
    if (!passing) {
        if (file)
            streak_->Refused();
        return;
    }
    // The sessions are brought back now, with the waits of a reconnection, so that the next
    // file meets a session that answers; when they cannot be, the server is given up. With
    // retries=0 nothing is logged in again, as before.
    if (lost && retries_ > 0)
        lost = ReconnectAll(remotePath, sessions);
    if (!lost && GivesUp(lost.error()) && !(env_.control != nullptr && env_.control->stopRequested()))
        streak_->Lose(lost.message());
    if (file && streak_->UsedUp() && env_.observer != nullptr)
        env_.observer->OnRunNotice(NoticeSeverity::Info, {},
            std::to_string(RetryStreak::kFilesBeforeOneTry)
                + " files in a row failed after all their retries; the next files get one try each until one "
                  "is copied.");
}

Status TransferRetry::LogIn(const ServerLogin& login, remote::RemoteSession& ftp, const std::string& side)
{
    Status signedIn = ConnectAndLogin(login, ftp);
    for (int retry = 1; !signedIn && retry <= retries_ && LoginMayPass(signedIn.error()); ++retry) {
        ftp.Disconnect();
        const std::string what = "Login retry " + std::to_string(retry) + " of " + std::to_string(retries_);
        if (!Wait(retry, what, side + signedIn.message()))
            break;
        ++tally_.retries;
        signedIn = ConnectAndLogin(login, ftp);
    }
    return signedIn;
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

Status TransferRetry::RestoreAll(const std::vector<Session>& sessions)
{
    for (const Session& session : sessions)
        if (Status lost = RestoreSession(session); !lost)
            return lost;
    return Ok();
}

std::string TransferRetry::Restore(const Session& session)
{
    const Status restored = RestoreSession(session);
    return restored ? std::string() : restored.message();
}

Status TransferRetry::RestoreSession(const Session& session)
{
    const Status probe = session.ftp->KeepAlive();
    if (probe)
        return Ok();
    if (session.login == nullptr)
        return MakeError(
            probe.error().kind, session.side + ReplyReason(probe.error()), probe.error().replyCode);
    // Connect drops what is left of the old control connection; the settings of the session
    // (passive mode, time-outs, the transfer hook) stay, and the login's scheme brings the
    // same TLS back.
    // A session left connected but not logged in would pass the next probe: it is closed.
    if (const Status signedIn = ConnectAndLogin(*session.login, *session.ftp); !signedIn) {
        session.ftp->Disconnect();
        return MakeError(
            signedIn.error().kind, session.side + signedIn.message(), signedIn.error().replyCode);
    }
    if (!session.folder.empty()) {
        if (const auto entered = session.ftp->ChangeFolder(session.folder); !entered) {
            session.ftp->Disconnect();
            return MakeError(entered.error().kind,
                session.side + ReplyReason(entered.error()) + " (" + session.folder + ")",
                entered.error().replyCode);
        }
    }
    ++tally_.reconnects;
    return Ok();
}

std::string TransferRetry::Reconnect(const std::string& what, const std::vector<Session>& sessions)
{
    const Status restored = ReconnectAll(what, sessions);
    return restored ? std::string() : restored.message();
}

Status TransferRetry::ReconnectAll(const std::string& what, const std::vector<Session>& sessions)
{
    Status lost = RestoreAll(sessions);
    for (int retry = 1; !lost && retry <= retries_; ++retry) {
        if (!Wait(retry,
                "Reconnect " + std::to_string(retry) + " of " + std::to_string(retries_) + " for " + what,
                lost.message()))
            return lost;
        lost = RestoreAll(sessions);
    }
    return lost;
}

} // namespace vorn
