#include "engine/BackupRun.h"

#include "common/DecimalText.h"
#include "common/PortText.h"
#include "common/TimeText.h"
#include "engine/ArchiveRun.h"
#include "engine/CopyRecords.h"
#include "engine/Durability.h"
#include "engine/FailureReason.h"
#include "engine/KeepAliveThread.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/RunRecorder.h"
#include "engine/TransferFigures.h"
#include "engine/TransferPool.h"
#include "engine/Walks.h"
#include "engine/archives/ArchiveChain.h"
#include "engine/archives/ArchiveCheck.h"
#include "engine/archives/ZipArchive.h"
#include "store/CopiedFiles.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"
#include "store/Secrets.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

std::int64_t ClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

// 0 for a stored port that is no port: ConnectAndLogin refuses it, and RunProject has
// already failed the run with the reason (StoredValueProblem).
std::uint16_t PortOf(const std::string& text)
{
    return ParsePort(text).port;
}

// The root folder on the source: ensured (made when missing) for a run; a dry run only
// enters it, since it changes nothing anywhere.
Status SourceRootReady(remote::RemoteSession& source, const std::string& root, const RunEnvironment& env)
{
    if (!env.dryRun)
        return EnsureRemoteFolder(source, root);
    if (const auto entered = source.ChangeFolder(root); !entered)
        return MakeError(entered.error().kind, ReplyReason(entered.error()) + " (" + root + ")");
    return {};
}

} // namespace

std::string JoinLoginFolder(const std::string& loginFolder, const std::string& folder)
{
    // Some servers report the login folder with a trailing "/"; joined as it is, every path
    // below it would carry a doubled "/".
    std::string login = loginFolder;
    while (login.size() > 1 && login.back() == '/')
        login.pop_back();
    const bool absolute = !folder.empty() && folder.front() == '/';
    if (login.size() <= 1)
        return absolute ? folder : "/" + folder;
    return absolute ? login + folder : login + "/" + folder;
}

namespace {

// A project name as a shell word: quoted when it holds anything but letters, digits and -_.
std::string QuotedName(const std::string& name)
{
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.';
    });
    if (plain)
        return name;
    std::string quoted = "'";
    for (const char c : name)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

void ApplySessionOptions(const ProjectOptions& options, ServerLogin& login)
{
    login.keyFile = options.sshKey;
    login.followLinks = options.followLinks;
    login.charset = options.charset;
}

BackupJob MakeBackupJob(const BackupProject& project)
{
    BackupJob job;
    job.source = { project.ftpip, project.ftpuser, project.ftppassword, PortOf(project.ftpport) };
    if (project.type() == FtpType::FtpToFtp)
        job.destination
            = { project.ftpdestip, project.ftpdestuser, project.ftpdestpass, PortOf(project.ftpdestport) };
    job.sourceFolder = project.ftpsource;
    if (project.type() == FtpType::FtpToLocal)
        job.destinationFolder = project.ftpdest;
    else if (project.type() == FtpType::FtpToFtp)
        job.destinationFolder = project.ftpdestpath;
    job.rules = ParseFilterRules(project.ftprule);
    job.mode = project.type();
    job.backupMode = project.ftpbackmode;
    job.name = project.ftpname;
    // Archives are made of local downloads only; a server-to-server copy has none.
    job.noCompression = !project.ftpiscompress || project.type() != FtpType::FtpToLocal;
    job.zipPassword = project.ftpcompass;
    return job;
}

namespace {

// The sessions and the walk state of one job.
struct JobSessions {
    std::unique_ptr<remote::RemoteSession> first;
    std::unique_ptr<remote::RemoteSession> second; // server-to-server copies only
    WalkContext ctx;
};

int Fail(TransferTally& tally, std::string reason)
{
    tally.failReason = std::move(reason);
    return 0;
}

// The copies of a folder run reach the disk before the run's records say they are done; a
// run whose copies cannot be synced fails.
int CopiesOnDisk(const BackupJob& job, TransferTally& tally, int result)
{
    if (job.destinationFolder.empty() || (tally.filesDone == 0 && tally.foldersDone == 0))
        return result;
    if (const Status synced = SyncCopies(job.destinationFolder); !synced)
        return result == 1 ? Fail(tally, synced.message()) : result;
    return result;
}

// The sessions of `job`, of the protocols its server texts name; why not, when one has none.
std::string MakeJobSessions(const BackupJob& job, JobSessions& s)
{
    auto first = MakeSessionFor(job.source);
    if (!first)
        return first.message();
    s.first = std::move(*first);
    if (job.mode != FtpType::FtpToFtp)
        return {};
    auto second = MakeSessionFor(job.destination);
    if (!second)
        return "Destination: " + second.message();
    s.second = std::move(*second);
    return {};
}

// The login folder of a session that has just logged in, or why there is none.
std::optional<std::string> LoginFolder(remote::RemoteSession& session, TransferTally& tally)
{
    auto login = session.CurrentFolder();
    if (!login) {
        tally.failReason = "The login folder is unknown: " + ReplyReason(login.error());
        return std::nullopt;
    }
    return std::move(*login);
}

// Why a connection of the run failed; for a host key no known-hosts file knows, with the
// command that shows and stores it.
std::string ConnectFailure(
    const BackupJob& job, const remote::RemoteSession& session, const Status& connected)
{
    std::string why = connected.message();
    if (sessions::HostKeyOf(session).verdict == sessions::HostKeyFacts::Verdict::Unknown)
        why += ". Check the fingerprint and trust the key with: vornbackup-cli trust " + QuotedName(job.name);
    return why;
}

// verify=checksum against servers that cannot take part: said once per run, not per file.
constexpr const char* kNoChecksums = "verify=checksum: the server offers no checksum command (HASH, XSHA256, "
                                     "XSHA1, XMD5, XCRC); this run checks each copy by its size.";
constexpr const char* kNoSharedChecksum
    = "verify=checksum: the two servers share no checksum command (HASH, "
      "XSHA256, XSHA1, XMD5, XCRC); this run checks each copy by its size.";

bool ShareChecksum(const remote::RemoteSession& source, const remote::RemoteSession& destination)
{
    const std::vector<std::string> ours = source.ChecksumAlgorithms();
    const std::vector<std::string> theirs = destination.ChecksumAlgorithms();
    return std::any_of(ours.begin(), ours.end(), [&](const std::string& name) {
        return std::find(theirs.begin(), theirs.end(), name) != theirs.end();
    });
}

// Ftp->Local: connects, ensures the root folders and walks. The keep-alive thread ends here,
// before the sessions it uses.
int RunDownload(const BackupJob& job, JobSessions& s, TransferTally& tally, ZipArchive* archive,
    std::string& staging, const WalkOptions& options, const RunEnvironment& env)
{
    remote::RemoteSession& source = *s.first;
    // A server that refuses for now (421 "too many connections") is asked again.
    TransferRetry retry(env, options.retries, tally);
    if (const Status connected = retry.LogIn(job.source, source); !connected)
        return Fail(tally, ConnectFailure(job, source, connected));
    const auto login = LoginFolder(source, tally);
    if (!login)
        return 0;
    s.ctx.rootRemote = s.ctx.currentRemote = JoinLoginFolder(*login, job.sourceFolder);
    s.ctx.rootLocal = s.ctx.currentLocal = job.destinationFolder;
    if (archive)
        RemoveStaleStaging(s.ctx.rootLocal);
    Status ready = SourceRootReady(source, s.ctx.rootRemote, env);
    if (ready && !env.dryRun)
        ready = EnsureLocalFolder(s.ctx.rootLocal);
    if (ready && archive) {
        Result<std::string> made = MakeStagingFolder(s.ctx.rootLocal);
        if (made)
            staging = std::move(made).value();
        else
            ready = made.error();
    }
    if (!staging.empty())
        NoteOwnLeftover(job, env, staging);
    if (!ready) {
        source.Disconnect();
        return Fail(tally, ready.message());
    }
    if (env.verifyChecksums && source.ChecksumAlgorithms().empty())
        TellRun(env, kNoChecksums);
    KeepAliveThread keepAlive(source, nullptr, env.keepAlivePeriod);
    return DownloadWalk(source, s.ctx, options, tally, archive, staging, env);
}

// Ftp->Ftp: connects both servers, ensures both root folders and walks.
int RunRelay(const BackupJob& job, JobSessions& s, TransferTally& tally, const WalkOptions& options,
    const RunEnvironment& env)
{
    remote::RemoteSession& source = *s.first;
    remote::RemoteSession& destination = *s.second;
    // A server that refuses for now (421 "too many connections") is asked again.
    TransferRetry retry(env, options.retries, tally);
    if (const Status connected = retry.LogIn(job.source, source); !connected)
        return Fail(tally, ConnectFailure(job, source, connected));
    if (const Status connected = retry.LogIn(job.destination, destination, "Destination: "); !connected) {
        source.Disconnect();
        return Fail(tally, "Destination: " + ConnectFailure(job, destination, connected));
    }
    const auto sourceLogin = LoginFolder(source, tally);
    const auto destinationLogin = sourceLogin ? LoginFolder(destination, tally) : std::nullopt;
    if (!destinationLogin)
        return 0;
    s.ctx.rootRemote = s.ctx.currentRemote = JoinLoginFolder(*sourceLogin, job.sourceFolder);
    s.ctx.rootLocal = s.ctx.currentLocal = JoinLoginFolder(*destinationLogin, job.destinationFolder);
    Status ready = SourceRootReady(source, s.ctx.rootRemote, env);
    if (ready && !env.dryRun) {
        ready = EnsureRemoteFolder(destination, s.ctx.rootLocal);
        if (!ready)
            ready = ready.error().Prefixed("Destination");
    }
    if (!ready) {
        source.Disconnect();
        destination.Disconnect();
        return Fail(tally, ready.message());
    }
    if (env.verifyChecksums && !ShareChecksum(source, destination))
        TellRun(env, kNoSharedChecksum);
    KeepAliveThread keepAlive(source, &destination, env.keepAlivePeriod);
    return TransferWalk(source, destination, s.ctx, options, tally, env);
}

} // namespace

int RunBackupJob(const BackupJob& job, TransferTally& tally, const RunEnvironment& outer)
{
    RunEnvironment env = outer;
    env.verifyChecksums = job.options.verifyChecksum;
    JobSessions sessions;
    if (std::string why = MakeJobSessions(job, sessions); !why.empty())
        return Fail(tally, why);
    ConfigureRunSession(*sessions.first, env);
    if (sessions.second)
        ConfigureRunSession(*sessions.second, env);
    CancelRegistration cancelFirst(env.control, [&sessions] { sessions.first->Cancel(); });
    CancelRegistration cancelSecond(env.control, [&sessions] {
        if (sessions.second)
            sessions.second->Cancel();
    });
    sessions.ctx.rules = job.rules;

    if (!env.dryRun)
        RemoveLeftovers(job, env);
    std::optional<CopyRecords> records;
    if (job.backupMode == kIncrementalBackupMode) {
        records.emplace(env.db, RecordsKey(job));
        if (!records->loadError().empty()) {
            const bool reset = !env.dryRun && ResetCopiedFiles(env.db);
            TellRun(env,
                "The incremental record of earlier copies could not be read (" + records->loadError()
                    + (reset ? "); it was reset" : ")") + ", and this run copies every file.");
        }
    }
    WalkOptions options { job.backupMode, job.noCompression, records ? &*records : nullptr, false,
        job.options.retries, &job.source, &job.destination, job.options.connections };
    options.exclude = ParseExcludePatterns(job.options.exclude);

    std::unique_ptr<ZipArchive> archive;
    std::string archivePath;
    if (!job.noCompression && records)
        options.fullArchive
            = NextArchiveIsFull(env.db, RecordsKey(job), job.destinationFolder, job.options.fullEvery);
    if (!job.noCompression && !env.dryRun)
        if (Status opened = OpenArchive(job, archive, archivePath, env); !opened)
            return Fail(tally, opened.message());

    int result = 0;
    std::string staging;
    if (job.mode == FtpType::FtpToLocal)
        result = RunDownload(job, sessions, tally, archive.get(), staging, options, env);
    else if (job.mode == FtpType::FtpToFtp)
        result = RunRelay(job, sessions, tally, options, env);
    else
        result = Fail(tally, "The project has no known backup type");

    const bool compressed = archive != nullptr;
    if (compressed)
        result = FinishArchive(archive, archivePath, staging, job, sessions.ctx, options, tally, result, env);
    else if (job.mode == FtpType::FtpToLocal && !env.dryRun)
        result = CopiesOnDisk(job, tally, result);
    if (!compressed && records && !env.dryRun && result == 1)
        records->Save(tally.foldersFailed == 0 && !(env.control != nullptr && env.control->stopRequested()));
    if (!staging.empty()) {
        std::error_code ignored;
        std::filesystem::remove(staging, ignored); // only when empty: failed additions stay
    }
    if (!env.dryRun)
        ForgetOwnLeftovers(job, env);
    return result;
}

} // namespace vorn
