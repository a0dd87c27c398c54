#include "ftpclient/KernelRelay.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace vorn::ftp {

namespace {

// A pipe of 1 MiB (the most an unprivileged process may ask for) moves a fast transfer in
// few calls; a smaller one still works.
constexpr int kPipeBytes = 1024 * 1024;

Error SystemError(const char* what, int error)
{
    if (error == ECONNRESET || error == EPIPE)
        return { Error::Code::Closed,
            std::string("The server dropped the connection (") + std::strerror(error) + ")." };
    return { Error::Code::Network, std::string(what) + " failed: " + std::strerror(error) + "." };
}

// splice has no MSG_NOSIGNAL: writing into a connection the server has closed raises SIGPIPE,
// which would end the whole program. The signal is held back while the bytes are sent, and
// one raised meanwhile is taken back before it can be delivered.
class QuietBrokenPipe {
public:
    QuietBrokenPipe()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
    }
    ~QuietBrokenPipe()
    {
        if (raised_ && sigismember(&before_, SIGPIPE) == 0) {
            const timespec now {};
            while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) { }
        }
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    QuietBrokenPipe(const QuietBrokenPipe&) = delete;
    QuietBrokenPipe& operator=(const QuietBrokenPipe&) = delete;

    void Raised() { raised_ = true; }

private:
    sigset_t pipe_ {};
    sigset_t before_ {};
    bool raised_ = false;
};

} // namespace

KernelRelay::~KernelRelay()
{
    Discard();
}

bool KernelRelay::Ready()
{
#if defined(__linux__)
    if (read_ >= 0)
        return true;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    read_ = ends[0];
    write_ = ends[1];
    (void)::fcntl(write_, F_SETPIPE_SZ, kPipeBytes);
    return true;
#else
    return false;
#endif
}

void KernelRelay::Discard()
{
    if (read_ >= 0)
        ::close(read_);
    if (write_ >= 0)
        ::close(write_);
    read_ = write_ = -1;
}

Error KernelRelay::MoveSome(Channel& from, Channel& to, Channel::Duration fromTimeout,
    Channel::Duration toTimeout, const IoLoop::Poll* poll, std::size_t& moved)
{
    moved = 0;
#if defined(__linux__)
    const int in = from.NativeHandle();
    const int out = to.NativeHandle();
    ssize_t got = -1;
    while (got < 0) {
        got = ::splice(in, nullptr, write_, nullptr, kPipeBytes, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (got >= 0 || errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return SystemError("Reading the data", errno);
        if (Error error = from.WaitReady(false, fromTimeout, poll))
            return error;
    }
    if (got == 0)
        return {};
    QuietBrokenPipe quiet;
    for (std::size_t left = static_cast<std::size_t>(got); left > 0;) {
        const ssize_t sent = ::splice(read_, nullptr, out, nullptr, left, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (sent < 0 && errno == EPIPE)
            quiet.Raised();
        if (sent > 0) {
            left -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        Error error = sent < 0 && errno != EAGAIN ? SystemError("Sending the data", errno)
                                                  : to.WaitReady(true, toTimeout, poll);
        if (error) {
            Discard();
            return error;
        }
    }
    moved = static_cast<std::size_t>(got);
    return {};
#else
    (void)from, (void)to, (void)fromTimeout, (void)toTimeout, (void)poll;
    return { Error::Code::Network, "Moving data inside the kernel is not available here." };
#endif
}

} // namespace vorn::ftp
