#pragma once

// The inside of SftpSession, shared by the files that implement it. Not for other folders.

#include "sftpclient/BulkReader.h"
#include "sftpclient/SftpSession.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace vorn::sftp {

// A TCP connection to `address` (TCP_NODELAY set, blocking), or -1 with the reason in
// `outcome`; the wait is bounded by `timeout` and ends when `cancelled` is set.
[[nodiscard]] int ConnectAddress(const sockaddr* address, socklen_t length, std::chrono::milliseconds timeout,
    const std::atomic<bool>& cancelled, Status& outcome);
// An SFTP status code in words ("no such file").
[[nodiscard]] std::string SftpStatusText(unsigned long code);

class SftpSession::Impl {
public:
    ~Impl() { Close(false); }

    // Connection and login (SftpSession.cpp).
    Status OpenSocket(const std::string& host, std::uint16_t port);
    Status Handshake();
    Status Authenticate(const std::string& user, const std::string& password);
    Status TryAgent(const std::string& user);
    Status TryPassword(const std::string& user, const std::string& password);
    void Close(bool politely);

    // The failure of the last libssh2 call, as an Error; `what` says what was being done.
    [[nodiscard]] Error LastError(const std::string& what) const;
    // Whether the SFTP channel is open; finishes the closes left pending first.
    [[nodiscard]] Status NeedChannel(bool finishCloses = true);
    // Opens `path` for reading; its request goes out before the answers to pending closes
    // are awaited, so that a walk over small files pays one round trip less per file.
    LIBSSH2_SFTP_HANDLE* OpenForReading(const std::string& path);
    // Sends the close of a file that was read to its end and leaves its confirmation for
    // the next operation, which then overlaps with this one's round trip.
    void CloseLater(LIBSSH2_SFTP_HANDLE* handle);
    void FinishCloses();
    // The open of the file hinted by ExpectDownload: sent without waiting while the current
    // file is read, taken by the Download of that path, closed by any other operation.
    void SendExpectedOpen(const std::string& path);
    void FinishExpectedOpen();
    // The handle opened ahead for `path`, the reason that open was refused, or null when
    // nothing was opened ahead for it. Closes a handle opened for another path.
    Result<LIBSSH2_SFTP_HANDLE*> TakeExpectedOpen(const std::string& path);
    void DropExpectedOpen();
    [[nodiscard]] std::string Absolute(const std::string& path) const;

    // Folders and files (SftpFiles.cpp).
    Result<SftpEntry> StatPath(const std::string& path, bool followLink);
    Result<std::string> Real(const std::string& path);
    void ResolveLink(const std::string& folder, SftpEntry& entry);
    bool LeadsBack(const std::string& listedFolder, const std::string& target);
    Status RenameReplacing(const std::string& from, const std::string& to);

    // Transfers (SftpTransfer.cpp).
    Result<std::uint64_t> ReadInto(LIBSSH2_SFTP_HANDLE* handle, int fd, std::uint64_t offset,
        std::int64_t expectedSize, const Progress& progress, const std::string& what);
    Result<std::uint64_t> WriteFrom(
        int fd, LIBSSH2_SFTP_HANDLE* handle, const Progress& progress, const std::string& what);
    bool Continue() { return !cancelled && (!hook || hook()); }

    // Large files over the second connection (SftpTransfer.cpp). Whether the bulk reader is
    // open now (opened on first use); false when it cannot be, and then for good.
    Result<bool> NeedBulk();
    Result<std::uint64_t> BulkDownload(
        const std::string& path, int fd, std::uint64_t offset, std::uint64_t size, const Progress& progress);
    // The shortest of a few SFTP round trips on this connection (at Login); max() when none came back.
    std::chrono::microseconds MeasureRoundTrip();
    // A keep-alive on the first connection now and then while the second one reads.
    void BeatWhileIdle();
    void Note(const std::string& line) const
    {
        if (trace)
            trace(line);
    }

    std::chrono::milliseconds connectTimeout { 30000 };
    std::chrono::milliseconds inactivityTimeout { 60000 };
    TransferHook hook;
    SftpOptions options;
    bool followLinks = false;

    std::mutex command; // held by every operation; KeepAlive only tries it
    std::mutex socketLock; // guards `socket` between Close and Cancel
    int socket = -1;
    std::atomic<bool> cancelled { false };
    BulkReader bulk { cancelled }; // made with the session, so that Cancel always finds it
    std::uint64_t bulkThreshold = bulkReadThreshold;
    bool bulkRefused = false; // the second connection could not be used: not tried again
    std::chrono::microseconds roundTrip { 0 }; // measured at Login
    bool farNoted = false; // the trace said once that the server is too far for it
    std::chrono::steady_clock::time_point lastBeat;
    Trace trace;
    // How Login succeeded, for the second connection.
    LoginMethod loginMethod = LoginMethod::None;
    std::string loginUser;
    std::string loginSecret;
    // A wait ran out or the socket failed: nothing more is said to the server, and the
    // socket is shut down before libssh2 lets go of the session (else it would wait again).
    mutable bool broken = false;
    LIBSSH2_SESSION* session = nullptr;
    LIBSSH2_SFTP* sftp = nullptr;
    std::vector<LIBSSH2_SFTP_HANDLE*> closing; // closes sent, their answers not yet read
    std::string expectedPath; // hinted by ExpectDownload (absolute), its open not yet sent
    std::string openedAhead; // the path of the open sent ahead; empty: none
    bool aheadInFlight = false; // its answer not yet read
    LIBSSH2_SFTP_HANDLE* aheadHandle = nullptr; // its handle once answered
    std::optional<Error> aheadError; // why it was refused
    HostKeyCheck hostKey;
    std::string offeredMethods;
    std::string password; // for keyboard-interactive prompts during Login only
    int promptRounds = 0;
    std::string current = "/";
    std::map<std::string, std::string> realPaths; // RealPath answers of the current listing

    // libssh2 allocates through these, so that what it cannot free itself (the handles of a
    // connection that died: it frees a handle only once the server confirmed its close)
    // goes when the session goes. Only the thread using the session allocates.
    struct Block {
        Block* previous;
        Block* next;
        alignas(std::max_align_t) unsigned char data[1];
    };
    static void* Allocate(size_t size, void** abstract);
    static void Release(void* pointer, void** abstract);
    static void* Reallocate(void* pointer, size_t size, void** abstract);
    void ReleaseAll();
    Block* blocks = nullptr;
};

// Writes all of `data` to `fd` at offset `at` (pwrite, EINTR retried); false on a write error,
// with errno set. Used by both download paths, libssh2 and the second connection.
bool WriteAt(int fd, const char* data, size_t size, std::uint64_t at);

} // namespace vorn::sftp
