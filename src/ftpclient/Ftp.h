#pragma once

#include "ftpclient/IPAddress.h"
#include "ftpclient/Listing.h"
#include "ftpclient/ServerText.h"
#include "remote/ContentDigest.h"
#include "remote/ResumePoint.h"
#include "remote/TranslateInfo.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sf {

using vorn::remote::ResumePoint;
using vorn::remote::TranslateInfo;

// One FTP or FTPS session: a control connection and the data connections of its transfers.
//
// Threads: one worker uses a session; KeepAlive may come from a second thread and Cancel
// from any. Commands never interleave: each command and each whole transfer holds the
// session's lock, and KeepAlive skips its beat instead of waiting for it.
//
// Nothing waits without an end: connecting is bounded by the connect time-out, every reply
// and every piece of data by the inactivity time-out, and Cancel() ends any wait at once.
class Ftp {
public:
    enum TransferMode { Binary = 0, Ascii, Ebcdic };

    class Response {
    public:
        // Codes of the client itself, beyond the three-digit codes of a server.
        enum Status {
            InvalidResponse = 1000, // the server sent something that is not FTP
            ConnectionFailed = 1001,
            ConnectionClosed = 1002, // not connected, or the connection was lost
            InvalidFile = 1003, // a local file or a remote name that cannot be used
            TimedOut = 1004,
            Cancelled = 1005, // Cancel() was called or the transfer hook said stop
            Busy = 1006, // KeepAlive skipped: a command or transfer is in progress
            TlsFailed = 1007,
            InvalidArgument = 1008, // a text that cannot go into a command (line breaks)
            ChecksumMismatch = 1009, // the copy's checksum is not the server's
        };

        explicit Response(int status = InvalidResponse, std::string message = "");

        // True for the 1xx, 2xx and 3xx replies of a server.
        [[nodiscard]] bool IsOk() const { return status_ < 400; }
        [[nodiscard]] int GetStatus() const { return status_; }
        [[nodiscard]] const std::string& GetMessage() const { return message_; }
        // A transfer that succeeded although neither the listing nor SIZE gave the file's
        // size, so its completeness could not be checked.
        [[nodiscard]] bool SizeUnchecked() const { return sizeUnchecked_; }
        void MarkSizeUnchecked() { sizeUnchecked_ = true; }
        // A transfer whose content was checked against the server's checksum: the algorithm
        // ("SHA-256", ...) and the value in lower-case hex; both "" when none was compared.
        [[nodiscard]] const std::string& DigestAlgorithm() const { return digestAlgorithm_; }
        [[nodiscard]] const std::string& Digest() const { return digest_; }
        void SetDigest(std::string algorithm, std::string hex)
        {
            digestAlgorithm_ = std::move(algorithm);
            digest_ = std::move(hex);
        }
        // Why a check that was asked for could not be made (the server gave no checksum).
        [[nodiscard]] const std::string& DigestNote() const { return digestNote_; }
        void SetDigestNote(std::string note) { digestNote_ = std::move(note); }

    private:
        int status_;
        std::string message_;
        bool sizeUnchecked_ = false;
        std::string digestAlgorithm_;
        std::string digest_;
        std::string digestNote_;
    };

    class DirectoryResponse : public Response {
    public:
        DirectoryResponse(const Response& response, std::string directory);
        [[nodiscard]] const std::string& GetDirectory() const { return directory_; }

    private:
        std::string directory_;
    };

    class ListingResponse : public Response {
    public:
        using Info = sf::Info;

        ListingResponse(const Response& response, std::vector<Info> entries);
        [[nodiscard]] std::size_t GetCount() const { return entries_.size(); }
        // `index` must be below GetCount().
        [[nodiscard]] const Info& retFileInfo(std::size_t index) const { return entries_.at(index); }
        [[nodiscard]] const std::vector<Info>& GetEntries() const { return entries_; }

    private:
        std::vector<Info> entries_;
    };

    // Called between the chunks of a transfer and about every 100 ms while it waits for
    // data, on the transferring thread. It may block while a run is paused (the connections
    // stay open, and the pause does not count as inactivity); false stops the transfer and
    // leaves the session usable.
    using TransferHook = std::function<bool()>;

    // `verbose` writes the control dialogue to std::clog, passwords masked.
    explicit Ftp(bool verbose = false);
    // Sends QUIT without waiting for the answer and closes the connection.
    ~Ftp();
    Ftp(const Ftp&) = delete;
    Ftp& operator=(const Ftp&) = delete;

    // PEM certificates the user trusts besides the system store, for every later session.
    static void SetTrustedCertificatesFile(std::string path);
    [[nodiscard]] static std::string GetTrustedCertificatesFile();

    // Settings; they apply from the next Connect (security) or the next operation.
    void SetSecurity(vorn::ftp::Security security);
    void SetPassive(bool passive);
    // Whether OPTS UTF8 ON is sent when FEAT offers UTF8 (the default); off when the names
    // are known to come in another code page.
    void SetRequestUtf8(bool request);
    void SetConnectTimeout(std::chrono::milliseconds timeout);
    void SetInactivityTimeout(std::chrono::milliseconds timeout);
    [[nodiscard]] std::chrono::milliseconds GetConnectTimeout() const;
    [[nodiscard]] std::chrono::milliseconds GetInactivityTimeout() const;
    void SetTransferHook(TransferHook hook);

    // Any thread. Makes the current wait and every later one of this session fail promptly.
    void Cancel();

    // `timeoutSeconds` 0 means the session's connect time-out (30 s unless set).
    [[nodiscard]] Response Connect(
        const IPAddress& server, unsigned short port = 21, float timeoutSeconds = 0.f);
    [[nodiscard]] Response Login(const std::string& user, const std::string& password);
    Response Disconnect();
    // NOOP, unless a command or transfer is in progress: then nothing is sent (Busy).
    Response KeepAlive();

    [[nodiscard]] DirectoryResponse GetWorkingDirectory();
    // Picks, from a listing's entries, the paths whose times the caller asks next.
    using TimesWanted = std::function<std::vector<std::string>(const std::vector<Info>&)>;

    // MLSD when the server offers it, else LIST. A line that cannot be read, and a name that
    // cannot be a name here (empty, with "/" or NUL), come back as entries whose `unusable`
    // says why; "." and ".." may appear. With `wanted`, the MDTM of the paths it picks (the
    // first batch of ModificationTimes) go out as soon as the listing's data has ended, before
    // its final reply is read: a server that sends that reply only once the data connection is
    // closed answers them right after it. A ModificationTimes of other paths, or any other
    // command, first reads those answers and drops them.
    [[nodiscard]] ListingResponse GetDirectoryListing(
        const std::string& directory = "", const TimesWanted& wanted = {});
    [[nodiscard]] Response ChangeDirectory(const std::string& directory);
    // Says that the next ChangeDirectory is followed at once by GetDirectoryListing("") of the
    // folder it enters. Where the session may pipeline, CWD, EPSV and the listing command then
    // go out in one write, and the listing is picked up by that GetDirectoryListing. A refused
    // CWD leaves the session in its folder, so the listing that followed it is of that folder:
    // it is read to its end and dropped, and the refusal is returned as ever. Any other command
    // before the listing settles it the same way.
    void ExpectListing();
    [[nodiscard]] Response ParentDirectory();
    [[nodiscard]] Response MakeDirectory(const std::string& name);
    [[nodiscard]] Response DeleteFile(const std::string& name);
    [[nodiscard]] Response Rename(const std::string& file, const std::string& newName);

    // Fetches `remotePath` into `localFolder` under its remote name. The data goes to a
    // temporary file first, which replaces an existing copy only when the whole file came
    // and the server confirmed it.
    [[nodiscard]] Response Download(const std::string& remotePath, const std::string& localFolder,
        TranslateInfo& progress, TransferMode mode = Binary);
    // The same into the open folder `folderFd` (named `folderText` in messages), never
    // through a symbolic link. A binary transfer is complete only when it delivered exactly
    // `listedSize` (the listing's), or where that is -1 (unknown) the size SIZE gives; with
    // neither the copy is kept and the reply says SizeUnchecked(). TYPE is sent when the
    // session's type differs (once per login), so a file costs EPSV (or PASV), RETR and,
    // only without a listed size, SIZE.
    [[nodiscard]] Response DownloadInto(int folderFd, const std::string& folderText,
        const std::string& remotePath, std::int64_t listedSize, TranslateInfo& progress,
        TransferMode mode = Binary, const std::string& localName = {});

    // Says that the next download of this session will be `remotePath` (binary, with a listed
    // size): once the current DownloadInto's data has ended, its EPSV and RETR go out before
    // that transfer's final reply is read, which saves a round trip per file. Any other
    // command first settles the download sent ahead (its transfer is aborted). "" takes the
    // word back.
    void SetNextDownload(const std::string& remotePath);

    // DownloadInto in binary for a file that may be large. A transfer of a file of at least
    // ResumePoint::minimumSize that is cut off leaves its bytes in `resume`; the next call with
    // the same `resume` continues them with REST, when the server announces REST STREAM and
    // MDTM and the file's size and MDTM time are still those of the cut transfer. It asks for
    // a little more than is missing and compares the repeated bytes with the partial file's
    // end: a difference drops the partial file and sets `resume.mismatched`. Anything else
    // starts from zero, and a continued transfer whose total is not the file's size is dropped.
    // Both name the local copy `localName`, or when that is "" the last part of `remotePath`.
    [[nodiscard]] Response DownloadResumable(int folderFd, const std::string& folderText,
        const std::string& remotePath, std::int64_t listedSize, TranslateInfo& progress, ResumePoint& resume,
        const std::string& localName = {});

    // Copies `sourcePath` of this session into `destinationFolder` of `destination`, streamed
    // through memory. The upload goes to a temporary name and is renamed over the target
    // when complete; a failed copy removes it again.
    // The copy is checked against the size as DownloadInto checks it. Each step goes to both
    // servers before either answer is awaited.
    [[nodiscard]] Response Relay(Ftp& destination, const std::string& sourcePath,
        const std::string& destinationFolder, TranslateInfo& progress, TransferMode mode = Binary,
        std::int64_t listedSize = -1);

    // Binary RETR of `remotePath` from `offset` on (REST first when above 0) into the open
    // file `fileFd` at its current position; `received` counts the bytes written.
    [[nodiscard]] Response DownloadToFd(const std::string& remotePath, int fileFd, std::uint64_t offset,
        TranslateInfo& progress, std::uint64_t& received);
    // Binary STOR of `fileFd` (from its position to its end) to a temporary name in
    // `remoteFolder`, renamed over `name` when the server confirmed it; removed on failure.
    [[nodiscard]] Response UploadFromFd(int fileFd, const std::string& remoteFolder, const std::string& name,
        TranslateInfo& progress, std::uint64_t& sent);
    // SIZE: the file's size in `size`, status 213 when one came.
    [[nodiscard]] Response Size(const std::string& remotePath, std::int64_t& size);
    // Sets the modification time (14 digits, UTC) with MFMT where FEAT offers it, else with
    // MDTM and a time argument where FEAT shows that form; status 213 when the server did.
    // Without either nothing is sent and the answer is 502.
    [[nodiscard]] Response SetModificationTime(const std::string& remotePath, const std::string& time);
    // Whether FEAT offered a way to set a file's time.
    [[nodiscard]] bool CanSetModificationTime() const;

    // Checksums. With verification on, downloads and relays compare the content with the
    // server's checksum (the strongest both ends know) before the copy replaces anything: a
    // download computes it over the bytes as they arrive, a relay asks both servers. A
    // difference fails the transfer with ChecksumMismatch and keeps the old copy.
    void SetVerifyChecksums(bool verify);
    // The checksums the server offers (HASH's algorithms and the X commands), strongest first.
    [[nodiscard]] std::vector<vorn::remote::DigestKind> ChecksumKinds() const;
    // The server's checksum of `remotePath` in lower-case hex: HASH (after OPTS HASH) where
    // FEAT offers the algorithm, else XSHA256, XSHA1, XMD5 or XCRC.
    [[nodiscard]] Response Checksum(
        const std::string& remotePath, vorn::remote::DigestKind kind, std::string& hex);

    // Whether the last TLS data connection resumed the control connection's session.
    [[nodiscard]] bool LastDataSessionReused() const;

    // Whether the server announced `feature` (upper case, e.g. "MDTM") in its FEAT reply.
    [[nodiscard]] bool Supports(const std::string& feature) const;
    // MDTM of every path in `paths`, sent a batch at a time without waiting for each answer
    // (the server answers in order). `times` gets one entry per path: 14 digits, or "" where
    // the server gave none. Fails only when the session is lost.
    [[nodiscard]] Response ModificationTimes(
        const std::vector<std::string>& paths, std::vector<std::string>& times);
    // MDTM: the file's modification time as the server gives it, 14 digits YYYYMMDDhhmmss
    // in UTC, in `time` (fractions of a second dropped). Status 213 when one came.
    [[nodiscard]] Response ModificationTime(const std::string& remotePath, std::string& time);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sf
