#include "engine/restore/ServerCopy.h"

#include "engine/FailureReason.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

namespace vorn {

namespace {

constexpr std::size_t kMaxDepth = 100;

// A session logged in to the copy's server, with its root folder; Stop cancels its waits.
struct Session {
    std::unique_ptr<remote::RemoteSession> ftp;
    std::string root;
};

// Makes the session of `copy`'s server, so that Stop can cancel it before it connects.
Status MakeFor(const ServerCopy& copy, Session& session)
{
    auto made = MakeSessionFor(copy.login);
    if (!made)
        return made.error();
    session.ftp = std::move(*made);
    return Ok();
}

Status ListBelow(Session& session, const ServerCopy& copy, RestoreRetries& retries,
    const std::string& relative, std::size_t depth, std::vector<RestoreItem>& items,
    const RestoreEnvironment& env)
{
    if (env.control != nullptr && env.control->stopRequested())
        return MakeError(ErrorKind::Cancelled, "Stopped");
    const std::string folder = relative.empty() ? session.root : JoinLoginFolder(session.root, relative);
    Result<std::vector<remote::Entry>> listing = std::vector<remote::Entry> {};
    const Status listed = retries.retry().Run(
        folder,
        [&] {
            listing = session.ftp->List(folder);
            return listing ? Ok() : Status(listing.error());
        },
        { { session.ftp.get(), &copy.login, {}, {} } }, false);
    if (!listed)
        return MakeError(listed.error().kind,
            "The folder " + folder + " cannot be listed: " + listed.message(), listed.error().replyCode);
    for (const remote::Entry& entry : *listing) {
        const std::string path = relative.empty() ? entry.name : relative + "/" + entry.name;
        if (!entry.unusable.empty()) {
            items.push_back({ path, 0, {}, 0, 0, entry.unusable });
        } else if (entry.IsFile()) {
            items.push_back({ path, std::uint64_t(std::strtoull(entry.size.c_str(), nullptr, 10)),
                RecordedForm(entry.time), 0, 0, {} });
        } else if (depth >= kMaxDepth) {
            items.push_back({ path + "/", 0, {}, 0, 0, "The folder lies too deep to be restored." });
        } else if (Status below = ListBelow(session, copy, retries, path, depth + 1, items, env); !below) {
            return below;
        }
    }
    return Ok();
}

// Downloads one file of the copy into its place in the target, tried again as a run would.
Status DownloadOne(Session& session, const ServerCopy& copy, RestoreRetries& retries, const RestoreItem& item,
    const LocalTarget::Place& place, const RestoreEnvironment& env)
{
    remote::TranslateInfo progress;
    const std::string remotePath = JoinLoginFolder(session.root, item.path);
    const Status got = retries.retry().Run(remotePath,
        [&] {
            progress.Reset();
            const auto reply = session.ftp->DownloadInto(
                place.folder.fd(), place.folderText, remotePath, std::int64_t(item.size), progress);
            if (env.figures != nullptr)
                env.figures->progressInfo.bytes += progress.bytes;
            return reply ? Ok() : Status(reply.error());
        },
        { { session.ftp.get(), &copy.login, {}, {} } });
    if (!got)
        return got;
    return LocalTarget::SetTime(place.folder.fd(), place.name, ManifestSeconds(item.time));
}

} // namespace

RestoreRetries::RestoreRetries(const RestoreEnvironment& env, int retries)
    : runEnv_ { nullptr, env.observer, env.control, env.figures }
    , retry_(runEnv_, retries, counts_)
{
}

Result<std::string> RestoreRetries::Connect(remote::RemoteSession& session, const ServerLogin& login,
    const std::string& folder, std::chrono::milliseconds timeout, const std::string& side)
{
    if (timeout.count() > 0) {
        session.SetConnectTimeout(timeout);
        session.SetInactivityTimeout(timeout);
    }
    if (Status logged = retry_.LogIn(login, session, side); !logged)
        return MakeError(logged.error().kind, side + logged.message(), logged.error().replyCode);
    const auto current = session.CurrentFolder();
    if (!current)
        return MakeError(
            ErrorKind::Protocol, side + "The server did not tell its login folder: " + current.message());
    return JoinLoginFolder(*current, folder);
}

void RestoreRetries::AddTo(RestoreTally& tally) const
{
    tally.retries += counts_.retries;
    tally.reconnects += counts_.reconnects;
}

std::string RecordedForm(const std::string& listed)
{
    if (listed.size() < 8)
        return {};
    std::string text = listed.substr(0, 4) + "-" + listed.substr(4, 2) + "-" + listed.substr(6, 2);
    if (listed.size() >= 13)
        text += " " + listed.substr(8, 5);
    return text;
}

Result<std::vector<RestoreItem>> ItemsOnServer(const ServerCopy& copy, const RestoreEnvironment& env)
{
    Session session;
    if (Status made = MakeFor(copy, session); !made)
        return made.error();
    CancelRegistration cancel(env.control, [&session] { session.ftp->Cancel(); });
    RestoreRetries retries(env, copy.retries);
    Result<std::string> root = retries.Connect(*session.ftp, copy.login, copy.folder, copy.timeout);
    if (!root)
        return root.error();
    session.root = *root;
    std::vector<RestoreItem> items;
    if (Status listed = ListBelow(session, copy, retries, "", 0, items, env); !listed)
        return listed.error();
    session.ftp->Disconnect();
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return items;
}

RestoreTally RestoreFromServer(const ServerCopy& copy, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env)
{
    RestoreRetries retries(env, copy.retries);
    RestoreTally tally = RestoreEach(items, request, env,
        [&](const std::vector<const RestoreItem*>& chosen, const LocalTarget& target,
            const FileReport& report) {
            Session session;
            if (Status made = MakeFor(copy, session); !made)
                return made;
            CancelRegistration cancel(env.control, [&session] { session.ftp->Cancel(); });
            if (env.control != nullptr)
                session.ftp->SetTransferHook([&env] { return !env.control->stopRequested(); });
            Result<std::string> root = retries.Connect(*session.ftp, copy.login, copy.folder, copy.timeout);
            if (!root)
                return Status(root.error());
            session.root = *root;
            for (const RestoreItem* item : chosen) {
                if (env.control != nullptr && env.control->stopRequested())
                    break;
                Result<LocalTarget::Place> place = target.PlaceOf(item->path);
                if (!place) {
                    report(*item, place.error());
                    continue;
                }
                const Status got = DownloadOne(session, copy, retries, *item, *place, env);
                if (env.control != nullptr && env.control->stopRequested())
                    break; // a cut download never took its name
                report(*item, got);
            }
            session.ftp->Disconnect();
            return Ok();
        });
    retries.AddTo(tally);
    return tally;
}

} // namespace vorn
