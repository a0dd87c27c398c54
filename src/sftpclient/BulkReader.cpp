#include "sftpclient/BulkReader.h"

#include "sftpclient/HostKeys.h"
#include "sftpclient/SftpSessionImpl.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <limits>
#include <netdb.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vorn::sftp {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kGoodbye = std::chrono::milliseconds(2000);

std::once_flag libraryStarted;

// Shared with the whole process and never torn down, like libssh2's.
void StartLibrary()
{
    std::call_once(libraryStarted, [] { ssh_init(); });
}

std::string Seconds(std::chrono::milliseconds timeout)
{
    return std::to_string(std::max<long long>(1, timeout.count() / 1000));
}

// The host key algorithms that show the key type the session verified: a server with several
// host keys then shows the same one to both connections. RSA keys sign with any SHA.
std::string HostKeyAlgorithms(const std::string& type)
{
    if (type == "ssh-rsa")
        return "rsa-sha2-512,rsa-sha2-256,ssh-rsa";
    return type;
}

// AES-GCM where the processor has AES instructions: there it costs both ends about two thirds
// of chacha20-poly1305's time (OpenSSL's figures on 32 KiB blocks), and on loopback the server
// shares the processor. Elsewhere libssh's own order, which starts with chacha20-poly1305.
const char* PreferredCiphers()
{
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("aes"))
        return "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,"
               "aes128-ctr,aes192-ctr,aes256-ctr";
#endif
    return nullptr;
}

std::string NumericHost(const sockaddr_storage& peer, socklen_t length)
{
    char host[NI_MAXHOST] = "";
    ::getnameinfo(
        reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    return host;
}

// Answers every prompt with the password for three rounds, as the session's own login does.
int KeyboardInteractive(ssh_session session, const std::string& secret)
{
    int rc = ssh_userauth_kbdint(session, nullptr, nullptr);
    for (int round = 0; rc == SSH_AUTH_INFO && round < 4; ++round) {
        const int prompts = ssh_userauth_kbdint_getnprompts(session);
        for (int i = 0; i < prompts; ++i)
            ssh_userauth_kbdint_setanswer(session, static_cast<unsigned>(i), round < 3 ? secret.c_str() : "");
        rc = ssh_userauth_kbdint(session, nullptr, nullptr);
    }
    return rc;
}

} // namespace

// Shuts the socket down when a wait outlasts its deadline. Arm and Disarm are an atomic store
// each (they come with every chunk); the thread wakes at the deadlines only.
class BulkReader::Watch {
public:
    explicit Watch(int fd)
        : fd_(fd)
        , thread_([this] { Run(); })
    {
    }
    ~Watch()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void Arm(std::chrono::milliseconds timeout)
    {
        const auto at = (Clock::now() + timeout).time_since_epoch().count();
        if (deadline_.exchange(at) == kIdle) {
            std::lock_guard lock(mutex_);
            wake_.notify_one();
        }
    }
    void Disarm() { deadline_ = kIdle; }
    [[nodiscard]] bool Fired() const { return fired_; }

private:
    static constexpr Clock::rep kIdle = std::numeric_limits<Clock::rep>::max();

    void Run()
    {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            const Clock::rep at = deadline_;
            if (at == kIdle) {
                wake_.wait(lock);
            } else if (Clock::now().time_since_epoch().count() >= at) {
                fired_ = true;
                deadline_ = kIdle;
                ::shutdown(fd_, SHUT_RDWR);
            } else {
                wake_.wait_until(lock, Clock::time_point(Clock::duration(at)));
            }
        }
    }

    const int fd_;
    std::atomic<Clock::rep> deadline_ { kIdle };
    std::atomic<bool> fired_ { false };
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_; // last: starts once the members above exist
};

// The read requests in flight, oldest first.
struct BulkReader::Pending {
    struct Request {
        std::uint32_t id;
        std::uint64_t at;
        std::uint32_t length;
    };
    std::deque<Request> requests;
};

BulkReader::BulkReader(const std::atomic<bool>& cancelled)
    : cancelled_(cancelled)
{
}

BulkReader::~BulkReader()
{
    Close(false);
}

void BulkReader::Cancel()
{
    std::lock_guard lock(socketLock_);
    if (socket_ >= 0)
        ::shutdown(socket_, SHUT_RDWR);
}

void BulkReader::Close(bool politely)
{
    if (session_) {
        politely = politely && !cancelled_ && !watch_->Fired()
            && (ssh_get_status(session_) & SSH_CLOSED_ERROR) == 0;
        if (!politely)
            Cancel();
        watch_->Arm(kGoodbye);
        if (sftp_)
            sftp_free(sftp_);
        if (politely)
            ssh_disconnect(session_);
        ssh_free(session_); // closes libssh's duplicate of the socket
    }
    sftp_ = nullptr;
    session_ = nullptr;
    watch_.reset();
    std::lock_guard lock(socketLock_);
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
}

Status BulkReader::Open(const SideLogin& login)
{
    StartLibrary();
    Close();
    inactivityTimeout_ = login.inactivityTimeout;
    Status done = Connect(login);
    if (done)
        done = CheckKey(login.verified);
    if (done)
        done = Authenticate(login);
    if (done) {
        watch_->Arm(inactivityTimeout_);
        sftp_ = sftp_new(session_);
        if (!sftp_ || sftp_init(sftp_) != SSH_OK) {
            done = Failure("Opening the SFTP channel");
            if (sftp_)
                sftp_free(sftp_);
            sftp_ = nullptr;
        }
        watch_->Disarm();
    }
    if (!done)
        Close(false);
    return done;
}

Status BulkReader::Connect(const SideLogin& login)
{
    Status outcome = Ok();
    const int fd = ConnectAddress(reinterpret_cast<const sockaddr*>(&login.peer), login.peerLength,
        login.connectTimeout, cancelled_, outcome);
    const std::string host = NumericHost(login.peer, login.peerLength);
    if (fd < 0)
        return Prefix(outcome, "Connecting to " + host);
    {
        std::lock_guard lock(socketLock_);
        socket_ = fd;
    }
    if (cancelled_)
        Cancel();
    watch_ = std::make_unique<Watch>(fd);
    session_ = ssh_new();
    const int theirs = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (!session_ || theirs < 0) {
        if (theirs >= 0)
            ::close(theirs);
        return MakeError(ErrorKind::Failed, "Cannot start an SSH session");
    }
    // The session's own settings only: no ~/.ssh/config, no known-hosts files (the key is
    // compared with the verified one below), no logging.
    const bool no = false;
    const int quiet = SSH_LOG_NOLOG;
    const long timeout = std::stol(Seconds(login.inactivityTimeout));
    const std::string algorithms = HostKeyAlgorithms(login.verified.type);
    ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_options_set(session_, SSH_OPTIONS_LOG_VERBOSITY, &quiet);
    ssh_options_set(session_, SSH_OPTIONS_FD, &theirs);
    ssh_options_set(session_, SSH_OPTIONS_HOST, host.c_str());
    ssh_options_set(session_, SSH_OPTIONS_USER, login.user.c_str());
    ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, "/dev/null");
    ssh_options_set(session_, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
    ssh_options_set(session_, SSH_OPTIONS_HOSTKEYS, algorithms.c_str());
    ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeout);
    if (const char* ciphers = PreferredCiphers()) {
        ssh_options_set(session_, SSH_OPTIONS_CIPHERS_C_S, ciphers);
        ssh_options_set(session_, SSH_OPTIONS_CIPHERS_S_C, ciphers);
    }
    watch_->Arm(login.connectTimeout);
    const int rc = ssh_connect(session_);
    watch_->Disarm();
    if (rc != SSH_OK)
        return Failure("SSH key exchange with " + host);
    return Ok();
}

Status BulkReader::CheckKey(const HostKey& verified)
{
    ssh_key key = nullptr;
    char* base64 = nullptr;
    std::string offered;
    if (ssh_get_server_publickey(session_, &key) == SSH_OK
        && ssh_pki_export_pubkey_base64(key, &base64) == SSH_OK)
        offered = DecodeKeyBlob(base64);
    ssh_string_free_char(base64);
    ssh_key_free(key);
    if (SameKeyBlob(verified, offered))
        return Ok();
    return MakeError(ErrorKind::Tls,
        "The second connection to " + verified.host + " showed another host key ("
            + (offered.empty() ? std::string("none") : Sha256Fingerprint(offered)) + ") than the verified "
            + verified.type + " " + verified.fingerprint);
}

Status BulkReader::Authenticate(const SideLogin& login)
{
    watch_->Arm(inactivityTimeout_);
    int rc = SSH_AUTH_DENIED;
    switch (login.method) {
    case LoginMethod::None:
        rc = ssh_userauth_none(session_, nullptr);
        break;
    case LoginMethod::Password:
        rc = ssh_userauth_password(session_, nullptr, login.secret.c_str());
        break;
    case LoginMethod::KeyboardInteractive:
        rc = KeyboardInteractive(session_, login.secret);
        break;
    case LoginMethod::Agent:
        rc = ssh_userauth_agent(session_, nullptr);
        break;
    case LoginMethod::KeyFile: {
        ssh_key key = nullptr;
        const char* phrase = login.secret.empty() ? nullptr : login.secret.c_str();
        if (ssh_pki_import_privkey_file(login.keyFile.c_str(), phrase, nullptr, nullptr, &key) != SSH_OK) {
            watch_->Disarm();
            return MakeError(ErrorKind::Failed, "Cannot read the key " + login.keyFile);
        }
        rc = ssh_userauth_publickey(session_, nullptr, key);
        ssh_key_free(key);
        break;
    }
    }
    watch_->Disarm();
    if (rc == SSH_AUTH_SUCCESS)
        return Ok();
    if (rc == SSH_AUTH_ERROR)
        return Failure("Logging in");
    return MakeError(ErrorKind::ServerPermanent, "The server refused the second login of " + login.user);
}

Error BulkReader::Failure(const std::string& what) const
{
    if (cancelled_)
        return MakeError(ErrorKind::Cancelled, what + ": cancelled");
    if (watch_ && watch_->Fired())
        return MakeError(ErrorKind::TimedOut,
            what + ": the server did not answer within " + Seconds(inactivityTimeout_) + " s");
    const std::string words = session_ ? ssh_get_error(session_) : "not connected";
    if (!session_ || (ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0)
        return MakeError(ErrorKind::Closed, what + ": the connection was lost (" + words + ")");
    if (sftp_)
        if (const int status = sftp_get_error(sftp_); status != SSH_FX_OK && status != SSH_FX_EOF)
            return MakeError(ErrorKind::ServerPermanent,
                what + ": " + SftpStatusText(static_cast<unsigned>(status)), status);
    return MakeError(ErrorKind::Protocol, what + ": " + words);
}

Result<std::uint64_t> BulkReader::Read(const std::string& path, int fd, std::uint64_t offset,
    std::uint64_t size, const Progress& progress, const Hook& keepGoing)
{
    const std::string what = "Downloading " + path;
    if (!sftp_)
        return MakeError(ErrorKind::Closed, what + ": not connected");
    watch_->Arm(inactivityTimeout_);
    sftp_file file = sftp_open(sftp_, path.c_str(), O_RDONLY, 0);
    watch_->Disarm();
    if (!file) {
        Error refused = Failure(what);
        if (refused.kind != ErrorKind::ServerPermanent)
            Close(false);
        return refused;
    }
    auto result = Pump(file, fd, offset, size, progress, keepGoing, what);
    if (!result)
        Cancel(); // what is still in flight goes with the connection; the close then fails at once
    watch_->Arm(inactivityTimeout_);
    sftp_close(file);
    watch_->Disarm();
    // The copy is whole even when the close found the connection gone; the next file then
    // opens a new one.
    if (!result || watch_->Fired() || (ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0)
        Close(false);
    return result;
}

Result<std::uint64_t> BulkReader::Pump(sftp_file_struct* file, int fd, std::uint64_t offset,
    std::uint64_t size, const Progress& progress, const Hook& keepGoing, const std::string& what)
{
    std::vector<char> buffer(chunk);
    Pending pending;
    std::uint32_t step = chunk; // a server that gives less per request is asked for less
    std::uint64_t asked = offset; // where the next request starts
    std::uint64_t at = offset; // the file is whole up to here
    bool ended = false;
    for (;;) {
        // Up to a request that starts at the listed end: it finds the end, or that the file grew.
        while (!ended && pending.requests.size() < inFlight && asked <= size) {
            sftp_seek64(file, asked);
            watch_->Arm(inactivityTimeout_);
            const int id = sftp_async_read_begin(file, step);
            if (id < 0)
                return Failure(what);
            pending.requests.push_back({ static_cast<std::uint32_t>(id), asked, step });
            asked += step;
        }
        if (pending.requests.empty())
            break;
        const auto request = pending.requests.front();
        pending.requests.pop_front();
        watch_->Arm(inactivityTimeout_);
        const int n = sftp_async_read(file, buffer.data(), request.length, request.id);
        watch_->Disarm();
        if (n < 0)
            return Failure(what);
        if (n > 0 && !WriteAt(fd, buffer.data(), static_cast<size_t>(n), at))
            return MakeError(ErrorKind::LocalIo, what + ": " + std::strerror(errno));
        at += static_cast<std::uint64_t>(n);
        if (n > 0 && progress)
            progress(at, size);
        if (at > size)
            return MakeError(ErrorKind::Failed,
                what + ": the file grew during the transfer beyond " + std::to_string(size) + " bytes");
        if (static_cast<std::uint32_t>(n) < request.length) {
            // The end, or a server that gave less than asked. What was asked beyond is read
            // out and dropped, so the file stays whole up to `at` (a resume continues there).
            auto beyond = Drain(file, pending);
            if (!beyond)
                return beyond.error();
            ended = n == 0 || at == size;
            if (ended && *beyond)
                return MakeError(ErrorKind::Failed,
                    what + ": the file grew during the transfer beyond " + std::to_string(size) + " bytes");
            if (!ended)
                step = static_cast<std::uint32_t>(n);
            asked = at;
        }
        if (!keepGoing())
            return cancelled_ ? Failure(what) : MakeError(ErrorKind::Cancelled, what + ": stopped");
    }
    if (at != size)
        return MakeError(ErrorKind::Failed,
            what + ": the file ended after " + std::to_string(at) + " bytes, " + std::to_string(size)
                + " were expected");
    return at - offset;
}

Result<bool> BulkReader::Drain(sftp_file_struct* file, Pending& pending)
{
    std::vector<char> buffer(chunk);
    bool data = false;
    while (!pending.requests.empty()) {
        const auto request = pending.requests.front();
        pending.requests.pop_front();
        watch_->Arm(inactivityTimeout_);
        const int n = sftp_async_read(file, buffer.data(), request.length, request.id);
        watch_->Disarm();
        if (n < 0)
            return Failure("Downloading");
        data = data || n > 0;
    }
    return data;
}

} // namespace vorn::sftp
