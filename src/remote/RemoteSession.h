#pragma once

#include "common/Result.h"
#include "remote/RemoteEntry.h"
#include "remote/ResumePoint.h"
#include "remote/TranslateInfo.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorn::remote {

// What a copy delivered.
struct Transferred {
    std::uint64_t bytes = 0;
    // The copy succeeded although neither the listing nor the server gave the file's size,
    // so its completeness could not be checked.
    bool sizeUnchecked = false;
    // With checksum verification on: the algorithm ("SHA-256", "SHA-1", "MD5", "CRC32") and
    // the value (lower-case hex) the copy was found to match, or why no check was made.
    std::string digestAlgorithm {};
    std::string digest {};
    std::string digestNote {};
};

// One session with a remote site, whatever its protocol: the operations the engine, the file
// panes and the editor's browser need. Each protocol implements it in a folder of its own;
// sessions/ makes one from a project's server text.
//
// Results: every operation that can fail returns a vorn::Result. Its Error's `kind` says what
// happened on the client's side (Cancelled, TimedOut, Closed, Network, Tls, Protocol,
// LocalIo, Invalid, or ServerTransient/ServerPermanent for a refusal), `replyCode` the
// server's own code where the protocol has one (FTP's three digits, SFTP's status code),
// and `message` one line a user can read, the server's words included.
//
// Paths: "/"-separated; absolute, or relative to the current folder. Names from a listing
// are the server's data and are checked (IsSafeEntryName) before they become local paths.
//
// Threads: one worker uses a session; KeepAlive may come from a second thread and Cancel
// from any. An implementation never interleaves two commands on its connection.
//
// No wait is endless: connecting is bounded by the connect time-out, every reply and every
// piece of data by the inactivity time-out, and Cancel() ends any wait at once.
class RemoteSession {
public:
    // Called between the chunks of a transfer and about every 100 ms while it waits for
    // data, on the transferring thread. It may block while a run is paused (the connection
    // stays open and the pause does not count as inactivity); false ends the transfer with
    // ErrorKind::Cancelled and leaves the session usable.
    using TransferHook = std::function<bool()>;

    virtual ~RemoteSession() = default;

    // The scheme this session speaks ("ftp", "ftpes", "ftps", "sftp").
    [[nodiscard]] virtual std::string Scheme() const = 0;

    // Settings; they apply from the next Connect or the next operation.
    // Passive data connections (FTP); protocols without data connections ignore it.
    virtual void SetPassive(bool passive) = 0;
    virtual void SetConnectTimeout(std::chrono::milliseconds timeout) = 0;
    virtual void SetInactivityTimeout(std::chrono::milliseconds timeout) = 0;
    [[nodiscard]] virtual std::chrono::milliseconds ConnectTimeout() const = 0;
    [[nodiscard]] virtual std::chrono::milliseconds InactivityTimeout() const = 0;
    virtual void SetTransferHook(TransferHook hook) = 0;

    // Any thread. Makes the current wait and every later one of this session fail promptly
    // with ErrorKind::Cancelled.
    virtual void Cancel() = 0;

    // Opens the connection to `host` (a name or an address, without scheme) and waits for
    // the server's greeting (and its TLS or SSH handshake). A failure before the connection
    // was open has a message that begins with "Looking up" (the name) or "Connecting" (the
    // address), so that a reason can name the time-out that ran out.
    [[nodiscard]] virtual Status Connect(const std::string& host, std::uint16_t port) = 0;
    // Logs in; afterwards the current folder is the login folder.
    [[nodiscard]] virtual Status Login(const std::string& user, const std::string& password) = 0;
    // Says goodbye without waiting long and closes the connection. Idempotent.
    virtual void Disconnect() = 0;
    // A harmless round trip that keeps an idle connection open. Succeeds without sending
    // anything while a command or transfer is in progress on another thread; fails with
    // ErrorKind::Closed when the connection is gone.
    [[nodiscard]] virtual Status KeepAlive() = 0;

    // Folders.
    [[nodiscard]] virtual Result<std::string> CurrentFolder() = 0;
    // The entries of `folder` ("" for the current one). A line that cannot be read, and a
    // name that cannot be a name here, come back as entries whose `unusable` says why.
    [[nodiscard]] virtual Result<std::vector<Entry>> List(const std::string& folder) = 0;
    [[nodiscard]] virtual Status ChangeFolder(const std::string& folder) = 0;
    // A hint: the next ChangeFolder is followed at once by List("") of the folder it enters,
    // so a protocol may send the listing's request with it. A refused ChangeFolder fails as
    // ever and no listing of another folder ever comes from the List after it. The default
    // ignores it.
    virtual void ExpectListing() { }
    // A hint for the next List: `wanted` picks, from its entries, the paths whose times the
    // caller asks next with ModificationTimes (in that order), so a protocol may ask for them as
    // soon as the listing is in. A wrong hint costs time, never a time. The default ignores it.
    using TimesWanted = std::function<std::vector<std::string>(const std::vector<Entry>&)>;
    virtual void ExpectTimes(TimesWanted wanted) { (void)wanted; }
    [[nodiscard]] virtual Status ParentFolder() = 0;
    [[nodiscard]] virtual Status MakeFolder(const std::string& path) = 0;

    // Files.
    [[nodiscard]] virtual Result<std::int64_t> Size(const std::string& path) = 0;
    // The modification time as 14 digits YYYYMMDDhhmmss in UTC.
    [[nodiscard]] virtual Result<std::string> ModificationTime(const std::string& path) = 0;
    // The times of several files, one entry per path ("" where none came), asked so that
    // they do not cost a round trip each where the protocol allows it. The default asks one
    // by one. Fails when the session is lost (or, over FTP, the server has no MDTM).
    [[nodiscard]] virtual Result<std::vector<std::string>> ModificationTimes(
        const std::vector<std::string>& paths);
    // Sets it (14 digits, UTC); ErrorKind::ServerPermanent where the server cannot.
    [[nodiscard]] virtual Status SetModificationTime(const std::string& path, const std::string& time) = 0;
    // Whether the server offers a way to set a file's time at all (after Login).
    [[nodiscard]] virtual bool CanSetModificationTime() const { return true; }

    // Checksums. With verification on, DownloadInto, DownloadResumable and RelayTo compare
    // the copy with the server's own checksum where the server offers one, and fail a copy
    // that differs before it replaces anything. Off by default; a protocol without server
    // checksums ignores it.
    virtual void SetVerifyChecksums(bool /*verify*/) { }
    // The checksums the server offers ("SHA-256", "SHA-1", "MD5", "CRC32"), strongest first.
    [[nodiscard]] virtual std::vector<std::string> ChecksumAlgorithms() const { return {}; }
    [[nodiscard]] virtual Status DeleteFile(const std::string& path) = 0;
    [[nodiscard]] virtual Status Rename(const std::string& from, const std::string& to) = 0;

    // Transfers. Every one reports its progress into `progress` and runs the transfer hook.

    // Writes the bytes of `remotePath` from `offset` on into `fileFd` at its current position
    // (the caller has positioned it at `offset`). The descriptor stays the caller's.
    [[nodiscard]] virtual Result<Transferred> Download(
        const std::string& remotePath, int fileFd, std::uint64_t offset, TranslateInfo& progress)
        = 0;
    // Sends `fileFd` (from its current position to its end) to `remoteFolder`/`name`: to a
    // temporary name first, renamed over the target only when the whole file arrived, and
    // removed again when the upload fails.
    [[nodiscard]] virtual Result<Transferred> Upload(
        int fileFd, const std::string& remoteFolder, const std::string& name, TranslateInfo& progress)
        = 0;

    // Fetches `remotePath` into the open folder `folderFd` (named `folderText` in messages)
    // under its remote name, never through a symbolic link: into a temporary file first,
    // which replaces an existing copy only when the whole file came. The copy is complete
    // only when it has exactly `listedSize` bytes, or where that is -1 the size the server
    // gives; with neither it is kept and marked sizeUnchecked. The default does this with
    // Download and Size; a protocol may do it in fewer round trips.
    [[nodiscard]] virtual Result<Transferred> DownloadInto(int folderFd, const std::string& folderText,
        const std::string& remotePath, std::int64_t listedSize, TranslateInfo& progress);
    // A hint: the next DownloadInto of this session fetches `remotePath` (a file below
    // ResumePoint::minimumSize with a listed size), so a protocol may start it while the
    // current one ends. A wrong hint costs time, never a copy. The default ignores it.
    virtual void ExpectDownload(const std::string& remotePath) { (void)remotePath; }
    // DownloadInto for a file that may be large: a transfer of at least
    // ResumePoint::minimumSize that is cut off leaves its bytes in `resume`, and the next call
    // with the same `resume` continues them where the protocol and the unchanged file allow.
    // The default starts every try from zero.
    [[nodiscard]] virtual Result<Transferred> DownloadResumable(int folderFd, const std::string& folderText,
        const std::string& remotePath, std::int64_t listedSize, TranslateInfo& progress, ResumePoint& resume);

    // Copies `sourcePath` of this session into `destinationFolder` of `destination` under the
    // same name, with the same temporary-name rule and size check as DownloadInto. Two
    // sessions of one protocol may take a fast path of their own (FTP streams from one data
    // connection into the other); the default goes through RelayThroughFile.
    [[nodiscard]] virtual Result<Transferred> RelayTo(RemoteSession& destination,
        const std::string& sourcePath, const std::string& destinationFolder, std::int64_t listedSize,
        TranslateInfo& progress);

protected:
    RemoteSession() = default;
    RemoteSession(const RemoteSession&) = delete;
    RemoteSession& operator=(const RemoteSession&) = delete;
};

// The relay any two sessions can do: the source's file into an unnamed local temporary file
// (in the system's temporary folder), checked against its size, then uploaded from there.
[[nodiscard]] Result<Transferred> RelayThroughFile(RemoteSession& source, RemoteSession& destination,
    const std::string& sourcePath, const std::string& destinationFolder, std::int64_t listedSize,
    TranslateInfo& progress);

// The last "/"-separated part of `path`.
[[nodiscard]] std::string BaseName(const std::string& path);

// Whether a name from a server can become part of a local path: false for "", ".", ".."
// and names holding "/" or NUL, which must be refused, not joined.
[[nodiscard]] bool IsSafeEntryName(std::string_view name);

} // namespace vorn::remote
