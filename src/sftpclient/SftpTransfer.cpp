#include "sftpclient/SftpSession.h"
#include "sftpclient/SftpSessionImpl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vorn::sftp {
namespace {

// libssh2 keeps up to four times the buffer of a read in flight (about 140 requests of 30 000
// bytes for 1 MiB) and turns one write call into as many requests as its buffer holds.
constexpr size_t kBuffer = 1 << 20;
// The most libssh2 asks for in one read request.
constexpr std::uint64_t kRequest = 30000;
// The closes whose answers a run of files opened ahead leaves uncollected at most.
constexpr size_t kClosesHeld = 32;
// How often the first connection sends a keep-alive while the second one reads a large file.
constexpr auto kBeat = std::chrono::seconds(30);
// The longest round trip at which the second connection reads faster. libssh 0.10 keeps its
// channel window near 1.2 MB, so its reads slow down with distance where libssh2's do not:
// against libssh2 it read 1.6x as fast on loopback, 1.3x at 2 ms, 0.96x at 4 ms and 0.63x at
// 10 ms (bench/README.md, `sftp_libs.sh`).
constexpr auto kNearRoundTrip = std::chrono::microseconds(3000);

unsigned Length(const std::string& text)
{
    return static_cast<unsigned>(text.size());
}

Error Stopped(const std::string& what)
{
    return MakeError(ErrorKind::Cancelled, what + ": stopped");
}

Error LocalFailure(const std::string& what)
{
    return MakeError(ErrorKind::LocalIo, what + ": " + std::strerror(errno));
}

// The name an upload travels under until it is complete: hidden, and within the 255 bytes a
// name may have however long the final name is.
std::string TemporaryName(const std::string& name)
{
    if (name.size() <= 200)
        return "." + name + ".vorn-part";
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string> {}(name));
    return "." + name.substr(0, 200) + "." + hash + ".vorn-part";
}

} // namespace

Result<std::uint64_t> SftpSession::Impl::ReadInto(LIBSSH2_SFTP_HANDLE* handle, int fd, std::uint64_t offset,
    std::int64_t expectedSize, const Progress& progress, const std::string& what)
{
    const auto expected = static_cast<std::uint64_t>(std::max<std::int64_t>(expectedSize, 0));
    // A buffer just past the expected end keeps libssh2 from asking far beyond a small file.
    size_t want = kBuffer;
    if (expectedSize >= 0 && expected >= offset)
        want = static_cast<size_t>(std::min<std::uint64_t>(kBuffer, expected - offset + 1));
    std::vector<char> buffer(want);
    std::uint64_t at = offset;
    // A file that fits one request was asked for up to a byte past its listed end. A regular
    // file's read gives every byte asked for up to its end, so when that first answer stops
    // exactly at the listed size the file ends there, and the read that would only confirm it
    // (one more round trip per small file) is left out. More bytes still mean it grew.
    const bool oneRequest = expectedSize >= 0 && expected >= offset && expected - offset + 1 <= kRequest;
    for (bool first = true;; first = false) {
        const ssize_t n = libssh2_sftp_read(handle, buffer.data(), buffer.size());
        if (n < 0)
            return LastError(what);
        if (n == 0)
            break;
        if (!WriteAt(fd, buffer.data(), static_cast<size_t>(n), at))
            return LocalFailure(what);
        at += static_cast<std::uint64_t>(n);
        if (progress)
            progress(at, expected);
        if (expectedSize >= 0 && at > expected)
            return MakeError(ErrorKind::Failed,
                what + ": the file grew during the transfer beyond " + std::to_string(expected) + " bytes");
        if (first && oneRequest && at == expected)
            break;
        if (!Continue())
            return cancelled ? LastError(what) : Stopped(what);
    }
    if (expectedSize >= 0 && at != expected)
        return MakeError(ErrorKind::Failed,
            what + ": the file ended after " + std::to_string(at) + " bytes, " + std::to_string(expected)
                + " were expected");
    return at - offset;
}

Result<std::uint64_t> SftpSession::Impl::WriteFrom(
    int fd, LIBSSH2_SFTP_HANDLE* handle, const Progress& progress, const std::string& what)
{
    std::vector<char> buffer(kBuffer);
    size_t held = 0; // bytes of the buffer not yet acknowledged by the server
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    if (start < 0)
        return LocalFailure(what);
    auto read = static_cast<std::uint64_t>(start);
    std::uint64_t sent = 0;
    bool end = false;
    for (;;) {
        // libssh2 skips what it has already sent of the buffer: the part it still holds stays
        // at the front, and new data goes behind it.
        while (!end && held < buffer.size()) {
            const ssize_t n
                = ::pread(fd, buffer.data() + held, buffer.size() - held, static_cast<off_t>(read));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return LocalFailure(what);
            end = n == 0;
            held += static_cast<size_t>(n);
            read += static_cast<std::uint64_t>(n);
        }
        if (held == 0)
            return sent;
        const ssize_t n = libssh2_sftp_write(handle, buffer.data(), held);
        if (n < 0)
            return LastError(what);
        std::memmove(buffer.data(), buffer.data() + n, held - static_cast<size_t>(n));
        held -= static_cast<size_t>(n);
        sent += static_cast<std::uint64_t>(n);
        if (progress)
            progress(sent, 0);
        if (!Continue())
            return cancelled ? LastError(what) : Stopped(what);
    }
}

Result<bool> SftpSession::Impl::NeedBulk()
{
    if (bulk.IsOpen())
        return true;
    if (bulkRefused)
        return false;
    if (roundTrip > kNearRoundTrip) {
        if (!std::exchange(farNoted, true))
            Note("The server answers in " + std::to_string(roundTrip.count() / 1000)
                + " ms: large files are read over the first connection, which keeps more in flight");
        return false;
    }
    SideLogin login;
    {
        std::lock_guard lock(socketLock);
        login.peerLength = sizeof login.peer;
        if (socket < 0
            || ::getpeername(socket, reinterpret_cast<sockaddr*>(&login.peer), &login.peerLength) != 0)
            login.peerLength = 0;
    }
    login.verified = hostKey.offered;
    login.user = loginUser;
    login.secret = loginSecret;
    login.keyFile = options.keyFile;
    login.method = loginMethod;
    login.connectTimeout = connectTimeout;
    login.inactivityTimeout = inactivityTimeout;
    Status opened = login.peerLength == 0 || hostKey.verdict != HostKeyCheck::Verdict::Trusted
        ? MakeError(ErrorKind::Closed, "the first connection has no verified server")
        : bulk.Open(login);
    login.secret.assign(login.secret.size(), '\0');
    if (opened) {
        Note("Large files are read over a second connection to " + options.host);
        return true;
    }
    if (opened.error().kind == ErrorKind::Cancelled)
        return opened.error();
    // Server limits or a refused login: the first connection reads them, as it reads the rest.
    bulkRefused = true;
    Note("No second connection for large files (" + opened.message() + "); they are read over the first one");
    return false;
}

std::chrono::microseconds SftpSession::Impl::MeasureRoundTrip()
{
    auto shortest = std::chrono::microseconds::max();
    char path[1024];
    // The shortest of five: a busy machine delays some answers, never all of them.
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (libssh2_sftp_symlink_ex(sftp, ".", 1, path, sizeof path, LIBSSH2_SFTP_REALPATH) < 0)
            continue;
        shortest = std::min(shortest,
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start));
    }
    return shortest;
}

void SftpSession::Impl::BeatWhileIdle()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - lastBeat < kBeat || !session || broken)
        return;
    lastBeat = now;
    // The answer waits in the socket until the next operation on this connection reads it.
    libssh2_keepalive_config(session, 1, 1);
    int next = 0;
    (void)libssh2_keepalive_send(session, &next);
    libssh2_keepalive_config(session, 1, 0);
}

Result<std::uint64_t> SftpSession::Impl::BulkDownload(
    const std::string& path, int fd, std::uint64_t offset, std::uint64_t size, const Progress& progress)
{
    // The first connection's open of this path, sent ahead, is not needed; the next file's is.
    if (auto ahead = TakeExpectedOpen(path); ahead && *ahead)
        CloseLater(*ahead);
    if (std::string next = std::exchange(expectedPath, {}); !next.empty() && next != path)
        SendExpectedOpen(next);
    lastBeat = std::chrono::steady_clock::now();
    return bulk.Read(path, fd, offset, size, progress, [this] {
        BeatWhileIdle();
        return Continue();
    });
}

Result<std::uint64_t> SftpSession::Download(const std::string& remotePath, int fileFd, std::uint64_t offset,
    std::int64_t expectedSize, const Progress& progress)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(false); !s)
        return s.error();
    const std::string full = impl_->Absolute(remotePath);
    const std::string what = "Downloading " + full;
    if (expectedSize >= 0 && static_cast<std::uint64_t>(expectedSize) >= impl_->bulkThreshold) {
        auto bulk = impl_->NeedBulk();
        if (!bulk)
            return bulk.error();
        if (*bulk)
            return impl_->BulkDownload(
                full, fileFd, offset, static_cast<std::uint64_t>(expectedSize), progress);
    }
    auto ahead = impl_->TakeExpectedOpen(full);
    if (!ahead)
        return ahead.error();
    LIBSSH2_SFTP_HANDLE* handle = *ahead ? *ahead : impl_->OpenForReading(full);
    if (!handle)
        return impl_->LastError(what);
    // The next file's open goes out now; its answer waits while this file is read.
    if (std::string next = std::exchange(impl_->expectedPath, {}); !next.empty() && next != full)
        impl_->SendExpectedOpen(next);
    // Opened ahead, this file skipped OpenForReading's collection of the closes' answers
    // (which arrive while files are read): collected now and then.
    if (*ahead && impl_->closing.size() >= kClosesHeld)
        impl_->FinishCloses();
    if (offset > 0)
        libssh2_sftp_seek64(handle, offset);
    auto result = impl_->ReadInto(handle, fileFd, offset, expectedSize, progress, what);
    if (result)
        impl_->CloseLater(handle);
    else
        libssh2_sftp_close_handle(handle);
    return result;
}

void SftpSession::ExpectDownload(const std::string& remotePath)
{
    std::lock_guard lock(impl_->command);
    impl_->expectedPath = remotePath.empty() ? std::string() : impl_->Absolute(remotePath);
}

Result<std::uint64_t> SftpSession::Upload(
    int fileFd, const std::string& remoteFolder, const std::string& name, const Progress& progress)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos
        || name.find('\0') != std::string::npos)
        return MakeError(ErrorKind::Invalid, "Cannot upload under the name \"" + name + "\"");
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s.error();
    const std::string folder = impl_->Absolute(remoteFolder);
    const std::string target = folder == "/" ? "/" + name : folder + "/" + name;
    const std::string temporary = (folder == "/" ? "/" : folder + "/") + TemporaryName(name);
    const std::string what = "Uploading " + target;
    LIBSSH2_SFTP_HANDLE* handle = libssh2_sftp_open_ex(impl_->sftp, temporary.c_str(), Length(temporary),
        LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644, LIBSSH2_SFTP_OPENFILE);
    if (!handle)
        return impl_->LastError(what);
    auto result = impl_->WriteFrom(fileFd, handle, progress, what);
    Status done = Ok();
    if (result && libssh2_sftp_close_handle(handle) != 0)
        done = impl_->LastError(what);
    else if (!result)
        libssh2_sftp_close_handle(handle);
    if (result && done)
        done = impl_->RenameReplacing(temporary, target);
    if (result && done)
        return result;
    // A connection that is gone takes the temporary file's removal with it; try anyway.
    if (!impl_->cancelled)
        libssh2_sftp_unlink_ex(impl_->sftp, temporary.c_str(), Length(temporary));
    return result ? done.error() : result.error();
}

bool WriteAt(int fd, const char* data, size_t size, std::uint64_t at)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        at += static_cast<std::uint64_t>(n);
    }
    return true;
}

} // namespace vorn::sftp
