#include "support/Subprocess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace vorn::test {

namespace {

int DecodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// posix_spawn's own resources, released on every path out of the constructor.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

} // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::filesystem::path& stderrFile)
{
    if (argv.empty())
        throw std::runtime_error("Subprocess: no program given");
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    stdoutFd_ = pipeFds[0];

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(
        &setup.actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    // The test runner may block or ignore signals; the child starts with the defaults so
    // that SIGTERM stops it.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : { SIGTERM, SIGINT, SIGPIPE, SIGHUP, SIGCHLD })
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0].c_str(), &setup.actions, &setup.attr, args.data(), environ);
    close(pipeFds[1]);
    if (rc != 0) {
        close(stdoutFd_);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

Subprocess::~Subprocess()
{
    Stop();
    if (stdoutFd_ >= 0)
        close(stdoutFd_);
}

Subprocess::Fill Subprocess::FillBuffer(std::chrono::steady_clock::time_point deadline)
{
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return Fill::TimedOut;
        pollfd pfd { stdoutFd_, POLLIN, 0 };
        const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Fill::End;
        if (ready == 0)
            return Fill::TimedOut;
        char chunk[4096];
        const ssize_t got = read(stdoutFd_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return Fill::End;
        buffer_.append(chunk, static_cast<std::size_t>(got));
        return Fill::Data;
    }
}

std::optional<std::string> Subprocess::ReadLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const std::size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (FillBuffer(deadline) != Fill::Data)
            return std::nullopt;
    }
}

std::optional<std::string> Subprocess::ReadAll(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Fill result = Fill::Data;
    while (result == Fill::Data)
        result = FillBuffer(deadline);
    if (result == Fill::TimedOut)
        return std::nullopt;
    return std::exchange(buffer_, {});
}

std::optional<int> Subprocess::Wait(std::chrono::milliseconds timeout)
{
    if (status_ || pid_ <= 0)
        return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            status_ = done == pid_ ? DecodeStatus(status) : -1;
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Subprocess::Stop(std::chrono::milliseconds grace)
{
    if (status_ || pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    if (Wait(grace))
        return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    status_ = DecodeStatus(status);
}

} // namespace vorn::test
