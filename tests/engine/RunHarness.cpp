#include "RunHarness.h"

#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>

namespace vorn::test {

namespace fs = std::filesystem;

void RecordingObserver::OnProjectStatus(const std::string&, ProjectStatus status)
{
    std::lock_guard lock(mutex_);
    record_.projectStatuses.emplace_back(ProjectStatusText(status));
}

void RecordingObserver::OnLastBackupTime(const std::string&, const std::string& timeText)
{
    std::lock_guard lock(mutex_);
    record_.lastBackupTimes.push_back(timeText);
}

void RecordingObserver::OnFileRowInserted(std::uint64_t rowId, const std::string& timeText,
    const std::string& remotePath, const std::string& sizeText)
{
    std::lock_guard lock(mutex_);
    index_[rowId] = record_.rows.size();
    record_.rows.push_back({ timeText, remotePath, sizeText, "...", 0 });
}

void RecordingObserver::OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason)
{
    std::lock_guard lock(mutex_);
    Row& row = record_.rows.at(index_.at(rowId));
    row.status = FileStatusText(status);
    row.reason = reason;
    ++row.statusChanges;
}

void RecordingObserver::OnResultText(const std::string& text)
{
    std::lock_guard lock(mutex_);
    record_.resultTexts.push_back(text);
}

void RecordingObserver::OnRunFailed(const std::string&, const std::string& reason)
{
    std::lock_guard lock(mutex_);
    record_.failures.push_back(reason);
}

void RecordingObserver::OnRunNotice(NoticeSeverity severity, const std::string&, const std::string& text)
{
    std::lock_guard lock(mutex_);
    (severity == NoticeSeverity::Problem ? record_.problems : record_.messages).push_back(text);
}

void RecordingObserver::Reset()
{
    std::lock_guard lock(mutex_);
    record_ = {};
    index_.clear();
}

RecordingObserver::Record RecordingObserver::record() const
{
    std::lock_guard lock(mutex_);
    return record_;
}

std::map<std::string, std::string> RecordingObserver::statusByPath() const
{
    std::map<std::string, std::string> byPath;
    for (const Row& row : record().rows)
        byPath[row.path] = row.status;
    return byPath;
}

RunHarness::RunHarness()
{
    auto opened = ProjectDb::Open((dir_.path() / "gm_ftp_database.db").string());
    if (!opened.db)
        throw std::runtime_error(opened.error);
    db_ = std::move(opened.db);
}

BackupProject RunHarness::LocalProject(
    const FtpServer& server, const std::string& sourceFolder, const std::string& destination)
{
    BackupProject project;
    project.ftpname = "nightly";
    project.ftpsource = sourceFolder;
    project.ftpdest = destination;
    project.ftpip = server.host();
    project.ftpuser = server.options().user;
    project.ftppassword = server.options().password;
    project.ftpport = std::to_string(server.port());
    project.ftpbackmode = 1;
    project.ftptype = 1;
    return project;
}

BackupProject RunHarness::LocalProject(
    const VirtualFtpServer& server, const std::string& sourceFolder, const std::string& destination)
{
    BackupProject project;
    project.ftpname = "nightly";
    project.ftpsource = sourceFolder;
    project.ftpdest = destination;
    project.ftpip = server.host();
    project.ftpuser = "user";
    project.ftppassword = "secret";
    project.ftpport = std::to_string(server.port());
    project.ftpbackmode = 1;
    project.ftptype = 1;
    return project;
}

void RunHarness::Store(const BackupProject& project)
{
    if (!InsertProject(db_.get(), project))
        throw std::runtime_error("cannot store the project " + project.ftpname);
}

RunOutcome RunHarness::Run(const std::string& name)
{
    return RunProject(name, RunEnvironment { db_.get(), &observer, &control, &figures, true });
}

std::pair<std::string, std::string> RunHarness::Stored(const std::string& name)
{
    for (const ProjectListRow& row : QueryProjectList(db_.get()))
        if (row.ftpname == name)
            return { row.ftpstatus, row.ftpruntime };
    return {};
}

void MakeTree(const fs::path& root, const Tree& tree, std::int64_t mtime)
{
    for (const auto& [path, bytes] : tree) {
        const fs::path target = root / fs::u8path(path);
        if (bytes == "/") {
            fs::create_directories(target);
        } else {
            WriteFile(target, bytes);
            SetModificationTime(target, mtime);
        }
    }
}

Tree ReadTree(const fs::path& root)
{
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string path = entry.path().lexically_relative(root).string();
        tree[path] = entry.is_directory() ? "/" : ReadFile(entry.path());
    }
    return tree;
}

int SevenZip(const std::vector<std::string>& args, std::string* output)
{
    std::vector<std::string> all { "timeout", "-s", "KILL", "120", "7z" };
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    char tz[] = "TZ=UTC", lang[] = "LANG=C.UTF-8", path[] = "PATH=/usr/bin:/bin";
    char* envp[] = { tz, lang, path, nullptr };
    const TempDir scratch;
    const fs::path log = scratch.path() / "7z.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "timeout", &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    if (output != nullptr)
        *output = ReadFile(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ThreadCount()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

std::string Random(std::size_t size, std::uint32_t seed)
{
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = char(x);
    }
    return bytes;
}

Tree FilesOnly(const Tree& tree)
{
    Tree files;
    for (const auto& [path, bytes] : tree)
        if (bytes != "/")
            files.emplace(path, bytes);
    return files;
}

void ToSecondServer(BackupProject& project, const FtpServer& second, const std::string& folder)
{
    project.ftptype = 2;
    project.ftpdestip = second.host();
    project.ftpdestuser = second.options().user;
    project.ftpdestpass = second.options().password;
    project.ftpdestport = std::to_string(second.port());
    project.ftpdestpath = folder;
}

BackgroundRun::BackgroundRun(RunHarness& harness, std::string name)
    : thread_([this, &harness, name] {
        outcome_ = harness.Run(name);
        done_ = true;
    })
{
}

BackgroundRun::~BackgroundRun()
{
    thread_.join();
}

bool BackgroundRun::WaitDone(std::chrono::milliseconds timeout)
{
    return WaitFor([this] { return done_.load(); }, timeout);
}

} // namespace vorn::test
