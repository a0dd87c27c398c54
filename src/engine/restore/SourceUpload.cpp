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
#include <map>
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
    std::string root;
    std::set<std::string> ready;
    std::map<std::string, std::map<std::string, remote::Entry>> listed;
};

Status Connect(const ServerTarget& server, Upload& up)
{
    if (server.timeout.count() > 0) {
        up.ftp->SetConnectTimeout(server.timeout);
        up.ftp->SetInactivityTimeout(server.timeout);
    }
    if (Status logged = ConnectAndLogin(server.login, *up.ftp); !logged)
        return logged;
    const auto login = up.ftp->CurrentFolder();
    if (!login)
        return MakeError(ErrorKind::Protocol, "The server did not tell its login folder: " + login.message());
    up.root = JoinLoginFolder(*login, server.folder);
    return Ok();
}

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

// Whether the overwrite rule lets `item` replace what the server has.
bool MayWrite(
    Upload& up, const std::string& folder, const std::string& name, const RestoreItem& item, Overwrite rule)
{
    if (rule == Overwrite::Always)
        return true;
    if (!up.listed.count(folder)) {
        auto& names = up.listed[folder];
        const auto listing = up.ftp->List(folder);
        if (listing)
            for (const remote::Entry& entry : *listing)
                names[entry.name] = entry;
    }
    const auto& names = up.listed[folder];
    const auto found = names.find(name);
    if (found == names.end())
        return true;
    if (rule == Overwrite::Never)
        return false;
    const std::string& t = found->second.time; // YYYYMMDD[hh:mm]
    const std::string listed = t.size() >= 8 ? t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2)
            + (t.size() >= 13 ? " " + t.substr(8, 5) : "")
                                             : "";
    return ManifestSeconds(listed) < ManifestSeconds(item.time);
}

void UploadOne(Upload& up, const std::string& localRoot, const RestoreItem& item,
    const RestoreRequest& request, const RestoreEnvironment& env, RestoreTally& tally)
{
    const std::size_t slash = item.path.rfind('/');
    const std::string relative = slash == std::string::npos ? "" : item.path.substr(0, slash);
    const std::string name = item.path.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::string folder = relative.empty() ? up.root : JoinLoginFolder(up.root, relative);
    auto fail = [&](const std::string& why) {
        ++tally.filesFailed;
        ReportRestoreRow(env.observer, item, FileStatus::Failed, why);
    };
    if (Status ready = FolderReady(up, relative); !ready)
        return fail(ready.message());
    if (!MayWrite(up, folder, name, item, request.overwrite)) {
        ++tally.filesKept;
        return ReportRestoreRow(
            env.observer, item, FileStatus::Ignored, "The server has the file; it is kept.");
    }
    if (request.dryRun) {
        ++tally.filesDone;
        return ReportRestoreRow(env.observer, item, FileStatus::WouldRestore);
    }
    const int fd = ::open((localRoot + "/" + item.path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fail(std::string("The restored copy cannot be read: ") + std::strerror(errno) + ".");
    remote::TranslateInfo progress;
    const auto reply = up.ftp->Upload(fd, folder, name, progress);
    ::close(fd);
    if (env.figures != nullptr)
        env.figures->progressInfo.bytes += progress.bytes;
    if (env.control != nullptr && env.control->stopRequested())
        return;
    if (!reply)
        return fail(reply.message());
    ++tally.filesDone;
    tally.bytes += item.size;
    ReportRestoreRow(env.observer, item, FileStatus::Success);
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

} // namespace

RestoreTally RestoreToServer(const RestoreSource& source, const std::vector<RestoreItem>& items,
    const ServerTarget& server, const RestoreRequest& request, const RestoreEnvironment& env)
{
    RestoreTally tally;
    if (source.kind == RestoreSource::Kind::ServerCopy) {
        tally.failReason = "A server-to-server copy is restored to a local folder, then from there.";
        return tally;
    }
    Upload up;
    auto made = MakeSessionFor(server.login);
    if (!made) {
        tally.failReason = made.message();
        return tally;
    }
    up.ftp = std::move(*made);
    CancelRegistration cancel(env.control, [&up] { up.ftp->Cancel(); });
    if (env.control != nullptr)
        up.ftp->SetTransferHook([&env] { return !env.control->stopRequested(); });
    if (Status connected = Connect(server, up); !connected) {
        tally.failReason = connected.message();
        return tally;
    }
    StagingObserver staged;
    std::string localRoot = source.folder;
    if (source.kind == RestoreSource::Kind::Archives && !request.dryRun) {
        Result<std::string> stage = Stage(source, items, request, env, staged);
        if (!stage) {
            tally.failReason = stage.message();
            return tally;
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
        UploadOne(up, localRoot, item, request, env, tally);
    }
    if (localRoot != source.folder) {
        std::error_code ignored;
        fs::remove_all(localRoot, ignored); // never follows a link inside
    }
    up.ftp->Disconnect();
    tally.stopped = env.control != nullptr && env.control->stopRequested();
    return tally;
}

} // namespace vorn
