#include "sftpclient/HostKeys.h"
#include "sftpclient/SftpSessionImpl.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// Reaching the server and logging in: the socket, the SSH handshake and the login methods
// (agent, key file, password, keyboard-interactive).
namespace vorn::sftp {
namespace {

// Waits for a non-blocking connect, in slices so that Cancel is seen.
Status WaitConnected(int fd, std::chrono::milliseconds timeout, const std::atomic<bool>& cancelled)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cancelled)
            return MakeError(ErrorKind::Cancelled, "cancelled");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return MakeError(ErrorKind::TimedOut, "no answer within the connect time-out");
        pollfd p { fd, POLLOUT, 0 };
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (n < 0 && errno != EINTR)
            return MakeError(ErrorKind::Network, std::strerror(errno));
        if (n > 0) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0)
                return MakeError(ErrorKind::Network, std::strerror(error));
            return Ok();
        }
    }
}

// Answers every prompt of keyboard-interactive with the password, for a few rounds; a server
// that keeps asking then gets empty answers and refuses.
LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(AnswerPrompts)
{
    (void)name, (void)name_len, (void)instruction, (void)instruction_len, (void)prompts;
    auto* impl = static_cast<SftpSession::Impl*>(*abstract);
    const bool answer = impl && ++impl->promptRounds <= 3;
    for (int i = 0; i < num_prompts; ++i) {
        const std::string& text = answer ? impl->password : std::string();
        // libssh2 frees the answers through the session's allocator.
        responses[i].text = static_cast<char*>(SftpSession::Impl::Allocate(text.size() + 1, abstract));
        if (!responses[i].text) {
            responses[i].length = 0;
            continue;
        }
        std::memcpy(responses[i].text, text.c_str(), text.size() + 1);
        responses[i].length = static_cast<unsigned>(text.size());
    }
}

bool Offers(const std::string& methods, const std::string& method)
{
    return ("," + methods + ",").find("," + method + ",") != std::string::npos;
}

} // namespace

int ConnectAddress(const sockaddr* address, socklen_t length, std::chrono::milliseconds timeout,
    const std::atomic<bool>& cancelled, Status& outcome)
{
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        outcome = MakeError(ErrorKind::Network, std::strerror(errno));
        return -1;
    }
    if (::connect(fd, address, length) != 0 && errno != EINPROGRESS)
        outcome = MakeError(ErrorKind::Network, std::strerror(errno));
    else
        outcome = WaitConnected(fd, timeout, cancelled);
    if (!outcome) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // SFTP sends many small requests; Nagle's algorithm would hold each one back.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

Status SftpSession::Impl::OpenSocket(const std::string& host, std::uint16_t port)
{
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
        return MakeError(ErrorKind::Network, "Looking up " + host + ": " + gai_strerror(rc));
    Status outcome = MakeError(ErrorKind::Network, "no address");
    int fd = -1;
    for (const addrinfo* a = found; a && fd < 0 && !cancelled; a = a->ai_next)
        fd = ConnectAddress(a->ai_addr, a->ai_addrlen, connectTimeout, cancelled, outcome);
    ::freeaddrinfo(found);
    if (fd < 0)
        return Prefix(outcome, "Connecting to " + host + ":" + service);
    std::lock_guard lock(socketLock);
    socket = fd;
    if (cancelled)
        ::shutdown(socket, SHUT_RDWR);
    return Ok();
}

Status SftpSession::Impl::Handshake()
{
    session = libssh2_session_init_ex(Allocate, Release, Reallocate, this);
    if (!session)
        return MakeError(ErrorKind::Failed, "Cannot start an SSH session");
    libssh2_session_set_blocking(session, 1);
    libssh2_session_set_timeout(session, static_cast<long>(connectTimeout.count()));
    if (libssh2_session_handshake(session, socket) != 0)
        return LastError("SSH key exchange with " + options.host);
    libssh2_session_set_timeout(session, static_cast<long>(inactivityTimeout.count()));
    hostKey = CheckHostKey(session, options);
    if (hostKey.verdict != HostKeyCheck::Verdict::Trusted)
        return MakeError(ErrorKind::Tls, DescribeHostKeyProblem(hostKey));
    return Ok();
}

Status SftpSession::Impl::TryAgent(const std::string& user)
{
    LIBSSH2_AGENT* agent = libssh2_agent_init(session);
    if (!agent)
        return MakeError(ErrorKind::Failed, "Cannot use the SSH agent");
    Status outcome = MakeError(ErrorKind::ServerPermanent, "the agent holds no key the server accepts");
    if (libssh2_agent_connect(agent) != 0 || libssh2_agent_list_identities(agent) != 0) {
        outcome = MakeError(ErrorKind::Failed, "Cannot reach the SSH agent at SSH_AUTH_SOCK");
    } else {
        libssh2_agent_publickey* previous = nullptr;
        libssh2_agent_publickey* identity = nullptr;
        while (!cancelled && libssh2_agent_get_identity(agent, &identity, previous) == 0) {
            if (libssh2_agent_userauth(agent, user.c_str(), identity) == 0) {
                outcome = Ok();
                loginMethod = LoginMethod::Agent;
                break;
            }
            previous = identity;
        }
        libssh2_agent_disconnect(agent);
    }
    libssh2_agent_free(agent);
    return outcome;
}

Status SftpSession::Impl::TryPassword(const std::string& user, const std::string& secret)
{
    const auto userLength = static_cast<unsigned>(user.size());
    if (Offers(offeredMethods, "password")
        && libssh2_userauth_password_ex(session, user.c_str(), userLength, secret.c_str(),
               static_cast<unsigned>(secret.size()), nullptr)
            == 0) {
        loginMethod = LoginMethod::Password;
        return Ok();
    }
    if (const int code = libssh2_session_last_errno(session);
        cancelled || (code != 0 && code != LIBSSH2_ERROR_AUTHENTICATION_FAILED))
        return LastError("Logging in");
    if (Offers(offeredMethods, "keyboard-interactive")) {
        password = secret;
        promptRounds = 0;
        const int rc
            = libssh2_userauth_keyboard_interactive_ex(session, user.c_str(), userLength, AnswerPrompts);
        password.assign(password.size(), '\0');
        password.clear();
        if (rc == 0) {
            loginMethod = LoginMethod::KeyboardInteractive;
            return Ok();
        }
    }
    return MakeError(ErrorKind::ServerPermanent, "the password was refused");
}

Status SftpSession::Impl::Authenticate(const std::string& user, const std::string& secret)
{
    const char* list = libssh2_userauth_list(session, user.c_str(), static_cast<unsigned>(user.size()));
    loginMethod = LoginMethod::None;
    if (!list) {
        if (libssh2_userauth_authenticated(session))
            return Ok();
        return LastError("Logging in");
    }
    offeredMethods = list;
    Status outcome = MakeError(ErrorKind::ServerPermanent, "no login method fits");
    const char* agentSocket = std::getenv("SSH_AUTH_SOCK");
    if (!options.keyFile.empty()) {
        if (libssh2_userauth_publickey_fromfile_ex(session, user.c_str(), static_cast<unsigned>(user.size()),
                nullptr, options.keyFile.c_str(), secret.empty() ? nullptr : secret.c_str())
            == 0) {
            loginMethod = LoginMethod::KeyFile;
            return Ok();
        }
        outcome = LastError("the key " + options.keyFile + " was not accepted");
    } else if (secret.empty() && options.useAgent && agentSocket && *agentSocket) {
        outcome = TryAgent(user);
    } else {
        outcome = TryPassword(user, secret);
    }
    if (outcome || outcome.error().kind == ErrorKind::Cancelled || outcome.error().kind == ErrorKind::Closed
        || outcome.error().kind == ErrorKind::TimedOut)
        return outcome;
    return MakeError(ErrorKind::ServerPermanent,
        "The server refused the login of " + user + " (" + outcome.message()
            + "; the server offers: " + offeredMethods + ")");
}

} // namespace vorn::sftp
