#pragma once

#include "common/Result.h"
#include "sftpclient/SftpTypes.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vorn::sftp {

// One SFTP session: an SSH connection with its SFTP channel.
//
// Threads: one worker uses a session; KeepAlive may come from a second thread and Cancel
// from any. Operations never interleave: each holds the session's lock, and KeepAlive
// skips its beat instead of waiting for it.
//
// Nothing waits without an end: connecting and the key exchange are bounded by the connect
// time-out, every answer afterwards by the inactivity time-out, and Cancel() ends any wait
// at once (the socket is shut down under the waiting call).
//
// Paths are "/"-separated, absolute or relative to the current folder (which the session
// keeps itself: SFTP has none). Every failure says why; its replyCode is the server's SFTP
// status code when the server refused (2 no such file, 3 permission denied, 4 failure, ...).
class SftpSession {
public:
    // Called between the chunks of a transfer, on the transferring thread. It may block
    // while a run is paused; false ends the transfer with ErrorKind::Cancelled and leaves
    // the session usable.
    using TransferHook = std::function<bool()>;
    // Bytes of the current file so far (counted from the start of the file, a resumed
    // offset included) and its size (0 when unknown).
    using Progress = std::function<void(std::uint64_t bytes, std::uint64_t total)>;

    // Called with one line about a choice the session made by itself (a second connection
    // for large files, or why it could not have one), on the calling thread.
    using Trace = std::function<void(const std::string& line)>;

    // Files of at least this size (listed, or passed to Download) are read over a second
    // connection of the same session, opened on the first such file (see BulkReader.h).
    static constexpr std::uint64_t bulkReadThreshold = std::uint64_t { 16 } << 20;

    SftpSession();
    // Closes the channel and the connection without waiting long.
    ~SftpSession();
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    [[nodiscard]] std::string Scheme() const { return "sftp"; }

    // Settings; they apply from the next Connect or Login, or the next operation.
    void SetConnectTimeout(std::chrono::milliseconds timeout);
    void SetInactivityTimeout(std::chrono::milliseconds timeout);
    [[nodiscard]] std::chrono::milliseconds ConnectTimeout() const;
    [[nodiscard]] std::chrono::milliseconds InactivityTimeout() const;
    void SetTransferHook(TransferHook hook);
    // A private key file for Login; the password is then its passphrase.
    void SetKeyFile(std::string path);
    // Whether Login may ask the agent at SSH_AUTH_SOCK when it has no key file and no password.
    void SetUseAgent(bool use);
    // The user's known-hosts file (read only) and the program's own (where accepted keys go).
    void SetKnownHostsFiles(std::string userFile, std::string ownFile);
    void SetTrace(Trace trace);
    // Another threshold for the second connection (the tests take small files through it;
    // UINT64_MAX: never).
    void SetBulkReadThreshold(std::uint64_t bytes);
    // Whether List marks links to folders that lead back into the listed path (`loop`).
    void SetFollowLinks(bool follow);

    // Any thread. Makes the current wait and every later one of this session fail promptly
    // with ErrorKind::Cancelled.
    void Cancel();

    // Opens the connection, makes the key exchange and checks the server's host key. An
    // unknown or changed key fails with ErrorKind::Tls, and HostKeyStatus() tells which key it
    // was (TrustHostKey stores it once the user has accepted it). A failure before the
    // connection was open begins with "Looking up" (the name) or "Connecting" (the address).
    [[nodiscard]] Status Connect(const std::string& host, std::uint16_t port = 22);
    [[nodiscard]] const HostKeyCheck& HostKeyStatus() const;
    // Logs in with the key file (passphrase `password`), else with the agent when `password`
    // is empty, else with the password (password or keyboard-interactive), then opens the
    // SFTP channel. A refused login names the methods the server offers.
    [[nodiscard]] Status Login(const std::string& user, const std::string& password);
    // The methods the server offered at the last Login ("publickey,password").
    [[nodiscard]] std::string OfferedMethods() const;
    // Says goodbye and closes the connection. Idempotent.
    void Disconnect();
    // An SSH keep-alive. Succeeds without sending anything while an operation is in progress
    // on another thread; fails with ErrorKind::Closed when the connection is gone.
    [[nodiscard]] Status KeepAlive();

    // Folders.
    [[nodiscard]] Result<std::string> CurrentFolder();
    // The entries of `folder` ("" for the current one), "." and ".." left out. Links are
    // followed for their kind, size and time; a broken link and a name that cannot be a name
    // here ("", "/" or NUL inside) come back with `unusable` set.
    [[nodiscard]] Result<std::vector<SftpEntry>> List(const std::string& folder);
    [[nodiscard]] Status ChangeFolder(const std::string& folder);
    [[nodiscard]] Status ParentFolder();
    [[nodiscard]] Status MakeFolder(const std::string& path);
    [[nodiscard]] Status RemoveFolder(const std::string& path);
    // The canonical absolute path of `path`, links resolved.
    [[nodiscard]] Result<std::string> RealPath(const std::string& path);

    // Files. Stat follows links, as List does.
    [[nodiscard]] Result<SftpEntry> Stat(const std::string& path);
    [[nodiscard]] Result<std::int64_t> Size(const std::string& path);
    // Seconds since 1970 UTC.
    [[nodiscard]] Result<std::int64_t> ModificationTime(const std::string& path);
    [[nodiscard]] Status SetModificationTime(const std::string& path, std::int64_t seconds);
    [[nodiscard]] Status DeleteFile(const std::string& path);
    // Renames `from` to `to`, replacing a file already at `to`.
    [[nodiscard]] Status Rename(const std::string& from, const std::string& to);

    // Writes the bytes of `remotePath` from `offset` on into `fileFd` at that same offset
    // (pwrite; the descriptor stays the caller's), with many read requests in flight. With
    // `expectedSize` at or above 0 the copy is complete only when the file ended exactly
    // there; from bulkReadThreshold on, from a server that answers within 3 ms, it is read over
    // the second connection, unless that could not be opened or logged in to (then over this
    // one, for the rest of the session).
    // Returns the bytes written by this call.
    [[nodiscard]] Result<std::uint64_t> Download(const std::string& remotePath, int fileFd,
        std::uint64_t offset = 0, std::int64_t expectedSize = -1, const Progress& progress = {});
    // A hint: the next Download fetches `remotePath` (empty: unknown). The next Download
    // sends that file's open while it reads its own file; the one after takes the open handle
    // when it asks for that path, and any other operation closes it first.
    void ExpectDownload(const std::string& remotePath);
    // Sends `fileFd` (from its current position to its end; the position stays) to `remoteFolder`/`name` with
    // many writes in flight: to a temporary name first, renamed over the target only when the whole file
    // arrived, removed again when the upload fails. Returns the bytes sent.
    [[nodiscard]] Result<std::uint64_t> Upload(
        int fileFd, const std::string& remoteFolder, const std::string& name, const Progress& progress = {});

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace vorn::sftp
