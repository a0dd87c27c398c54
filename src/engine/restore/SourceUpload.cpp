#include "engine/restore/SourceUpload.h"

#include "engine/BackupRun.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"
#include "engine/restore/RestoreProject.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <unistd.h>

namespace vorn {

namespace fs = std::filesystem;

namespace {

// The outcome of each staged file, by path.
class StagingObserver : public RunObserver {
public:
    void OnFileRowInserted(
        std::uint64_t rowId, const std::string&, const std::string& path, const std::string&) override
    {
        paths_[rowId] = path;
    }
    void OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason) override
    {
        outcomes[paths_[rowId]] = status == FileStatus::Success ? std::string()
            : reason.empty()                                    ? std::string(FileStatusText(status))
                                                                : reason;
    }
    std::map<std::string, std::string> outcomes; // "" when staged

private:
    std::map<std::uint64_t, std::string> paths_;
};

// A session on the target server, the folders it made and the listings it read.
struct Upload {
    std::unique_ptr<remote::RemoteSession> ftp;
    const ServerLogin* login = nullptr;
    std::string root;
    std::set<std::string> ready;
    std::map<std::string, std::map<std::string, remote::Entry>> listed;
};

// Makes the remote folder of `relative` ("" for the root) one level at a time.
Status FolderReady(Upload& up, const std::string& relative)
{
    std::string path = up.root;
    if (!up.ready.count(path))
        if (Status made = EnsureRemoteFolder(*up.ftp, path); !made)
            return made;
    up.ready.insert(path);
    std::size_t start = 0;
    while (start < relative.size()) {
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        path = JoinLoginFolder(path, relative.substr(start, end - start));
        start = end + 1;
        if (up.ready.count(path))
            continue;
        if (Status made = EnsureRemoteFolder(*up.ftp, path); !made)
            return made;
        up.ready.insert(path);
    }
    return Ok();
}

// Whether the overwrite rule lets `item` replace what the server has. A folder that cannot
// be listed fails the file: not knowing what is there, nothing is replaced. A dry run makes
// no folder, so there (`dryRun`) a folder the server refuses to list is one it does not have.
Result<bool> MayWrite(Upload& up, RestoreRetries& retries, const std::string& folder, const std::string& name,
    const RestoreItem& item, Overwrite rule, bool dryRun)
{
    if (rule == Overwrite::Always)
        return true;
    if (!up.listed.count(folder)) {
        Result<std::vector<remote::Entry>> listing = std::vector<remote::Entry> {};
        const Status listed = retries.retry().Run(
            folder,
            [&] {
                listing = up.ftp->List(folder);
                return listing ? Ok() : Status(listing.error());
            },
            { { up.ftp.get(), up.login, {}, {} } }, false);
        if (!listed && !(dryRun && listed.error().kind == ErrorKind::ServerPermanent))
            return MakeError(listed.error().kind,
                "The server's folder " + folder + " cannot be listed: " + listed.message(),
                listed.error().replyCode);
        auto& names = up.listed[folder];
        if (listed)
            for (const remote::Entry& entry : *listing)
                names[entry.name] = entry;
    }
    const auto& names = up.listed[folder];
    const auto found = names.find(name);
    if (found == names.end())
        return true;
    if (rule == Overwrite::Never)
        return false;
    return ManifestSeconds(RecordedForm(found->second.time)) < ManifestSeconds(item.time);
}

// Sends one file with `send` (into the server's folder, under the file's name), tried again
// as a run would; reports its row.
using Send
    = std::function<Result<remote::Transferred>(const std::string& folder, remote::TranslateInfo& progress)>;
void SendOne(Upload& up, RestoreRetries& retries, const RestoreItem& item, const RestoreRequest& request,
    const RestoreEnvironment& env, RestoreTally& tally, const std::vector<TransferRetry::Session>& sessions,
    const Send& send)
{
    const std::size_t slash = item.path.rfind('/');
    const std::string relative = slash == std::string::npos ? "" : item.path.substr(0, slash);
    const std::string name = item.path.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::string folder = relative.empty() ? up.root : JoinLoginFolder(up.root, relative);
    auto fail = [&](const std::string& why) {
        ++tally.filesFailed;
        ReportRestoreRow(env.observer, item, FileStatus::Failed, why);
    };
    if (!request.dryRun)
        if (Status ready = FolderReady(up, relative); !ready)
            return fail(ready.message());
    const Result<bool> may = MayWrite(up, retries, folder, name, item, request.overwrite, request.dryRun);
    if (!may)
        return fail(may.message());
    if (!*may) {
        ++tally.filesKept;
        return ReportRestoreRow(
            env.observer, item, FileStatus::Ignored, "The server has the file; it is kept.");
    }
    if (request.dryRun) {
        ++tally.filesDone;
        return ReportRestoreRow(env.observer, item, FileStatus::WouldRestore);
    }
    remote::TranslateInfo progress;
    const Status sent = retries.retry().Run(
        JoinLoginFolder(folder, name),
        [&] {
            progress.Reset();
            const auto reply = send(folder, progress);
            if (env.figures != nullptr)
                env.figures->progressInfo.bytes += progress.bytes;
            return reply ? Ok() : Status(reply.error());
        },
        sessions);
    if (env.control != nullptr && env.control->stopRequested())
        return; // a cut upload never took the file's name
    if (!sent)
        return fail(sent.message());
    ++tally.filesDone;
    tally.bytes += item.size;
    ReportRestoreRow(env.observer, item, FileStatus::Success);
}

// An upload of a file restored below `localRoot`, from its start on each try.
Send FromLocalFile(Upload& up, const std::string& localRoot, const RestoreItem& item)
{
    return [&up, path = localRoot + "/" + item.path, name = remote::BaseName(item.path)](
               const std::string& folder, remote::TranslateInfo& progress) -> Result<remote::Transferred> {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return MakeError(ErrorKind::LocalIo,
                std::string("The restored copy cannot be read: ") + std::strerror(errno) + ".");
        auto reply = up.ftp->Upload(fd, folder, name, progress);
        ::close(fd);
        return reply;
    };
}

// Restores archive items into a private folder beside the archives; the folder's path.
Result<std::string> Stage(const RestoreSource& source, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env, StagingObserver& staged)
{
    std::string pattern = source.folder + "/.vornrestore-stage-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        return MakeError(ErrorKind::LocalIo,
            "Cannot make a working folder in \"" + source.folder + "\": " + std::strerror(errno) + ".");
    RestoreEnvironment quiet = env;
    quiet.observer = &staged;
    const RestoreTally tally
        = RestoreItems(source, items, { pattern, Overwrite::Always, false, request.include }, quiet);
    if (!tally.failReason.empty()) {
        std::error_code ignored;
        fs::remove_all(pattern, ignored);
        return MakeError(ErrorKind::Failed, tally.failReason);
    }
    return pattern;
}

// Opens a session to `login`, logged in, its root `folder`; Stop cancels it.
struct OpenSession {
    std::unique_ptr<remote::RemoteSession> ftp;
    std::string root;
};
Status Open(const ServerLogin& login, const std::string& folder, std::chrono::milliseconds timeout,
    const RestoreEnvironment& env, RestoreRetries& retries, const std::string& side,
    std::optional<CancelRegistration>& cancel, OpenSession& into)
{
    auto made = MakeSessionFor(login);
    if (!made)
        return made.error();
    into.ftp = std::move(*made);
    remote::RemoteSession* ftp = into.ftp.get();
    cancel.emplace(env.control, [ftp] { ftp->Cancel(); });
    if (env.control != nullptr)
        ftp->SetTransferHook([&env] { return !env.control->stopRequested(); });
    Result<std::string> root = retries.Connect(*ftp, login, folder, timeout, side);
    if (!root)
        return root.error();
    into.root = *root;
    return Ok();
}

// The copy on the destination server goes back to the source server, each file relayed
// from server to server under a temporary name there.
void RelayFromCopy(const ServerCopy& copy, const std::vector<RestoreItem>& items, Upload& up,
    RestoreRetries& retries, const RestoreRequest& request, const RestoreEnvironment& env,
    RestoreTally& tally)
{
    OpenSession from;
    std::optional<CancelRegistration> cancel;
    if (!request.dryRun)
        if (Status opened
            = Open(copy.login, copy.folder, copy.timeout, env, retries, "Destination: ", cancel, from);
            !opened) {
            tally.failReason = opened.message();
            return;
        }
    for (const RestoreItem& item : items) {
        if (env.control != nullptr && env.control->stopRequested())
            break;
        if (!RestoreSelects(item.path, request.include))
            continue;
        if (!item.problem.empty()) {
            ++tally.filesFailed;
            ReportRestoreRow(env.observer, item, FileStatus::Failed, item.problem);
            continue;
        }
        const std::string path = JoinLoginFolder(from.root, item.path);
        SendOne(up, retries, item, request, env, tally,
            { { from.ftp.get(), &copy.login, {}, "Destination: " }, { up.ftp.get(), up.login, {}, {} } },
            [&](const std::string& folder, remote::TranslateInfo& progress) {
                return from.ftp->RelayTo(*up.ftp, path, folder, std::int64_t(item.size), progress);
            });
    }
    if (from.ftp)
        from.ftp->Disconnect();
}

// Local copies and archives go back from files on this machine: archives are first
// restored into a private folder beside them and checked there.
void UploadFiles(const RestoreSource& source, const std::vector<RestoreItem>& items, Upload& up,
    RestoreRetries& retries, const RestoreRequest& request, const RestoreEnvironment& env,
    RestoreTally& tally)
{
    StagingObserver staged;
    std::string localRoot = source.folder;
    if (source.kind == RestoreSource::Kind::Archives && !request.dryRun) {
        Result<std::string> stage = Stage(source, items, request, env, staged);
        if (!stage) {
            tally.failReason = stage.message();
            return;
        }
        localRoot = *stage;
    }
    for (const RestoreItem& item : items) {
        if (env.control != nullptr && env.control->stopRequested())
            break;
        if (!RestoreSelects(item.path, request.include))
            continue;
        const auto outcome = staged.outcomes.find(item.path);
        if (!item.problem.empty() || (outcome != staged.outcomes.end() && !outcome->second.empty())) {
            ++tally.filesFailed;
            ReportRestoreRow(env.observer, item, FileStatus::Failed,
                item.problem.empty() ? outcome->second : item.problem);
            continue;
        }
        SendOne(up, retries, item, request, env, tally, { { up.ftp.get(), up.login, {}, {} } },
            FromLocalFile(up, localRoot, item));
    }
    if (localRoot != source.folder) {
        std::error_code ignored;
        fs::remove_all(localRoot, ignored); // never follows a link inside
    }
}

} // namespace

RestoreTally RestoreToServer(const RestoreSource& source, const std::vector<RestoreItem>& items,
    const ServerTarget& server, const RestoreRequest& request, const RestoreEnvironment& env)
{
    RestoreTally tally;
    RestoreRetries retries(env, server.retries);
    Upload up;
    up.login = &server.login;
    OpenSession target;
    std::optional<CancelRegistration> cancel;
    if (Status opened = Open(server.login, server.folder, server.timeout, env, retries, {}, cancel, target);
        !opened) {
        tally.failReason = opened.message();
    } else {
        up.ftp = std::move(target.ftp);
        up.root = target.root;
        if (source.kind == RestoreSource::Kind::ServerCopy)
            RelayFromCopy(source.server, items, up, retries, request, env, tally);
        else
            UploadFiles(source, items, up, retries, request, env, tally);
        up.ftp->Disconnect();
    }
    retries.AddTo(tally);
    tally.stopped = env.control != nullptr && env.control->stopRequested();
    return tally;
}

} // namespace vorn
