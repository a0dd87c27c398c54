#include "support/SshServer.h"

#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vorn::test {
namespace fs = std::filesystem;
namespace {

constexpr auto kStart = std::chrono::seconds(15);

// Runs a short command to its end; its exit status, or -1 when it did not end in time.
int Run(const std::vector<std::string>& argv, const fs::path& errors)
{
    Subprocess child(argv, errors);
    (void)child.ReadAll(kStart);
    return child.Wait(kStart).value_or(-1);
}

unsigned short FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool Answers(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// The system user of the tests, made when missing; its password set to the known one.
void PrepareUser(const fs::path& errors)
{
    if (!::getpwnam(SshServer::user)
        && Run({ "/usr/sbin/useradd", "-M", "-d", "/nonexistent", "-s", "/usr/sbin/nologin",
                   SshServer::user },
               errors)
            != 0
        && !::getpwnam(SshServer::user))
        throw std::runtime_error("cannot add the user " + std::string(SshServer::user));
    FILE* chpasswd = ::popen("/usr/sbin/chpasswd 2>/dev/null", "w");
    if (!chpasswd)
        throw std::runtime_error("cannot run chpasswd");
    std::fprintf(chpasswd, "%s:%s\n", SshServer::user, SshServer::password);
    if (::pclose(chpasswd) != 0)
        throw std::runtime_error("chpasswd refused the password");
}

void MakeKey(const fs::path& file, const std::string& passphrase, const fs::path& errors)
{
    if (Run({ "/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", passphrase, "-C", "", "-f", file.string() },
            errors)
        != 0)
        throw std::runtime_error("ssh-keygen failed: " + ReadFile(errors));
}

std::string FirstFields(const std::string& line, int count)
{
    std::istringstream in(line);
    std::string out, word;
    for (int i = 0; i < count && in >> word; ++i)
        out += (i ? " " : "") + word;
    return out;
}

} // namespace

std::string SshServer::Unavailable()
{
    if (::geteuid() != 0)
        return "sshd needs root to log in another user";
    if (!fs::exists("/usr/sbin/sshd"))
        return "no /usr/sbin/sshd (openssh-server)";
    return {};
}

SshServer::SshServer(Setup setup)
{
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const fs::path errors = dir_.path() / "setup.log";
    PrepareUser(errors);
    MakeKey(dir_.path() / "host_key", "", errors);
    MakeKey(dir_.path() / "client_key", "", errors);
    MakeKey(dir_.path() / "client_key_phrase", passphrase, errors);
    WriteFile(dir_.path() / "authorized_keys",
        ReadFile(dir_.path() / "client_key.pub") + ReadFile(dir_.path() / "client_key_phrase.pub"));
    fs::create_directories(data());
    GiveToUser(data());
    ::mkdir("/run/sshd", 0755); // sshd's privilege separation folder
    for (int attempt = 0; attempt < 3 && !sshd_; ++attempt)
        Start(setup);
    if (!sshd_)
        throw std::runtime_error("sshd did not start: " + ReadFile(dir_.path() / "sshd.log"));
}

void SshServer::Start(const Setup& setup)
{
    port_ = FreePort();
    const fs::path& d = dir_.path();
    std::ostringstream config;
    config << "Port " << port_ << "\nListenAddress 127.0.0.1\nHostKey " << (d / "host_key").string()
           << "\nPidFile none\nUsePAM yes\nPasswordAuthentication " << (setup.password ? "yes" : "no")
           << "\nKbdInteractiveAuthentication " << (setup.keyboardInteractive ? "yes" : "no")
           << "\nPubkeyAuthentication yes\nAuthorizedKeysFile " << (d / "authorized_keys").string()
           << "\nStrictModes no\nAllowUsers " << user
           << "\nMaxAuthTries 20\nForceCommand internal-sftp\nSubsystem sftp internal-sftp\n"
              "LogLevel VERBOSE\n";
    WriteFile(d / "sshd_config", config.str());
    Launch();
}

void SshServer::Launch()
{
    const fs::path& d = dir_.path();
    auto sshd = std::make_unique<Subprocess>(
        std::vector<std::string> { "/usr/sbin/sshd", "-D", "-e", "-f", (d / "sshd_config").string() },
        d / "sshd.log");
    // An sshd that could not bind its port ends at once: try another port then. A port that
    // answers while sshd has ended belongs to someone else.
    bool ended = false;
    (void)WaitFor(
        [&] { return (ended = sshd->Wait(std::chrono::milliseconds(0)).has_value()) || Answers(port_); },
        kStart);
    if (!ended && !sshd->Wait(std::chrono::milliseconds(0)) && Answers(port_))
        sshd_ = std::move(sshd);
}

SshServer::~SshServer()
{
    Kill();
}

fs::path SshServer::data() const
{
    return dir_.path() / "data";
}
fs::path SshServer::key() const
{
    return dir_.path() / "client_key";
}
fs::path SshServer::keyWithPassphrase() const
{
    return dir_.path() / "client_key_phrase";
}

std::string SshServer::KnownHostsLine() const
{
    return "[127.0.0.1]:" + std::to_string(port_) + " "
        + FirstFields(ReadFile(dir_.path() / "host_key.pub"), 2);
}

std::string SshServer::KnownHostsLineWithKeyOf(const SshServer& other) const
{
    return "[127.0.0.1]:" + std::to_string(port_) + " "
        + FirstFields(ReadFile(other.dir_.path() / "host_key.pub"), 2);
}

std::string SshServer::Fingerprint() const
{
    const fs::path errors = dir_.path() / "fingerprint.log";
    Subprocess keygen(
        { "/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f", (dir_.path() / "host_key.pub").string() },
        errors);
    const std::string line = keygen.ReadAll(kStart).value_or("");
    (void)keygen.Wait(kStart);
    std::istringstream in(line);
    std::string bits, fingerprint;
    in >> bits >> fingerprint;
    return fingerprint;
}

void SshServer::GiveToUser(const fs::path& path) const
{
    const passwd* entry = ::getpwnam(user);
    if (!entry)
        return;
    (void)::lchown(path.c_str(), entry->pw_uid, entry->pw_gid);
    if (!fs::is_directory(fs::symlink_status(path)))
        return;
    for (const auto& item : fs::recursive_directory_iterator(path))
        (void)::lchown(item.path().c_str(), entry->pw_uid, entry->pw_gid);
}

// The processes below the listener, found through the parent ids in /proc.
std::vector<pid_t> SshServer::Connections() const
{
    std::vector<pid_t> found;
    if (!sshd_)
        return found;
    std::set<pid_t> parents { sshd_->pid() };
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& item : fs::directory_iterator("/proc")) {
            const std::string name = item.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::ifstream stat(item.path() / "stat");
            std::string line;
            std::getline(stat, line);
            const auto close = line.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream rest(line.substr(close + 2));
            char state = 0;
            pid_t parent = 0;
            rest >> state >> parent;
            const pid_t pid = std::stoi(name);
            if (parents.count(parent) && !parents.count(pid)) {
                parents.insert(pid);
                found.push_back(pid);
                grew = true;
            }
        }
    }
    return found;
}

void SshServer::SignalConnections(int signal) const
{
    for (pid_t pid : Connections())
        ::kill(pid, signal);
}

void SshServer::StopListening()
{
    const std::vector<pid_t> connections = Connections();
    orphans_.insert(orphans_.end(), connections.begin(), connections.end());
    if (sshd_)
        sshd_->Stop(std::chrono::seconds(2));
    sshd_.reset();
}

void SshServer::ListenAgain(bool newHostKey)
{
    StopListening();
    const fs::path errors = dir_.path() / "setup.log";
    if (newHostKey) {
        fs::remove(dir_.path() / "host_key");
        fs::remove(dir_.path() / "host_key.pub");
        MakeKey(dir_.path() / "host_key", "", errors);
    }
    // The old listener's port may linger for a moment; the same one is needed.
    for (int attempt = 0; attempt < 20 && !sshd_; ++attempt) {
        Launch();
        if (!sshd_)
            ::usleep(100000);
    }
    if (!sshd_)
        throw std::runtime_error("sshd did not listen again: " + ReadFile(dir_.path() / "sshd.log"));
}

void SshServer::Kill()
{
    for (pid_t pid : std::exchange(orphans_, {})) {
        ::kill(pid, SIGCONT);
        ::kill(pid, SIGKILL);
    }
    if (!sshd_)
        return;
    // The listener goes first, so that a client whose session dies cannot log in again
    // in between; its connections are found before they lose their parent.
    const std::vector<pid_t> connections = Connections();
    sshd_->Stop(std::chrono::seconds(2));
    sshd_.reset();
    for (pid_t pid : connections) {
        ::kill(pid, SIGCONT);
        ::kill(pid, SIGKILL);
    }
}

SshAgent::SshAgent()
    : socket_((dir_.path() / "agent.sock").string())
{
    if (const char* before = std::getenv("SSH_AUTH_SOCK")) {
        previous_ = before;
        hadPrevious_ = true;
    }
    agent_ = std::make_unique<Subprocess>(
        std::vector<std::string> { "/usr/bin/ssh-agent", "-D", "-a", socket_ }, dir_.path() / "agent.log");
    if (!WaitFor([&] { return fs::exists(socket_); }, kStart))
        throw std::runtime_error("ssh-agent did not start: " + ReadFile(dir_.path() / "agent.log"));
    ::setenv("SSH_AUTH_SOCK", socket_.c_str(), 1);
}

SshAgent::~SshAgent()
{
    if (hadPrevious_)
        ::setenv("SSH_AUTH_SOCK", previous_.c_str(), 1);
    else
        ::unsetenv("SSH_AUTH_SOCK");
    agent_->Stop(std::chrono::seconds(2));
}

bool SshAgent::Add(const fs::path& key) const
{
    return Run({ "/usr/bin/env", "SSH_AUTH_SOCK=" + socket_, "/usr/bin/ssh-add", "-q", key.string() },
               dir_.path() / "ssh-add.log")
        == 0;
}

} // namespace vorn::test
