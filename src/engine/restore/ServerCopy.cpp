#include "engine/restore/ServerCopy.h"

#include "engine/BackupRun.h"
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

Result<std::string> Connect(const ServerCopy& copy, Session& session)
{
    if (copy.timeout.count() > 0) {
        session.ftp->SetConnectTimeout(copy.timeout);
        session.ftp->SetInactivityTimeout(copy.timeout);
    }
    if (Status logged = ConnectAndLogin(copy.login, *session.ftp); !logged)
        return logged.error();
    const auto login = session.ftp->CurrentFolder();
    if (!login)
        return MakeError(ErrorKind::Protocol, "The server did not tell its login folder: " + login.message());
    session.root = JoinLoginFolder(*login, copy.folder);
    return session.root;
}

// "YYYYMMDDhh:mm" as a listing gives it, in the form manifests use.
std::string RecordedForm(const std::string& listed)
{
    if (listed.size() < 8)
        return {};
    std::string text = listed.substr(0, 4) + "-" + listed.substr(4, 2) + "-" + listed.substr(6, 2);
    if (listed.size() >= 13)
        text += " " + listed.substr(8, 5);
    return text;
}

Status ListBelow(Session& session, const std::string& relative, std::size_t depth,
    std::vector<RestoreItem>& items, const RestoreEnvironment& env)
{
    if (env.control != nullptr && env.control->stopRequested())
        return MakeError(ErrorKind::Cancelled, "Stopped");
    const std::string folder = relative.empty() ? session.root : JoinLoginFolder(session.root, relative);
    const auto listing = session.ftp->List(folder);
    if (!listing)
        return MakeError(listing.error().kind, "The folder " + folder + " cannot be listed: " + listing.message(),
            listing.error().replyCode);
    for (const remote::Entry& entry : *listing) {
        const std::string path = relative.empty() ? entry.name : relative + "/" + entry.name;
        if (!entry.unusable.empty()) {
            items.push_back({ path, 0, {}, 0, 0, entry.unusable });
        } else if (entry.IsFile()) {
            items.push_back({ path, std::uint64_t(std::strtoull(entry.size.c_str(), nullptr, 10)),
                RecordedForm(entry.time), 0, 0, {} });
        } else if (depth >= kMaxDepth) {
            items.push_back({ path + "/", 0, {}, 0, 0, "The folder lies too deep to be restored." });
        } else if (Status below = ListBelow(session, path, depth + 1, items, env); !below) {
            return below;
        }
    }
    return Ok();
}

} // namespace

Result<std::vector<RestoreItem>> ItemsOnServer(const ServerCopy& copy, const RestoreEnvironment& env)
{
    Session session;
    if (Status made = MakeFor(copy, session); !made)
        return made.error();
    CancelRegistration cancel(env.control, [&session] { session.ftp->Cancel(); });
    if (Result<std::string> root = Connect(copy, session); !root)
        return root.error();
    std::vector<RestoreItem> items;
    if (Status listed = ListBelow(session, "", 0, items, env); !listed)
        return listed.error();
    session.ftp->Disconnect();
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return items;
}

RestoreTally RestoreFromServer(const ServerCopy& copy, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env)
{
    return RestoreEach(items, request, env,
        [&](const std::vector<const RestoreItem*>& chosen, const LocalTarget& target,
            const FileReport& report) {
            Session session;
            if (Status made = MakeFor(copy, session); !made)
                return made;
            CancelRegistration cancel(env.control, [&session] { session.ftp->Cancel(); });
            if (env.control != nullptr)
                session.ftp->SetTransferHook([&env] { return !env.control->stopRequested(); });
            if (Result<std::string> root = Connect(copy, session); !root)
                return Status(root.error());
            remote::TranslateInfo progress;
            for (const RestoreItem* item : chosen) {
                if (env.control != nullptr && env.control->stopRequested())
                    break;
                Result<LocalTarget::Place> place = target.PlaceOf(item->path);
                if (!place) {
                    report(*item, place.error());
                    continue;
                }
                progress.Reset();
                const auto reply = session.ftp->DownloadInto(place->folder.fd(), place->folderText,
                    JoinLoginFolder(session.root, item->path), std::int64_t(item->size), progress);
                if (env.control != nullptr && env.control->stopRequested())
                    break; // a cut download never took its name
                if (env.figures != nullptr)
                    env.figures->progressInfo.bytes += progress.bytes;
                if (!reply) {
                    report(*item, reply.error());
                    continue;
                }
                report(*item,
                    LocalTarget::SetTime(place->folder.fd(), place->name, ManifestSeconds(item->time)));
            }
            session.ftp->Disconnect();
            return Ok();
        });
}

} // namespace vorn
