#pragma once

// The inside of sf::Ftp, shared by the files that implement it: the command channel
// (FtpControl.cpp), data connections (FtpData.cpp), the session (Ftp.cpp), folder and file
// commands (FtpFolders.cpp), transfers (FtpTransfers.cpp) and the relay (FtpRelay.cpp).
// Only those files include it.

#include "ftpclient/Channel.h"
#include "ftpclient/Error.h"
#include "ftpclient/Ftp.h"
#include "ftpclient/IoLoop.h"
#include "ftpclient/KernelRelay.h"
#include "ftpclient/ReplyParser.h"
#include "ftpclient/TlsContext.h"
#include "remote/TempFile.h"

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sf {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using vorn::ftp::Channel;
using vorn::ftp::Error;
using vorn::ftp::Reply;
using Duration = std::chrono::milliseconds;

// A listing bigger than this is not a folder anyone backs up; stop rather than eat memory.
constexpr std::size_t maxListingBytes = 256u * 1024 * 1024;

// The client's own outcome of a wait as a response.
[[nodiscard]] Ftp::Response FromError(const Error& error);
[[nodiscard]] Ftp::Response FromReply(const Reply& reply);
[[nodiscard]] bool IsPositive(int code);
[[nodiscard]] bool IsPreliminary(int code);
// RFC 959 answers CWD, CDUP, MKD and DELE with a 2xx when done; a 1xx or 3xx there is no
// success, so it fails with the server's reply as the reason.
[[nodiscard]] Ftp::Response Completed(const Ftp::Response& response, std::string_view verb);
// Whether `text` can go into a command line (no CR, LF or NUL).
[[nodiscard]] bool CanTravelInCommand(std::string_view text);
// Why a transfer whose byte count differs from the file's size is no copy of it: a server
// may cut a file off and still report success.
[[nodiscard]] std::string DeliveredText(std::uint64_t delivered, std::int64_t size, bool fromSize);

// Session state. Every member function runs with `mutex` held by the caller.
class Ftp::Impl {
public:
    explicit Impl(bool verbose)
        : verbose(verbose)
    {
    }

    // A data connection of one transfer: passive ones connect before the command, active
    // ones listen before it and accept after the server's preliminary reply.
    struct DataLink {
        std::unique_ptr<Channel> channel;
        std::unique_ptr<tcp::acceptor> acceptor;
        bool finishedEarly = false; // the server answered 2xx at once: no data will come
    };

    [[nodiscard]] bool Connected() const { return control.IsOpen(); }
    void DropControl();
    void Trace(const char* direction, std::string_view text) const;

    [[nodiscard]] Error SendLine(std::string_view verb, std::string_view argument);
    // With `take` false the reply stays queued for the next read.
    [[nodiscard]] Error ReadReply(Reply& reply, Duration timeout, bool take = true);
    [[nodiscard]] Response Command(std::string_view verb, std::string_view argument = {});
    // Several commands in one write, so that their answers come back to back: the server reads
    // and answers them in order. False when nothing was sent. Replies still queued came unasked
    // and are dropped, unless `keepQueued` (the final reply of a transfer still to be read).
    [[nodiscard]] bool SendAll(const std::vector<std::string>& lines, bool keepQueued = false);
    // Command in two halves, so that a command can go to each of two sessions before either
    // answer is awaited. Send drops replies that came unasked; false when nothing was sent.
    [[nodiscard]] bool Send(std::string_view verb, std::string_view argument = {});
    // The final answer to the command sent last (a bounded number of 1xx replies skipped).
    [[nodiscard]] Response Collect();
    [[nodiscard]] Response NotConnected() const
    {
        return Response(Response::ConnectionClosed, "Not connected to a server.");
    }

    [[nodiscard]] Response SetType(TransferMode mode);
    // The size the server gives for a file, or -1.
    [[nodiscard]] std::int64_t RemoteSize(const std::string& path, Response& failure);
    // `epsvSent`: SendEpsvAhead sent the EPSV, whose answer is still to be read.
    [[nodiscard]] Response PrepareData(DataLink& link, bool epsvSent = false);
    [[nodiscard]] Response PrepareDataOnce(DataLink& link, bool epsvSent);
    [[nodiscard]] Response PreparePassive(DataLink& link, bool epsvSent);
    // Sends the EPSV of the next PrepareData when that begins with one; true when it was sent.
    [[nodiscard]] bool SendEpsvAhead();
    [[nodiscard]] Response PrepareActive(DataLink& link);
    // Whether a transfer may go out as EPSV and its command in one write: passive, EPSV known
    // to work on this session (so a refused or unreachable port is not found mid-pipeline),
    // and nothing else unanswered.
    [[nodiscard]] bool CanPipeline() const;
    // Sends EPSV and `verb` `argument` in one write; true when sent. `keepQueued` as SendAll.
    [[nodiscard]] bool SendPipelined(
        std::string_view verb, std::string_view argument, bool keepQueued = false);
    // Reads the EPSV answer of SendPipelined and connects the data connection; the answer to
    // the transfer command is left for StartTransfer(sent = true). A refused EPSV has the
    // command's answer read too and `fallBack` set: the caller starts the transfer afresh.
    [[nodiscard]] Response OpenPipelined(DataLink& link, bool& fallBack);
    // A download sent ahead and then not asked for: its data connection is opened and the
    // transfer aborted, so that the session answers the next command in step. A listing sent
    // with its CWD and not asked for is read to its end and dropped.
    void SettleAhead();
    // CWD `directory`, with EPSV and the listing command in the same write where the session
    // may pipeline; the listing is left in flight (`aheadListing`) when the CWD succeeded.
    [[nodiscard]] Response EnterAndList(const std::string& directory);
    // Reads the listing in flight and drops it.
    void SettleListing();
    // Reads a listing's data to its end into `data` (dropped when null), closes the data
    // connection, calls `dataEnded` and takes the final reply.
    using DataEnded = std::function<void(const std::string& data)>;
    [[nodiscard]] Response ReceiveListing(DataLink& link, std::string* data, const DataEnded& dataEnded = {});
    // The MDTM lines ModificationTimes sends for `paths` from `first` on, at most one batch.
    [[nodiscard]] static std::vector<std::string> TimeLines(
        const std::vector<std::string>& paths, std::size_t first);
    // Sends the first batch of MDTM of `paths` without reading the answers (`aheadTimes`).
    void SendTimesAhead(const std::vector<std::string>& paths);
    // Reads the answers to MDTM sent ahead and drops them.
    void SettleTimes();
    // Active mode: the server's connection, or its final reply if that comes first.
    [[nodiscard]] Response AcceptData(DataLink& link);
    // `sent`: the command went ahead by Send, and only its answer is read here.
    [[nodiscard]] Response StartTransfer(
        DataLink& link, std::string_view verb, std::string_view argument, bool sent = false);
    [[nodiscard]] Response FinishTransfer();
    // Reads a transfer's data to its end and hands each piece to `sink`, counting it in
    // `progress`. Returns nothing at the end of the data, else why it stopped; the caller
    // aborts the transfer then.
    using DataSink = std::function<std::optional<Response>(std::string_view)>;
    [[nodiscard]] std::optional<Response> PumpData(DataLink& link, const DataSink& sink, std::int64_t size,
        TranslateInfo& progress, std::uint64_t& moved);
    // The transfer type, and the file's size from the server or else `listedSize` (-1 when
    // neither knows it); `served` tells which. Returns why the transfer cannot go on, if so.
    [[nodiscard]] std::optional<Response> BeginRead(const std::string& path, TransferMode mode,
        std::int64_t listedSize, TranslateInfo& progress, std::int64_t& size, bool& served);
    // Why `delivered` bytes are not the whole file of `size` (-1: unknown) bytes, if they are
    // not. A size from the listing (`served` false) is asked again before a copy is refused.
    [[nodiscard]] std::optional<Response> WrongLength(
        const std::string& path, std::uint64_t delivered, std::int64_t size, bool served);
    // BeginRead for a download into a file named `name`, which must be a plain file name, on
    // a session that is connected.
    [[nodiscard]] std::optional<Response> BeginDownload(const std::string& path, const std::string& name,
        TransferMode mode, std::int64_t listedSize, TranslateInfo& progress, std::int64_t& size,
        bool& served);
    // Reads a download's data into `file` to its end and takes the transfer's final reply;
    // `digest`, when given, is computed over the data as it comes. With `sendAhead`, the
    // download of `nextDownload` goes out as soon as the data has ended, before the final reply
    // is read (the server sends that only once the data connection is closed, so the two
    // answers come together).
    [[nodiscard]] Response ReceiveInto(DataLink& link, vorn::remote::TempFile& file, std::int64_t size,
        TranslateInfo& progress, std::uint64_t& received, vorn::remote::ContentDigest* digest = nullptr,
        bool sendAhead = false);
    // Checksums (FtpChecksums.cpp). What the server offers, strongest first.
    [[nodiscard]] std::vector<vorn::remote::DigestKind> DigestKinds() const;
    // The digest a download computes while verification is on: the server's strongest, or
    // nothing when it offers none.
    [[nodiscard]] std::unique_ptr<vorn::remote::ContentDigest> DownloadDigest() const;
    [[nodiscard]] Response ServerDigest(
        const std::string& path, vorn::remote::DigestKind kind, std::string& hex);
    // Adds the first `prefix` bytes of `file` (an earlier try's part) to `digest`.
    [[nodiscard]] std::optional<Response> DigestPrefix(const std::string& path, vorn::remote::TempFile& file,
        std::uint64_t prefix, vorn::remote::ContentDigest& digest);
    // After a download whose bytes went through `digest`: compares it with the server's
    // checksum. A difference is returned as the failure; otherwise `done` gets the value, or
    // the note that says why no check was made.
    [[nodiscard]] std::optional<Response> CheckDownload(
        const std::string& path, vorn::remote::ContentDigest* digest, Response& done);
    // After a relay into `temporary` of `dst`: compares the two servers' checksums where they
    // share one. The same outcomes as CheckDownload.
    [[nodiscard]] std::optional<Response> CheckRelay(
        Impl& dst, const std::string& sourcePath, const std::string& temporary, Response& done);
    // Ends a data connection whose transfer is complete.
    void CloseData(DataLink& link);
    // Stops a transfer whose preliminary reply has arrived and brings the control connection
    // back in step, or closes it when that cannot be done quickly.
    void AbortTransfer(DataLink& link);
    [[nodiscard]] Response RenameRaw(const std::string& from, const std::string& to);
    // Opens this session's transfer `in` of `sourcePath` and the upload `out` of `dst` to
    // `temporary`, each step sent to both servers before either answer is awaited. On failure
    // neither transfer runs any more and nothing is left at `temporary`.
    [[nodiscard]] Response OpenRelay(
        Impl& dst, DataLink& in, DataLink& out, const std::string& sourcePath, const std::string& temporary);
    // Relays the source's data of `in` into the upload `out` of `dst`.
    [[nodiscard]] std::optional<Response> PumpToUpload(Impl& dst, DataLink& in, DataLink& out,
        std::int64_t size, TranslateInfo& progress, std::uint64_t& copied);
    // PumpToUpload for plain connections: the bytes go from socket to socket inside the kernel.
    [[nodiscard]] std::optional<Response> PumpInKernel(Impl& dst, DataLink& in, DataLink& out,
        std::int64_t size, TranslateInfo& progress, std::uint64_t& copied);
    // Ends a failed relay: stops the source's transfer when it still runs, aborts the upload
    // and removes its partial file. Returns `why`.
    [[nodiscard]] Response DropUpload(Response why, Impl& src, DataLink& in, bool sourceRunning,
        DataLink& out, const std::string& temporary);
    // Sends the rest of `fileFd` into the upload `out`. Returns why it stopped early, if so.
    [[nodiscard]] std::optional<Response> PumpFromFd(
        int fileFd, DataLink& out, TranslateInfo& progress, std::uint64_t& sent);
    // DELE of the partial uploads an earlier session of this one lost before it could.
    void RemoveStrandedUploads();
    // Renames a finished upload over `target`, moving an old copy aside where the server
    // refuses to rename over a file.
    [[nodiscard]] Response MoveIntoPlace(
        const std::string& temporary, const std::string& target, const std::string& aside);
    // FEAT, OPTS UTF8 ON, PBSZ and PROT. Sets `retryAfterLogin` when the server wants a
    // login first.
    [[nodiscard]] Response Settle(bool& retryAfterLogin);
    // Takes the listing in flight when `verb` of the current folder is what went ahead.
    [[nodiscard]] Response ReadListing(std::string_view verb, const std::string& directory, std::string& data,
        const DataEnded& dataEnded = {});
    // MDTM of `path` into `time` (14 digits), or "" when none came.
    [[nodiscard]] Response FileTime(const std::string& path, std::string& time);
    // For a download that may be continued: the size SIZE gives now (unless `known`, the size
    // came from SIZE already) and the MDTM time, the facts a resume is checked against.
    // `known` ends true when the size is the server's. Returns why the session is gone, if so.
    [[nodiscard]] std::optional<Response> FileFacts(
        const std::string& path, std::int64_t& size, bool& known, std::string& modified);
    // Opens the file a download goes to: the partial file of `resume` when it may be continued
    // (then `offset` is where the server is to start: a little before its end, see
    // ResumePoint::overlapBytes), else a new temporary file.
    [[nodiscard]] std::unique_ptr<vorn::remote::TempFile> ResumeTarget(int folderFd,
        const std::string& folderText, const std::string& name, ResumePoint& resume, bool resumable,
        std::uint64_t& offset);
    // The end of a failed download that may be continued: keeps the bytes of `file` in
    // `resume` when there are any, else lets the file go. Returns `why`, or a passing failure
    // with `resume.mismatched` set when the server's bytes differed from the partial file.
    [[nodiscard]] Response KeepPartial(
        Response why, vorn::remote::TempFile* file, bool resumable, ResumePoint& resume);
    // Asks the server to start at `offset` (REST). A refusal has this try fetch the file from
    // its start into a new temporary file (`offset` becomes 0); a lost session keeps the part
    // for the next try. Returns the response that ends the download, if any.
    [[nodiscard]] std::optional<Response> RestartAt(int folderFd, const std::string& folderText,
        const std::string& name, std::unique_ptr<vorn::remote::TempFile>& file, std::uint64_t& offset,
        bool resumable, ResumePoint& resume);

    bool verbose;
    vorn::ftp::Security security = vorn::ftp::Security::Plain;
    bool passive = true;
    Duration connectTimeout = std::chrono::seconds(30);
    Duration inactivityTimeout = std::chrono::seconds(60);
    TransferHook hook;
    std::mutex mutex; // one command or one whole transfer at a time

    vorn::ftp::IoLoop loop;
    Channel control { loop };
    vorn::ftp::ReplyParser parser;
    std::string host;
    std::shared_ptr<asio::ssl::context> tlsContext;
    bool protectData = false;
    std::set<std::string> features;
    bool verifyDigests = false;
    std::string hashSelected; // the algorithm OPTS HASH chose last on this connection
    bool useMlsd = false;
    bool requestUtf8 = true;
    bool featuresRead = false; // FEAT was answered in this login
    bool utf8Settled = false; // OPTS UTF8 ON was answered other than 530 in this login
    bool epsvRefused = false;
    bool epsvProven = false; // a data connection announced by EPSV was opened on this session
    // The path a caller said it downloads next, and the download whose EPSV and RETR went out
    // already (answers unread). Both end with the control connection.
    std::string nextDownload;
    std::string aheadPath;
    // The caller lists the folder its next CWD enters (ExpectListing), and the listing command
    // that went out with a CWD that succeeded (answers from EPSV on unread). Both end with the
    // control connection.
    bool listingExpected = false;
    std::string aheadListing;
    std::vector<std::string> aheadTimes; // MDTM lines sent after a listing's data, answers unread
    bool eprtRefused = false;
    int currentType = -1;
    bool lastDataSessionReused = false;
    // Partial uploads a lost session could not remove; the next relay removes them.
    std::vector<std::string> strandedUploads;
    vorn::ftp::KernelRelay kernelRelay; // for the relays this session is the source of
};

} // namespace sf
