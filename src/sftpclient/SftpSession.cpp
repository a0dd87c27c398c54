#include "sftpclient/SftpSession.h"

#include "sftpclient/HostKeys.h"
#include "sftpclient/SftpSessionImpl.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace vorn::sftp {
namespace {

std::once_flag libraryStarted;

// libssh2_init is not thread-safe; every session goes through here first. The library stays
// set up until the process ends.
void StartLibrary()
{
    std::call_once(libraryStarted, [] { libssh2_init(0); });
}

} // namespace

std::string SftpStatusText(unsigned long code)
{
    switch (code) {
    case LIBSSH2_FX_EOF:
        return "end of file";
    case LIBSSH2_FX_NO_SUCH_FILE:
        return "no such file";
    case LIBSSH2_FX_PERMISSION_DENIED:
        return "permission denied";
    case LIBSSH2_FX_FAILURE:
        return "the server failed";
    case LIBSSH2_FX_BAD_MESSAGE:
        return "bad message";
    case LIBSSH2_FX_OP_UNSUPPORTED:
        return "not supported by the server";
    case LIBSSH2_FX_NO_SUCH_PATH:
        return "no such path";
    case LIBSSH2_FX_FILE_ALREADY_EXISTS:
        return "it already exists";
    case LIBSSH2_FX_WRITE_PROTECT:
        return "write protected";
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM:
        return "no space left on the server";
    case LIBSSH2_FX_QUOTA_EXCEEDED:
        return "quota exceeded";
    case LIBSSH2_FX_DIR_NOT_EMPTY:
        return "the folder is not empty";
    case LIBSSH2_FX_NOT_A_DIRECTORY:
        return "not a folder";
    case LIBSSH2_FX_LINK_LOOP:
        return "too many levels of links";
    default:
        return "SFTP status " + std::to_string(code);
    }
}

void* SftpSession::Impl::Allocate(size_t size, void** abstract)
{
    auto* impl = static_cast<Impl*>(*abstract);
    auto* block = static_cast<Block*>(std::malloc(offsetof(Block, data) + size));
    if (!block)
        return nullptr;
    block->previous = nullptr;
    block->next = impl->blocks;
    if (impl->blocks)
        impl->blocks->previous = block;
    impl->blocks = block;
    return block->data;
}

void SftpSession::Impl::Release(void* pointer, void** abstract)
{
    if (!pointer)
        return;
    auto* impl = static_cast<Impl*>(*abstract);
    auto* block = reinterpret_cast<Block*>(static_cast<unsigned char*>(pointer) - offsetof(Block, data));
    (block->previous ? block->previous->next : impl->blocks) = block->next;
    if (block->next)
        block->next->previous = block->previous;
    std::free(block);
}

void* SftpSession::Impl::Reallocate(void* pointer, size_t size, void** abstract)
{
    if (!pointer)
        return Allocate(size, abstract);
    auto* old = reinterpret_cast<Block*>(static_cast<unsigned char*>(pointer) - offsetof(Block, data));
    void* fresh = Allocate(size, abstract);
    if (!fresh)
        return nullptr;
    // The old block's size is not kept: copy what fits of it (malloc_usable_size bounds it).
    std::memcpy(fresh, pointer, std::min(size, malloc_usable_size(old) - offsetof(Block, data)));
    Release(pointer, abstract);
    return fresh;
}

void SftpSession::Impl::ReleaseAll()
{
    while (blocks) {
        Block* next = blocks->next;
        std::free(blocks);
        blocks = next;
    }
}

Error SftpSession::Impl::LastError(const std::string& what) const
{
    if (cancelled)
        return MakeError(ErrorKind::Cancelled, what + ": cancelled");
    if (!session)
        return MakeError(ErrorKind::Closed, what + ": not connected");
    char* text = nullptr;
    const int code = libssh2_session_last_error(session, &text, nullptr, 0);
    const std::string words = text && *text ? text : "error " + std::to_string(code);
    if (code == LIBSSH2_ERROR_SFTP_PROTOCOL && sftp) {
        const unsigned long status = libssh2_sftp_last_error(sftp);
        const ErrorKind kind = status == LIBSSH2_FX_NO_CONNECTION || status == LIBSSH2_FX_CONNECTION_LOST
            ? ErrorKind::Closed
            : ErrorKind::ServerPermanent;
        return MakeError(kind, what + ": " + SftpStatusText(status), static_cast<int>(status));
    }
    broken = broken || code == LIBSSH2_ERROR_TIMEOUT || code == LIBSSH2_ERROR_SOCKET_RECV
        || code == LIBSSH2_ERROR_SOCKET_SEND || code == LIBSSH2_ERROR_SOCKET_DISCONNECT;
    switch (code) {
    case LIBSSH2_ERROR_TIMEOUT:
        return MakeError(ErrorKind::TimedOut,
            what + ": the server did not answer within " + std::to_string(inactivityTimeout.count() / 1000)
                + " s");
    case LIBSSH2_ERROR_SOCKET_RECV:
    case LIBSSH2_ERROR_SOCKET_SEND:
    case LIBSSH2_ERROR_SOCKET_DISCONNECT:
    case LIBSSH2_ERROR_CHANNEL_CLOSED:
    case LIBSSH2_ERROR_CHANNEL_EOF_SENT:
        return MakeError(ErrorKind::Closed, what + ": the connection was lost (" + words + ")");
    case LIBSSH2_ERROR_ALLOC:
        return MakeError(ErrorKind::Failed, what + ": " + words);
    default:
        return MakeError(ErrorKind::Protocol, what + ": " + words);
    }
}

Status SftpSession::Impl::NeedChannel(bool finishCloses)
{
    if (cancelled)
        return MakeError(ErrorKind::Cancelled, "cancelled");
    if (!sftp)
        return MakeError(ErrorKind::Closed, "Not logged in");
    if (finishCloses) {
        DropExpectedOpen();
        FinishCloses();
    }
    return Ok();
}

LIBSSH2_SFTP_HANDLE* SftpSession::Impl::OpenForReading(const std::string& path)
{
    const auto length = static_cast<unsigned>(path.size());
    LIBSSH2_SFTP_HANDLE* handle = nullptr;
    if (!closing.empty()) {
        libssh2_session_set_blocking(session, 0);
        handle = libssh2_sftp_open_ex(sftp, path.c_str(), length, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
        const bool waiting = !handle && libssh2_session_last_errno(session) == LIBSSH2_ERROR_EAGAIN;
        const bool sending = libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND;
        libssh2_session_set_blocking(session, 1);
        // An open that failed outright, or one still on its way out, is finished (or
        // repeated) on its own before the closes are.
        if (!handle && (!waiting || sending))
            return libssh2_sftp_open_ex(
                sftp, path.c_str(), length, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
        FinishCloses();
        if (handle)
            return handle;
    }
    return libssh2_sftp_open_ex(sftp, path.c_str(), length, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
}

void SftpSession::Impl::CloseLater(LIBSSH2_SFTP_HANDLE* handle)
{
    libssh2_session_set_blocking(session, 0);
    const int rc = libssh2_sftp_close_handle(handle);
    // A close still on its way out must be finished before any other packet is sent.
    const bool sending = libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND;
    libssh2_session_set_blocking(session, 1);
    if (rc != LIBSSH2_ERROR_EAGAIN)
        return; // closed already, or failed: the handle's memory goes with the session
    if (sending)
        (void)libssh2_sftp_close_handle(handle);
    else
        closing.push_back(handle);
}

void SftpSession::Impl::SendExpectedOpen(const std::string& path)
{
    const auto length = static_cast<unsigned>(path.size());
    libssh2_session_set_blocking(session, 0);
    LIBSSH2_SFTP_HANDLE* handle
        = libssh2_sftp_open_ex(sftp, path.c_str(), length, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
    const bool waiting = !handle && libssh2_session_last_errno(session) == LIBSSH2_ERROR_EAGAIN;
    const bool sending = libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND;
    libssh2_session_set_blocking(session, 1);
    if (!handle && !waiting)
        return; // refused at once: the Download of the path opens it again and says why
    openedAhead = path;
    aheadHandle = handle;
    aheadInFlight = !handle;
    // A request still on its way out must be finished before any other packet is sent.
    if (aheadInFlight && sending)
        FinishExpectedOpen();
}

void SftpSession::Impl::FinishExpectedOpen()
{
    if (!aheadInFlight)
        return;
    aheadInFlight = false;
    // libssh2 keeps one open at a time: this call only collects the answer of the one sent.
    aheadHandle = libssh2_sftp_open_ex(sftp, openedAhead.c_str(), static_cast<unsigned>(openedAhead.size()),
        LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
    // Said now, while the library's last error is still this open's; Download reports it.
    if (!aheadHandle)
        aheadError = LastError("Downloading " + openedAhead);
}

Result<LIBSSH2_SFTP_HANDLE*> SftpSession::Impl::TakeExpectedOpen(const std::string& path)
{
    if (openedAhead.empty() || openedAhead != path) {
        DropExpectedOpen();
        return static_cast<LIBSSH2_SFTP_HANDLE*>(nullptr);
    }
    FinishExpectedOpen();
    LIBSSH2_SFTP_HANDLE* handle = std::exchange(aheadHandle, nullptr);
    std::optional<Error> error = std::exchange(aheadError, std::nullopt);
    openedAhead.clear();
    if (error)
        return *error;
    return handle;
}

void SftpSession::Impl::DropExpectedOpen()
{
    if (openedAhead.empty())
        return;
    FinishExpectedOpen();
    if (aheadHandle)
        CloseLater(aheadHandle);
    aheadHandle = nullptr;
    aheadError.reset();
    openedAhead.clear();
}

void SftpSession::Impl::FinishCloses()
{
    // A read handle's close cannot lose data: its answer only frees the server's handle.
    for (LIBSSH2_SFTP_HANDLE* handle : closing)
        (void)libssh2_sftp_close_handle(handle);
    closing.clear();
}

std::string SftpSession::Impl::Absolute(const std::string& path) const
{
    if (path.empty())
        return current;
    if (path[0] == '/')
        return path;
    return current == "/" ? "/" + path : current + "/" + path;
}

void SftpSession::Impl::Close(bool politely)
{
    // Closing the channel waits for the server's answer: a live server gets two seconds;
    // with a broken or cancelled connection the socket is shut down first, so that every
    // step fails at once and libssh2 still frees what it holds.
    politely = politely && !broken && !cancelled;
    bulk.Close(politely);
    std::unique_lock lock(socketLock);
    if (!politely && socket >= 0)
        ::shutdown(socket, SHUT_RDWR);
    lock.unlock();
    if (session)
        libssh2_session_set_timeout(session, 2000);
    if (sftp && politely) {
        DropExpectedOpen();
        FinishCloses();
    }
    closing.clear();
    // What was opened ahead goes with the session (its memory with ReleaseAll).
    expectedPath.clear();
    openedAhead.clear();
    aheadInFlight = false;
    aheadHandle = nullptr;
    aheadError.reset();
    if (sftp)
        (void)libssh2_sftp_shutdown(sftp);
    sftp = nullptr;
    if (session) {
        if (politely)
            libssh2_session_disconnect(session, "Goodbye");
        lock.lock();
        ::shutdown(socket, SHUT_RDWR);
        lock.unlock();
        libssh2_session_free(session);
        session = nullptr;
    }
    ReleaseAll();
    lock.lock();
    if (socket >= 0) {
        ::close(socket);
        socket = -1;
    }
    broken = false;
    realPaths.clear();
    loginSecret.assign(loginSecret.size(), '\0');
    loginSecret.clear();
}

SftpSession::SftpSession()
    : impl_(std::make_unique<Impl>())
{
    StartLibrary();
}

SftpSession::~SftpSession()
{
    Disconnect();
}

void SftpSession::SetConnectTimeout(std::chrono::milliseconds timeout)
{
    impl_->connectTimeout = timeout;
}
void SftpSession::SetInactivityTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard lock(impl_->command);
    impl_->inactivityTimeout = timeout;
    if (impl_->session)
        libssh2_session_set_timeout(impl_->session, static_cast<long>(timeout.count()));
}
std::chrono::milliseconds SftpSession::ConnectTimeout() const
{
    return impl_->connectTimeout;
}
std::chrono::milliseconds SftpSession::InactivityTimeout() const
{
    return impl_->inactivityTimeout;
}
void SftpSession::SetTransferHook(TransferHook hook)
{
    impl_->hook = std::move(hook);
}
void SftpSession::SetKeyFile(std::string path)
{
    impl_->options.keyFile = std::move(path);
}
void SftpSession::SetUseAgent(bool use)
{
    impl_->options.useAgent = use;
}
void SftpSession::SetKnownHostsFiles(std::string userFile, std::string ownFile)
{
    impl_->options.userKnownHosts = std::move(userFile);
    impl_->options.ownKnownHosts = std::move(ownFile);
}
void SftpSession::SetTrace(Trace trace)
{
    impl_->trace = std::move(trace);
}
void SftpSession::SetBulkReadThreshold(std::uint64_t bytes)
{
    impl_->bulkThreshold = bytes;
}
void SftpSession::SetFollowLinks(bool follow)
{
    impl_->followLinks = follow;
}

void SftpSession::Cancel()
{
    impl_->cancelled = true;
    impl_->bulk.Cancel();
    std::lock_guard lock(impl_->socketLock);
    if (impl_->socket >= 0)
        ::shutdown(impl_->socket, SHUT_RDWR);
}

Status SftpSession::Connect(const std::string& host, std::uint16_t port)
{
    std::lock_guard lock(impl_->command);
    impl_->Close(false);
    impl_->hostKey = {};
    // A second connection refused by one server may well be allowed by another.
    if (host != impl_->options.host || port != impl_->options.port)
        impl_->bulkRefused = false;
    impl_->options.host = host;
    impl_->options.port = port;
    if (Status s = impl_->OpenSocket(host, port); !s)
        return s;
    Status s = impl_->Handshake();
    if (!s)
        impl_->Close(false);
    return s;
}

const HostKeyCheck& SftpSession::HostKeyStatus() const
{
    return impl_->hostKey;
}

Status SftpSession::Login(const std::string& user, const std::string& password)
{
    std::lock_guard lock(impl_->command);
    if (!impl_->session)
        return MakeError(ErrorKind::Closed, "Logging in: not connected");
    if (Status s = impl_->Authenticate(user, password); !s)
        return s;
    impl_->sftp = libssh2_sftp_init(impl_->session);
    if (!impl_->sftp)
        return impl_->LastError("Opening the SFTP channel");
    auto home = impl_->Real(".");
    if (!home)
        return home.error();
    impl_->current = *home;
    impl_->roundTrip = impl_->MeasureRoundTrip();
    impl_->loginUser = user;
    impl_->loginSecret = password;
    return Ok();
}

std::string SftpSession::OfferedMethods() const
{
    return impl_->offeredMethods;
}

void SftpSession::Disconnect()
{
    std::lock_guard lock(impl_->command);
    impl_->Close(true);
}

Status SftpSession::KeepAlive()
{
    std::unique_lock lock(impl_->command, std::try_to_lock);
    if (!lock.owns_lock())
        return Ok();
    if (!impl_->session || impl_->cancelled || impl_->broken)
        return MakeError(ErrorKind::Closed, "Not connected");
    // libssh2 sends a keep-alive only with an interval set, but with one set every wait of
    // a blocking call would end after that interval: it is set for this one call.
    libssh2_keepalive_config(impl_->session, 1, 1);
    int next = 0;
    const int rc = libssh2_keepalive_send(impl_->session, &next);
    libssh2_keepalive_config(impl_->session, 1, 0);
    if (rc != 0)
        return impl_->LastError("Keep-alive");
    return Ok();
}

} // namespace vorn::sftp
