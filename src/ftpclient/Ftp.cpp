#include "ftpclient/Ftp.h"

#include "common/DecimalText.h"
#include "common/PathText.h"
#include "ftpclient/Channel.h"
#include "ftpclient/IoLoop.h"
#include "ftpclient/KernelRelay.h"
#include "ftpclient/ReplyParser.h"
#include "ftpclient/ResumePoint.h"
#include "ftpclient/TempFile.h"
#include "ftpclient/TlsContext.h"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <cctype>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <openssl/ssl.h>
#include <optional>
#include <set>
#include <unistd.h>

namespace sf {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using vorn::ftp::Channel;
using vorn::ftp::Error;
using vorn::ftp::Reply;
using Duration = std::chrono::milliseconds;

namespace {

std::mutex trustedFileMutex;
std::string trustedFile;

// A listing bigger than this is not a folder anyone backs up; stop rather than eat memory.
constexpr std::size_t maxListingBytes = 256u * 1024 * 1024;

Ftp::Response FromError(const Error& error)
{
    using R = Ftp::Response;
    switch (error.code) {
    case Error::Code::None:
        return R(200, "");
    case Error::Code::TimedOut:
        return R(R::TimedOut, error.message);
    case Error::Code::Cancelled:
        return R(R::Cancelled, error.message);
    case Error::Code::Closed:
        return R(R::ConnectionClosed, error.message);
    case Error::Code::Network:
        return R(R::ConnectionFailed, error.message);
    case Error::Code::Tls:
        return R(R::TlsFailed, error.message);
    case Error::Code::Protocol:
        return R(R::InvalidResponse, error.message);
    }
    return R(R::InvalidResponse, error.message);
}

Ftp::Response FromReply(const Reply& reply)
{
    return Ftp::Response(reply.code, reply.text);
}

bool IsPositive(int code)
{
    return code >= 200 && code < 300;
}
bool IsPreliminary(int code)
{
    return code >= 100 && code < 200;
}

// RFC 959 answers CWD, CDUP, MKD and DELE with a 2xx when done; a 1xx or 3xx there is no
// success (a server that answers CWD with 314 has not changed folder), so it fails with the
// server's reply as the reason.
Ftp::Response Completed(const Ftp::Response& response, std::string_view verb)
{
    if (!response.IsOk() || IsPositive(response.GetStatus()))
        return response;
    return Ftp::Response(Ftp::Response::InvalidResponse,
        "Unexpected reply to " + std::string(verb) + ": " + std::to_string(response.GetStatus()) + " "
            + response.GetMessage());
}

bool CanTravelInCommand(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// The folder in a 257 reply: the text between the first quote and its closing quote, with
// "" standing for one quote inside.
std::string ParseQuotedPath(const std::string& text)
{
    const auto open = text.find('"');
    if (open == std::string::npos) {
        // Some servers give the path bare.
        std::string path;
        for (char c : text) {
            if (c == ' ' || c == '\n')
                break;
            path += c;
        }
        return path;
    }
    std::string path;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] != '"') {
            path += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            path += '"';
            ++i;
        } else {
            break;
        }
    }
    return path;
}

// The port of a 229 reply: "... (|||port|)", any delimiter character.
int ParseEpsvPort(const std::string& text)
{
    const auto open = text.find('(');
    if (open == std::string::npos || open + 4 >= text.size())
        return 0;
    const char delimiter = text[open + 1];
    if (text[open + 2] != delimiter || text[open + 3] != delimiter)
        return 0;
    int port = 0;
    std::size_t i = open + 4;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && port <= 65535; ++i)
        port = port * 10 + (text[i] - '0');
    if (i >= text.size() || text[i] != delimiter || port <= 0 || port > 65535)
        return 0;
    return port;
}

// The port of a 227 reply: six numbers "h1,h2,h3,h4,p1,p2" after the code. The address is
// not used: the data connection goes to the control connection's peer.
int ParsePasvPort(const std::string& text)
{
    for (std::size_t start = 0; start < text.size(); ++start) {
        if (!std::isdigit(static_cast<unsigned char>(text[start])))
            continue;
        int numbers[6];
        int count = 0;
        std::size_t i = start;
        while (count < 6 && i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            int value = 0;
            while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && value <= 255)
                value = value * 10 + (text[i++] - '0');
            if (value > 255)
                break;
            numbers[count++] = value;
            if (count < 6) {
                if (i >= text.size() || text[i] != ',')
                    break;
                ++i;
            }
        }
        if (count == 6) {
            const int port = numbers[4] * 256 + numbers[5];
            return port > 0 ? port : 0;
        }
        // Skip the rest of this run of digits and commas.
        while (start + 1 < text.size()
            && (std::isdigit(static_cast<unsigned char>(text[start + 1])) || text[start + 1] == ','))
            ++start;
    }
    return 0;
}

std::set<std::string> ParseFeatures(const std::string& text)
{
    std::set<std::string> features;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        // Feature lines begin with a blank; the first and last lines are prose.
        if (line.empty() || line[0] != ' ')
            continue;
        std::string name;
        for (std::size_t i = 1; i < line.size() && line[i] != ' ' && line[i] != '\r'; ++i)
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
        if (!name.empty())
            features.insert(name);
        // A feature with its argument too ("REST STREAM"), for the ones that name a variant.
        std::string whole;
        for (std::size_t i = 1; i < line.size() && line[i] != '\r'; ++i)
            whole += static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
        while (!whole.empty() && whole.back() == ' ')
            whole.pop_back();
        if (whole.size() > name.size())
            features.insert(whole);
    }
    return features;
}

// Why a transfer whose byte count differs from the file's size is no copy of it: a server
// may cut a file off and still report success.
std::string DeliveredText(std::uint64_t delivered, std::int64_t size, bool fromSize)
{
    return "The transfer delivered " + std::to_string(delivered) + " bytes; the file has "
        + std::to_string(size) + " bytes (" + (fromSize ? "SIZE" : "listing") + ").";
}

} // namespace

// ---------------------------------------------------------------------------------------
// Responses

Ftp::Response::Response(int status, std::string message)
    : status_(status)
    , message_(std::move(message))
{
}

Ftp::DirectoryResponse::DirectoryResponse(const Response& response, std::string directory)
    : Response(response)
    , directory_(std::move(directory))
{
}

Ftp::ListingResponse::ListingResponse(const Response& response, std::vector<Info> entries)
    : Response(response)
    , entries_(std::move(entries))
{
}

// ---------------------------------------------------------------------------------------
// Session state. Every member function below runs with `mutex` held by the caller.

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
    // Reads a download's data into `file` to its end and takes the transfer's final reply.
    [[nodiscard]] Response ReceiveInto(DataLink& link, vorn::ftp::TempFile& file, std::int64_t size,
        TranslateInfo& progress, std::uint64_t& received);
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
    // DELE of the partial uploads an earlier session of this one lost before it could.
    void RemoveStrandedUploads();
    // Renames a finished upload over `target`, moving an old copy aside where the server
    // refuses to rename over a file.
    [[nodiscard]] Response MoveIntoPlace(
        const std::string& temporary, const std::string& target, const std::string& aside);
    // FEAT, OPTS UTF8 ON, PBSZ and PROT. Sets `retryAfterLogin` when the server wants a
    // login first.
    [[nodiscard]] Response Settle(bool& retryAfterLogin);
    [[nodiscard]] Response ReadListing(
        std::string_view verb, const std::string& directory, std::string& data);
    // MDTM of `path` into `time` (14 digits), or "" when none came.
    [[nodiscard]] Response FileTime(const std::string& path, std::string& time);
    // For a download that may be continued: the size SIZE gives now (unless `known`, the size
    // came from SIZE already) and the MDTM time, the facts a resume is checked against.
    // `known` ends true when the size is the server's. Returns why the session is gone, if so.
    [[nodiscard]] std::optional<Response> FileFacts(
        const std::string& path, std::int64_t& size, bool& known, std::string& modified);
    // Opens the file a download goes to: the partial file of `resume` when it may be continued
    // (then `offset` is its length), else a new temporary file.
    [[nodiscard]] std::unique_ptr<vorn::ftp::TempFile> ResumeTarget(int folderFd,
        const std::string& folderText, const std::string& name, ResumePoint& resume, bool resumable,
        std::uint64_t& offset);
    // The end of a failed download that may be continued: keeps the `length` bytes of `file`
    // in `resume` when there are any, else lets the file go. Returns `why`.
    [[nodiscard]] Response KeepPartial(
        Response why, vorn::ftp::TempFile* file, std::uint64_t length, bool resumable, ResumePoint& resume);

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
    bool useMlsd = false;
    bool epsvRefused = false;
    bool eprtRefused = false;
    int currentType = -1;
    bool lastDataSessionReused = false;
    // Partial uploads a lost session could not remove; the next relay removes them.
    std::vector<std::string> strandedUploads;
    vorn::ftp::KernelRelay kernelRelay; // for the relays this session is the source of
};

void Ftp::Impl::DropControl()
{
    control.Close();
    parser.Reset();
    protectData = false;
    currentType = -1;
}

void Ftp::Impl::Trace(const char* direction, std::string_view text) const
{
    if (verbose)
        std::clog << direction << ' ' << text << '\n';
}

Error Ftp::Impl::SendLine(std::string_view verb, std::string_view argument)
{
    if (!Connected())
        return { Error::Code::Closed, "Not connected to a server." };
    std::string line(verb);
    if (!argument.empty()) {
        line += ' ';
        line += argument;
    }
    Trace(">", verb == "PASS" ? std::string_view("PASS ****") : std::string_view(line));
    line += "\r\n";
    Error error = control.Write(line, inactivityTimeout);
    if (error)
        DropControl();
    return error;
}

Error Ftp::Impl::ReadReply(Reply& reply, Duration timeout, bool take)
{
    for (;;) {
        if (!take && parser.HasReply()) {
            reply = *parser.Peek();
            return {};
        }
        if (auto next = parser.Next()) {
            reply = std::move(*next);
            Trace("<", std::to_string(reply.code) + " " + reply.text);
            // 421: the server is closing the session; nothing more will work on it.
            if (reply.code == 421)
                DropControl();
            return {};
        }
        if (parser.Failed()) {
            Error error { Error::Code::Protocol, parser.ErrorText() };
            DropControl();
            return error;
        }
        if (!Connected())
            return { Error::Code::Closed, "Not connected to a server." };
        std::string_view bytes;
        Error error = control.ReadSome(bytes, timeout);
        if (!error && bytes.empty())
            error = { Error::Code::Closed, "The server closed the connection." };
        if (error) {
            if (error.code == Error::Code::TimedOut)
                error.message
                    = "The server did not answer within " + vorn::ftp::DescribeDuration(timeout) + ".";
            DropControl();
            return error;
        }
        parser.Feed(bytes);
    }
}

Ftp::Response Ftp::Impl::Command(std::string_view verb, std::string_view argument)
{
    if (!CanTravelInCommand(argument))
        return Response(
            Response::InvalidArgument, "A name with a line break cannot be sent to an FTP server.");
    if (!Connected())
        return NotConnected();
    // Anything still queued came unasked (a late reply); it must not answer this command.
    while (parser.Next()) { }
    if (Error error = SendLine(verb, argument))
        return FromError(error);
    return Collect();
}

bool Ftp::Impl::Send(std::string_view verb, std::string_view argument)
{
    if (!CanTravelInCommand(argument) || !Connected())
        return false;
    while (parser.Next()) { }
    return !SendLine(verb, argument);
}

Ftp::Response Ftp::Impl::Collect()
{
    Reply reply;
    // Preliminary replies are not the answer; a bounded number of them is tolerated.
    for (int i = 0; i < 4; ++i) {
        if (Error error = ReadReply(reply, inactivityTimeout))
            return FromError(error);
        if (!IsPreliminary(reply.code))
            break;
    }
    return FromReply(reply);
}

Ftp::Response Ftp::Impl::SetType(TransferMode mode)
{
    if (currentType == mode)
        return Response(200, "");
    static constexpr const char* types[] = { "I", "A", "E" };
    Response response = Command("TYPE", types[mode]);
    if (IsPositive(response.GetStatus()))
        currentType = mode;
    else if (response.IsOk())
        return Response(Response::InvalidResponse, "Unexpected answer to TYPE: " + response.GetMessage());
    return response;
}

std::int64_t Ftp::Impl::RemoteSize(const std::string& path, Response& failure)
{
    Response response = Command("SIZE", path);
    if (!Connected()) {
        failure = response;
        return -1;
    }
    if (response.GetStatus() != 213)
        return -1;
    const std::string& text = response.GetMessage();
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return -1;
    return vorn::ParseDecimal(text);
}

Ftp::Response Ftp::Impl::PrepareData(DataLink& link, bool epsvSent)
{
    const bool viaEpsv = passive && !epsvRefused;
    Response response = PrepareDataOnce(link, epsvSent);
    // A port announced by EPSV that cannot be reached (a firewall that only lets PASV through,
    // a server that announces the wrong one): PASV for the rest of the session.
    const int status = response.GetStatus();
    if (viaEpsv && !epsvRefused && (status == Response::ConnectionFailed || status == Response::TimedOut)
        && Connected() && control.RemoteEndpoint().address().is_v4()) {
        epsvRefused = true;
        Trace("*", "The EPSV port could not be reached; trying PASV.");
        response = PrepareDataOnce(link, false);
    }
    return response;
}

Ftp::Response Ftp::Impl::PrepareDataOnce(DataLink& link, bool epsvSent)
{
    return passive ? PreparePassive(link, epsvSent) : PrepareActive(link);
}

bool Ftp::Impl::SendEpsvAhead()
{
    return passive && !epsvRefused && Send("EPSV");
}

Ftp::Response Ftp::Impl::PreparePassive(DataLink& link, bool epsvSent)
{
    const auto peer = control.RemoteEndpoint().address();
    int port = 0;
    if (!epsvRefused) {
        Response response = epsvSent ? Collect() : Command("EPSV");
        if (response.GetStatus() == 229) {
            port = ParseEpsvPort(response.GetMessage());
            if (port == 0)
                return Response(
                    Response::InvalidResponse, "Unreadable answer to EPSV: " + response.GetMessage());
        } else if (response.GetStatus() >= 500 && response.GetStatus() < 600) {
            epsvRefused = true;
        } else {
            return response.IsOk() ? Response(Response::InvalidResponse, "Unexpected answer to EPSV")
                                   : response;
        }
    }
    if (port == 0) {
        if (!peer.is_v4())
            return Response(Response::ConnectionFailed, "The server refused EPSV, and PASV needs IPv4.");
        Response response = Command("PASV");
        if (response.GetStatus() != 227)
            return response.IsOk() ? Response(Response::InvalidResponse, "Unexpected answer to PASV")
                                   : response;
        port = ParsePasvPort(response.GetMessage());
        if (port == 0)
            return Response(Response::InvalidResponse, "Unreadable answer to PASV: " + response.GetMessage());
    }
    // The peer's address, not the one the server announced: servers behind NAT announce
    // private addresses, and a data connection to a third host is never wanted.
    link.channel = std::make_unique<Channel>(loop);
    if (Error error
        = link.channel->Connect(tcp::endpoint(peer, static_cast<unsigned short>(port)), connectTimeout)) {
        link.channel.reset();
        error.message = "Could not open the data connection. " + error.message;
        return FromError(error);
    }
    return Response(200, "");
}

Ftp::Response Ftp::Impl::PrepareActive(DataLink& link)
{
    const auto local = control.LocalEndpoint().address();
    boost::system::error_code error;
    link.acceptor = std::make_unique<tcp::acceptor>(loop.Context());
    link.acceptor->open(local.is_v4() ? tcp::v4() : tcp::v6(), error);
    if (!error)
        link.acceptor->bind(tcp::endpoint(local, 0), error);
    if (!error)
        link.acceptor->listen(1, error);
    if (error) {
        link.acceptor.reset();
        return Response(
            Response::ConnectionFailed, "Could not listen for a data connection: " + error.message());
    }
    const unsigned port = link.acceptor->local_endpoint().port();
    if (!eprtRefused) {
        const std::string argument = std::string(local.is_v4() ? "|1|" : "|2|") + local.to_string() + "|"
            + std::to_string(port) + "|";
        Response response = Command("EPRT", argument);
        if (IsPositive(response.GetStatus()))
            return response;
        if (response.GetStatus() < 500 || response.GetStatus() >= 600)
            return response.IsOk() ? Response(Response::InvalidResponse, "Unexpected answer to EPRT")
                                   : response;
        eprtRefused = true;
    }
    if (!local.is_v4())
        return Response(Response::ConnectionFailed, "The server refused EPRT, and PORT needs IPv4.");
    const auto bytes = local.to_v4().to_bytes();
    std::string argument;
    for (const auto byte : bytes)
        argument += std::to_string(byte) + ",";
    argument += std::to_string(port / 256) + "," + std::to_string(port % 256);
    Response response = Command("PORT", argument);
    if (response.IsOk() && !IsPositive(response.GetStatus()))
        return Response(Response::InvalidResponse, "Unexpected answer to PORT");
    return response;
}

Ftp::Response Ftp::Impl::StartTransfer(
    DataLink& link, std::string_view verb, std::string_view argument, bool sent)
{
    if (!CanTravelInCommand(argument))
        return Response(
            Response::InvalidArgument, "A name with a line break cannot be sent to an FTP server.");
    if (!sent) {
        while (parser.Next()) { }
        if (Error error = SendLine(verb, argument))
            return FromError(error);
    }
    Reply reply;
    if (Error error = ReadReply(reply, inactivityTimeout))
        return FromError(error);
    if (IsPositive(reply.code)) {
        link.finishedEarly = true;
        link.channel.reset();
        link.acceptor.reset();
        return FromReply(reply);
    }
    if (!IsPreliminary(reply.code)) {
        link.channel.reset();
        link.acceptor.reset();
        return reply.code < 400 ? Response(Response::InvalidResponse, reply.text) : FromReply(reply);
    }
    if (link.acceptor) {
        Response accepted = AcceptData(link);
        if (!accepted.IsOk())
            return accepted;
    }
    if (protectData) {
        // Servers that demand reuse (vsftpd) accept only data connections that resume the
        // control connection's session. Tickets arrive with the replies read over TLS; under
        // TLS 1.3 each may be good for one resumption, so every connection takes a fresh one.
        SSL_SESSION* session = vorn::ftp::TakeResumableSession(*tlsContext);
        if (!session)
            session = control.CopySession();
        Error error = link.channel->StartTls(tlsContext, host, session, inactivityTimeout);
        if (session)
            SSL_SESSION_free(session);
        lastDataSessionReused = !error && link.channel->SessionReused();
        if (error) {
            AbortTransfer(link);
            return FromError(error);
        }
    }
    return FromReply(reply);
}

Ftp::Response Ftp::Impl::AcceptData(DataLink& link)
{
    using Clock = vorn::ftp::IoLoop::Clock;
    const auto peer = control.RemoteEndpoint().address();
    const auto deadline = Clock::now() + connectTimeout;
    for (int preliminary = 0; preliminary < 4; ++preliminary) {
        const auto left
            = std::max(std::chrono::duration_cast<Duration>(deadline - Clock::now()), Duration(1));
        link.channel = std::make_unique<Channel>(loop);
        // A server that cannot connect says so (425, 421) instead of connecting; that reply
        // may have come with the 150 already, or comes while we wait.
        bool replied = parser.HasReply();
        if (!replied) {
            if (Error error = link.channel->Accept(*link.acceptor, peer, left, &control, &replied)) {
                AbortTransfer(link);
                return FromError(error);
            }
            if (!replied) {
                link.acceptor.reset();
                return Response(150, "");
            }
        }
        Reply reply;
        if (Error error = ReadReply(reply, inactivityTimeout, false)) {
            AbortTransfer(link);
            return FromError(error);
        }
        if (IsPositive(reply.code)) {
            // Finished before its connection was taken (a short file): the connection waits
            // in the backlog, and the reply stays queued for the end of the transfer.
            const Error error = link.channel->Accept(*link.acceptor, peer, std::min(left, Duration(5000)));
            link.acceptor.reset();
            if (!error)
                return Response(150, "");
            AbortTransfer(link);
            return Response(Response::InvalidResponse,
                "The transfer ended without a data connection: " + std::to_string(reply.code) + " "
                    + reply.text);
        }
        link.channel.reset();
        (void)ReadReply(reply, inactivityTimeout);
        if (IsPreliminary(reply.code))
            continue;
        link.acceptor.reset();
        return reply.code >= 400 ? FromReply(reply)
                                 : Response(Response::InvalidResponse, "Unexpected reply: " + reply.text);
    }
    AbortTransfer(link);
    return Response(Response::InvalidResponse, "The server sent preliminary replies without end.");
}

Ftp::Response Ftp::Impl::FinishTransfer()
{
    Reply reply;
    if (Error error = ReadReply(reply, inactivityTimeout))
        return FromError(error);
    if (IsPositive(reply.code))
        return FromReply(reply);
    // A 3xx here is no completion either.
    return reply.code < 400 ? Response(Response::InvalidResponse, reply.text) : FromReply(reply);
}

void Ftp::Impl::CloseData(DataLink& link)
{
    // A TLS peer that sees no close_notify may count the session as broken and refuse to
    // resume from it, so even after the server's end of a download ours is sent.
    if (link.channel)
        link.channel->ShutdownTls(std::min(inactivityTimeout, Duration(std::chrono::seconds(5))));
    link.channel.reset();
}

void Ftp::Impl::AbortTransfer(DataLink& link)
{
    link.channel.reset();
    link.acceptor.reset();
    if (!Connected() || loop.IsCancelled()) {
        DropControl();
        return;
    }
    // The server answers the transfer (426 or 226) and ABOR (225 or 226) in an order that
    // varies between servers; the NOOP's 200 marks the point where the replies are in step.
    if (SendLine("ABOR", {}) || SendLine("NOOP", {}))
        return;
    const auto bound = std::min(inactivityTimeout, Duration(std::chrono::seconds(10)));
    const auto deadline = vorn::ftp::IoLoop::Clock::now() + bound;
    for (int i = 0; i < 8; ++i) {
        const auto left = std::chrono::duration_cast<Duration>(deadline - vorn::ftp::IoLoop::Clock::now());
        Reply reply;
        if (left.count() <= 0 || ReadReply(reply, left))
            break;
        if (reply.code == 200)
            return;
    }
    DropControl();
}

Ftp::Response Ftp::Impl::RenameRaw(const std::string& from, const std::string& to)
{
    Response response = Command("RNFR", from);
    if (response.GetStatus() != 350)
        return response.IsOk() ? Response(Response::InvalidResponse, "Unexpected answer to RNFR") : response;
    response = Command("RNTO", to);
    if (response.IsOk() && !IsPositive(response.GetStatus()))
        return Response(Response::InvalidResponse, "Unexpected answer to RNTO");
    return response;
}

Ftp::Response Ftp::Impl::ReadListing(std::string_view verb, const std::string& directory, std::string& data)
{
    DataLink link;
    Response response = PrepareData(link);
    if (!response.IsOk())
        return response;
    response = StartTransfer(link, verb, directory);
    if (!response.IsOk() || link.finishedEarly)
        return response;
    for (;;) {
        std::string_view bytes;
        if (Error error = link.channel->ReadSome(bytes, inactivityTimeout)) {
            AbortTransfer(link);
            return FromError(error);
        }
        if (bytes.empty())
            break;
        if (data.size() + bytes.size() > maxListingBytes) {
            AbortTransfer(link);
            return Response(Response::InvalidResponse, "The folder listing is larger than 256 MiB.");
        }
        data.append(bytes);
    }
    CloseData(link);
    return FinishTransfer();
}

// ---------------------------------------------------------------------------------------
// The session

Ftp::Ftp(bool verbose)
    : impl_(std::make_unique<Impl>(verbose))
{
}

Ftp::~Ftp()
{
    std::lock_guard lock(impl_->mutex);
    if (impl_->Connected() && !impl_->loop.IsCancelled()) {
        // Polite but bounded: the answer to QUIT is not waited for.
        impl_->Trace(">", "QUIT");
        (void)impl_->control.Write("QUIT\r\n", std::min(impl_->inactivityTimeout, Duration(2000)));
    }
    impl_->DropControl();
}

void Ftp::SetTrustedCertificatesFile(std::string path)
{
    std::lock_guard lock(trustedFileMutex);
    trustedFile = std::move(path);
}

std::string Ftp::GetTrustedCertificatesFile()
{
    std::lock_guard lock(trustedFileMutex);
    return trustedFile;
}

void Ftp::SetSecurity(vorn::ftp::Security security)
{
    std::lock_guard lock(impl_->mutex);
    impl_->security = security;
}

void Ftp::SetPassive(bool passive)
{
    std::lock_guard lock(impl_->mutex);
    impl_->passive = passive;
}

void Ftp::SetConnectTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard lock(impl_->mutex);
    impl_->connectTimeout = std::max(timeout, Duration(1));
}

void Ftp::SetInactivityTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard lock(impl_->mutex);
    impl_->inactivityTimeout = std::max(timeout, Duration(1));
}

std::chrono::milliseconds Ftp::GetConnectTimeout() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->connectTimeout;
}

std::chrono::milliseconds Ftp::GetInactivityTimeout() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->inactivityTimeout;
}

void Ftp::SetTransferHook(TransferHook hook)
{
    std::lock_guard lock(impl_->mutex);
    impl_->hook = std::move(hook);
}

void Ftp::Cancel()
{
    impl_->loop.Cancel();
}

bool Ftp::LastDataSessionReused() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->lastDataSessionReused;
}

Ftp::Response Ftp::Connect(const IPAddress& server, unsigned short port, float timeoutSeconds)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    s.DropControl();
    s.features.clear();
    s.useMlsd = false;
    s.epsvRefused = false;
    s.eprtRefused = false;
    if (s.loop.IsCancelled())
        return Response(Response::Cancelled, "The operation was cancelled.");
    if (!server.IsValid())
        return Response(Response::ConnectionFailed, "\"" + server.ToString() + "\" is not a server address.");
    s.host = server.ToString();
    const Duration timeout
        = timeoutSeconds > 0 ? Duration(static_cast<long long>(timeoutSeconds * 1000)) : s.connectTimeout;

    if (s.security != vorn::ftp::Security::Plain) {
        Error error;
        s.tlsContext = vorn::ftp::MakeClientTlsContext(GetTrustedCertificatesFile(), error);
        if (!s.tlsContext)
            return FromError(error);
    }
    if (Error error = s.control.Connect(s.host, port, timeout))
        return FromError(error);
    if (s.security == vorn::ftp::Security::ImplicitTls) {
        if (Error error = s.control.StartTls(s.tlsContext, s.host, nullptr, s.inactivityTimeout)) {
            s.DropControl();
            return FromError(error);
        }
    }
    Reply greeting;
    // 120: "ready in a few minutes"; the real greeting follows.
    for (int i = 0; i < 4; ++i) {
        if (Error error = s.ReadReply(greeting, s.inactivityTimeout))
            return FromError(error);
        if (!IsPreliminary(greeting.code))
            break;
    }
    if (!IsPositive(greeting.code)) {
        s.DropControl();
        return greeting.code < 400 ? Response(Response::InvalidResponse, greeting.text) : FromReply(greeting);
    }
    if (s.security == vorn::ftp::Security::ExplicitTls) {
        Response auth = s.Command("AUTH", "TLS");
        if (!IsPositive(auth.GetStatus())) {
            s.DropControl();
            if (auth.GetStatus() >= 1000)
                return auth;
            // Never fall back to plain text: the user asked for TLS.
            return Response(Response::TlsFailed, "The server refused TLS (AUTH TLS): " + auth.GetMessage());
        }
        if (Error error = s.control.StartTls(s.tlsContext, s.host, nullptr, s.inactivityTimeout)) {
            s.DropControl();
            return FromError(error);
        }
    }
    return FromReply(greeting);
}

Ftp::Response Ftp::Login(const std::string& user, const std::string& password)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    if (!s.Connected())
        return s.NotConnected();
    // A server may reset the transfer type with a new login: the next transfer sets it again.
    s.currentType = -1;
    // Features, UTF-8 and data protection are settled before USER: servers allow them then,
    // some want UTF-8 on before a name arrives, and a server that asks for a login first
    // (530) gets them again afterwards.
    bool afterLogin = false;
    Response settled = s.Settle(afterLogin);
    if (!settled.IsOk())
        return settled;
    Response response = s.Command("USER", user);
    if (response.GetStatus() == 331)
        response = s.Command("PASS", password);
    if (response.GetStatus() == 332)
        return Response(332, "The server asks for an account (ACCT), which is not supported.");
    if (!IsPositive(response.GetStatus()))
        return response.IsOk() ? Response(Response::InvalidResponse, response.GetMessage()) : response;
    if (afterLogin) {
        settled = s.Settle(afterLogin);
        if (!settled.IsOk())
            return settled;
    }
    return response;
}

Ftp::Response Ftp::Impl::Settle(bool& retryAfterLogin)
{
    const bool firstTry = !retryAfterLogin;
    retryAfterLogin = false;
    Response feat = Command("FEAT");
    if (!Connected())
        return feat;
    if (feat.GetStatus() == 530 && firstTry)
        retryAfterLogin = true;
    if (feat.GetStatus() == 211)
        features = ParseFeatures(feat.GetMessage());
    useMlsd = features.count("MLST") > 0 || features.count("MLSD") > 0;
    if (features.count("UTF8")) {
        // Names are passed through as bytes; this asks the server to use UTF-8 for them.
        Response utf8 = Command("OPTS", "UTF8 ON");
        if (!Connected())
            return utf8;
    }
    if (control.IsTls() && !protectData) {
        (void)Command("PBSZ", "0");
        Response prot = Command("PROT", "P");
        if (prot.GetStatus() == 530 && firstTry) {
            retryAfterLogin = true;
        } else if (!IsPositive(prot.GetStatus())) {
            if (prot.GetStatus() >= 1000)
                return prot;
            // Never transfer in the clear when the user asked for TLS.
            return Response(Response::TlsFailed,
                "The server refused to protect data connections (PROT P): " + prot.GetMessage());
        } else {
            protectData = true;
        }
    }
    return Response(200, "");
}

Ftp::Response Ftp::Disconnect()
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    if (!s.Connected())
        return s.NotConnected();
    Response response = s.Command("QUIT");
    s.DropControl();
    return response;
}

Ftp::Response Ftp::KeepAlive()
{
    std::unique_lock lock(impl_->mutex, std::try_to_lock);
    if (!lock.owns_lock())
        return Response(Response::Busy, "A command or transfer is in progress.");
    if (!impl_->Connected())
        return impl_->NotConnected();
    return impl_->Command("NOOP");
}

Ftp::DirectoryResponse Ftp::GetWorkingDirectory()
{
    std::lock_guard lock(impl_->mutex);
    Response response = impl_->Command("PWD");
    if (response.GetStatus() != 257)
        return DirectoryResponse(
            response.IsOk() ? Response(Response::InvalidResponse, response.GetMessage()) : response, "");
    return DirectoryResponse(response, ParseQuotedPath(response.GetMessage()));
}

Ftp::ListingResponse Ftp::GetDirectoryListing(const std::string& directory)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    if (!s.Connected())
        return ListingResponse(s.NotConnected(), {});
    std::string data;
    bool mlsd = s.useMlsd;
    Response response = s.ReadListing(mlsd ? "MLSD" : "LIST", directory, data);
    // Some servers announce MLST but do not implement MLSD.
    if (mlsd && (response.GetStatus() == 500 || response.GetStatus() == 502)) {
        s.useMlsd = mlsd = false;
        data.clear();
        response = s.ReadListing("LIST", directory, data);
    }
    if (!response.IsOk())
        return ListingResponse(response, {});

    std::vector<Info> entries;
    const std::time_t now = std::time(nullptr);
    std::size_t start = 0;
    while (start < data.size()) {
        auto end = data.find('\n', start);
        if (end == std::string::npos)
            end = data.size();
        std::string_view line(data.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        // Lines that list nothing come back empty; lines that cannot be read come back as
        // entries marked unusable, which the walk reports.
        auto info = mlsd ? vorn::ftp::ParseMlsdLine(line) : vorn::ftp::ParseListLine(line, now);
        if (!info)
            continue;
        // A name that cannot be a name here still reaches the caller, marked, so that a backup
        // reports it instead of leaving it out in silence.
        if (info->unusable.empty() && !vorn::ftp::IsSafeEntryName(info->name) && info->name != "."
            && info->name != "..")
            info->unusable = "The server listed a name that cannot be a file name here.";
        entries.push_back(std::move(*info));
    }
    return ListingResponse(response, std::move(entries));
}

Ftp::Response Ftp::ChangeDirectory(const std::string& directory)
{
    std::lock_guard lock(impl_->mutex);
    return Completed(impl_->Command("CWD", directory), "CWD");
}

Ftp::Response Ftp::ParentDirectory()
{
    std::lock_guard lock(impl_->mutex);
    return Completed(impl_->Command("CDUP"), "CDUP");
}

Ftp::Response Ftp::MakeDirectory(const std::string& name)
{
    std::lock_guard lock(impl_->mutex);
    return Completed(impl_->Command("MKD", name), "MKD");
}

Ftp::Response Ftp::DeleteFile(const std::string& name)
{
    std::lock_guard lock(impl_->mutex);
    return Completed(impl_->Command("DELE", name), "DELE");
}

Ftp::Response Ftp::Rename(const std::string& file, const std::string& newName)
{
    std::lock_guard lock(impl_->mutex);
    return impl_->RenameRaw(file, newName);
}

Ftp::Response Ftp::Download(
    const std::string& remotePath, const std::string& localFolder, TranslateInfo& progress, TransferMode mode)
{
    const int folderFd = ::open(localFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        progress.Reset();
        return Response(Response::InvalidFile, "The local folder " + localFolder + " does not exist.");
    }
    Response response = DownloadInto(folderFd, localFolder, remotePath, -1, progress, mode);
    ::close(folderFd);
    return response;
}

std::optional<Ftp::Response> Ftp::Impl::BeginDownload(const std::string& path, const std::string& name,
    TransferMode mode, std::int64_t listedSize, TranslateInfo& progress, std::int64_t& size, bool& served)
{
    progress.Reset();
    if (!vorn::ftp::IsSafeEntryName(name))
        return Response(
            Response::InvalidFile, "\"" + name + "\" is not a plain file name; it was not downloaded.");
    if (!Connected())
        return NotConnected();
    return BeginRead(path, mode, listedSize, progress, size, served);
}

std::optional<Ftp::Response> Ftp::Impl::BeginRead(const std::string& path, TransferMode mode,
    std::int64_t listedSize, TranslateInfo& progress, std::int64_t& size, bool& served)
{
    Response response = SetType(mode);
    if (!response.IsOk())
        return response;
    // The listing's size is the file's size as the walk saw it; SIZE would cost a round trip
    // per file to say the same, so it is asked only where the listing gave none.
    served = false;
    size = listedSize;
    if (size < 0) {
        size = RemoteSize(path, response);
        if (!Connected())
            return response;
        served = size >= 0;
    }
    if (size >= 0)
        progress.totalBytes = static_cast<std::uint64_t>(size);
    return std::nullopt;
}

std::optional<Ftp::Response> Ftp::Impl::WrongLength(
    const std::string& path, std::uint64_t delivered, std::int64_t size, bool served)
{
    if (size < 0 || delivered == static_cast<std::uint64_t>(size))
        return std::nullopt;
    // The listing may be older than the file: a log that grew since the folder was listed
    // came whole when the server's size now says what came.
    if (!served) {
        Response failure;
        if (RemoteSize(path, failure) == static_cast<std::int64_t>(delivered))
            return std::nullopt;
    }
    return Response(Response::ConnectionClosed, DeliveredText(delivered, size, served));
}

std::optional<Ftp::Response> Ftp::Impl::PumpData(
    DataLink& link, const DataSink& sink, std::int64_t size, TranslateInfo& progress, std::uint64_t& moved)
{
    const vorn::ftp::IoLoop::Poll* poll = hook ? &hook : nullptr;
    while (!link.finishedEarly) {
        if (hook && !hook())
            return Response(Response::Cancelled, "The transfer was stopped.");
        std::string_view bytes;
        if (Error error = link.channel->ReadSome(bytes, inactivityTimeout, poll))
            return FromError(error);
        if (bytes.empty())
            break;
        if (std::optional<Response> stop = sink(bytes))
            return stop;
        moved += bytes.size();
        progress.bytes = moved;
        if (size > 0)
            progress.percent = static_cast<float>(std::min<double>(100.0, 100.0 * moved / size));
    }
    return std::nullopt;
}

Ftp::Response Ftp::DownloadInto(int folderFd, const std::string& folderText, const std::string& remotePath,
    std::int64_t listedSize, TranslateInfo& progress, TransferMode mode)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    const std::string name(vorn::LastPathComponent(remotePath));
    std::int64_t size = -1;
    bool served = false;
    if (std::optional<Response> stop
        = s.BeginDownload(remotePath, name, mode, listedSize, progress, size, served))
        return *stop;

    // The server answers EPSV while the file is made: creating a file can take longer than
    // the round trip.
    const bool epsvAhead = s.SendEpsvAhead();
    vorn::ftp::TempFile file(folderFd, folderText, name);
    if (!file.OpenError().empty()) {
        if (epsvAhead)
            (void)s.Collect();
        return Response(Response::InvalidFile, file.OpenError());
    }

    Impl::DataLink link;
    Response response = s.PrepareData(link, epsvAhead);
    if (!response.IsOk())
        return response;
    response = s.StartTransfer(link, "RETR", remotePath);
    if (!response.IsOk())
        return response;
    std::uint64_t received = 0;
    response = s.ReceiveInto(link, file, size, progress, received);
    if (!response.IsOk())
        return response;
    if (mode == Binary)
        if (std::optional<Response> wrong = s.WrongLength(remotePath, received, size, served))
            return *wrong;
    std::string commitError;
    if (!file.CommitAs(name, commitError))
        return Response(Response::InvalidFile, commitError);
    progress.percent = 100.0f;
    if (size < 0)
        response.MarkSizeUnchecked();
    return response;
}

Ftp::Response Ftp::Impl::ReceiveInto(DataLink& link, vorn::ftp::TempFile& file, std::int64_t size,
    TranslateInfo& progress, std::uint64_t& received)
{
    const DataSink toFile = [&file](std::string_view bytes) -> std::optional<Response> {
        std::string writeError;
        if (file.Write(bytes, writeError))
            return std::nullopt;
        return Response(Response::InvalidFile, writeError);
    };
    if (std::optional<Response> stop = PumpData(link, toFile, size, progress, received)) {
        AbortTransfer(link);
        // The file sink never times out, so a timeout is the silence of the data connection.
        if (stop->GetStatus() == Response::TimedOut)
            return Response(Response::TimedOut,
                "No data came for " + vorn::ftp::DescribeDuration(inactivityTimeout) + ".");
        return *stop;
    }
    CloseData(link);
    if (!link.finishedEarly)
        return FinishTransfer();
    return Response(226, "");
}

Ftp::Response Ftp::Impl::OpenRelay(
    Impl& dst, DataLink& in, DataLink& out, const std::string& sourcePath, const std::string& temporary)
{
    // The two servers answer at the same time instead of one after the other: per file that
    // saves two round trips, as much as the file's data takes on a fast link.
    const bool epsvAhead = dst.SendEpsvAhead();
    Response read = PrepareData(in);
    Response stored = dst.PrepareData(out, epsvAhead);
    if (!read.IsOk())
        return read;
    if (!stored.IsOk())
        return stored;
    const bool storAhead = dst.Send("STOR", temporary);
    read = StartTransfer(in, "RETR", sourcePath);
    stored = dst.StartTransfer(out, "STOR", temporary, storAhead);
    const bool uploading = stored.IsOk() && !out.finishedEarly;
    if (read.IsOk() && uploading)
        return read;
    if (read.IsOk() && !in.finishedEarly)
        AbortTransfer(in);
    if (uploading)
        dst.AbortTransfer(out);
    if (stored.IsOk() && dst.Connected())
        (void)dst.Command("DELE", temporary);
    if (!read.IsOk())
        return read;
    return stored.IsOk() ? Response(Response::InvalidResponse, "The server did not take the upload.")
                         : stored;
}

Ftp::Response Ftp::Impl::MoveIntoPlace(
    const std::string& temporary, const std::string& target, const std::string& aside)
{
    Response moved = RenameRaw(temporary, target);
    if (!moved.IsOk() && Connected()) {
        // Servers on Windows refuse to rename over an existing file. Move the old copy aside
        // first, so that it is back in place if the new one cannot be moved in.
        if (RenameRaw(target, aside).IsOk()) {
            moved = RenameRaw(temporary, target);
            if (moved.IsOk())
                (void)Command("DELE", aside);
            else
                (void)RenameRaw(aside, target);
        }
    }
    return moved;
}

std::optional<Ftp::Response> Ftp::Impl::PumpToUpload(
    Impl& dst, DataLink& in, DataLink& out, std::int64_t size, TranslateInfo& progress, std::uint64_t& copied)
{
    const vorn::ftp::IoLoop::Poll* poll = hook ? &hook : nullptr;
    if (!in.finishedEarly && !in.channel->IsTls() && !out.channel->IsTls() && kernelRelay.Ready())
        return PumpInKernel(dst, in, out, size, progress, copied);
    const DataSink toUpload = [&](std::string_view bytes) -> std::optional<Response> {
        if (Error error = out.channel->Write(bytes, dst.inactivityTimeout, poll))
            return FromError(error);
        return std::nullopt;
    };
    return PumpData(in, toUpload, size, progress, copied);
}

std::optional<Ftp::Response> Ftp::Impl::PumpInKernel(
    Impl& dst, DataLink& in, DataLink& out, std::int64_t size, TranslateInfo& progress, std::uint64_t& copied)
{
    const vorn::ftp::IoLoop::Poll* poll = hook ? &hook : nullptr;
    for (;;) {
        if (hook && !hook())
            return Response(Response::Cancelled, "The transfer was stopped.");
        std::size_t moved = 0;
        if (Error error = kernelRelay.MoveSome(
                *in.channel, *out.channel, inactivityTimeout, dst.inactivityTimeout, poll, moved))
            return FromError(error);
        if (moved == 0)
            return std::nullopt;
        copied += moved;
        progress.bytes = copied;
        if (size > 0)
            progress.percent = static_cast<float>(std::min<double>(100.0, 100.0 * copied / size));
    }
}

Ftp::Response Ftp::Impl::DropUpload(
    Response why, Impl& src, DataLink& in, bool sourceRunning, DataLink& out, const std::string& temporary)
{
    if (sourceRunning)
        src.AbortTransfer(in);
    if (out.channel)
        AbortTransfer(out);
    if (Connected())
        (void)Command("DELE", temporary);
    else
        strandedUploads.push_back(temporary);
    return why;
}

void Ftp::Impl::RemoveStrandedUploads()
{
    while (!strandedUploads.empty() && Connected()) {
        (void)Command("DELE", strandedUploads.back());
        if (Connected())
            strandedUploads.pop_back();
    }
}

Ftp::Response Ftp::Relay(Ftp& destination, const std::string& sourcePath,
    const std::string& destinationFolder, TranslateInfo& progress, TransferMode mode, std::int64_t listedSize)
{
    if (&destination == this)
        return Response(Response::InvalidArgument, "A session cannot copy a file to itself.");
    // Both locks at once, so two relays in opposite directions cannot deadlock.
    std::scoped_lock lock(impl_->mutex, destination.impl_->mutex);
    Impl& src = *impl_;
    Impl& dst = *destination.impl_;
    progress.Reset();
    const std::string name(vorn::LastPathComponent(sourcePath));
    if (!vorn::ftp::IsSafeEntryName(name))
        return Response(
            Response::InvalidFile, "\"" + name + "\" is not a plain file name; it was not copied.");
    if (!src.Connected() || !dst.Connected())
        return src.NotConnected();

    dst.RemoveStrandedUploads();
    Response response = dst.SetType(mode);
    if (!response.IsOk())
        return response;
    std::int64_t size = -1;
    bool served = false;
    if (std::optional<Response> stop = src.BeginRead(sourcePath, mode, listedSize, progress, size, served))
        return *stop;

    const std::string target = vorn::JoinPath(destinationFolder, name);
    const std::string temporary = vorn::JoinPath(destinationFolder, vorn::ftp::MakeTemporaryName(name));

    Impl::DataLink in;
    Impl::DataLink out;
    response = src.OpenRelay(dst, in, out, sourcePath, temporary);
    if (!response.IsOk())
        return response;

    // From here on a partial upload may exist; every failure removes it.
    auto fail = [&](Response why, bool sourceRunning) {
        return dst.DropUpload(std::move(why), src, in, sourceRunning, out, temporary);
    };
    std::uint64_t copied = 0;
    if (std::optional<Response> stop = src.PumpToUpload(dst, in, out, size, progress, copied))
        return fail(*stop, true);
    // The end of the upload is the end of the stream (over TLS a close_notify marks it). It
    // ends before the source's final reply is read, so that both servers answer at once: the
    // copy is still under its temporary name, removed below when anything was wrong.
    src.CloseData(in);
    dst.CloseData(out);
    const Response read = in.finishedEarly ? Response(226, "") : src.FinishTransfer();
    response = dst.FinishTransfer();
    if (!read.IsOk())
        return fail(read, false);
    if (mode == Binary)
        if (std::optional<Response> wrong = src.WrongLength(sourcePath, copied, size, served))
            return fail(*wrong, false);
    if (!response.IsOk())
        return fail(response, false);

    const Response moved = dst.MoveIntoPlace(
        temporary, target, vorn::JoinPath(destinationFolder, vorn::ftp::MakeTemporaryName(name, "vornold")));
    if (!moved.IsOk())
        return fail(
            Response(moved.GetStatus(), "Could not move the copy into place: " + moved.GetMessage()), false);
    progress.percent = 100.0f;
    if (size < 0)
        response.MarkSizeUnchecked();
    return response;
}

Ftp::Response Ftp::Upload(int localFd, std::int64_t size, const std::string& remoteFolder,
    const std::string& name, TranslateInfo& progress)
{
    std::lock_guard lock(impl_->mutex);
    Impl& dst = *impl_;
    progress.Reset();
    progress.totalBytes = size > 0 ? std::uint64_t(size) : 0;
    if (!vorn::ftp::IsSafeEntryName(name))
        return Response(
            Response::InvalidFile, "\"" + name + "\" is not a plain file name; it was not copied.");
    if (!dst.Connected())
        return dst.NotConnected();
    dst.RemoveStrandedUploads();
    Response response = dst.SetType(Binary);
    const std::string temporary = vorn::JoinPath(remoteFolder, vorn::ftp::MakeTemporaryName(name));
    Impl::DataLink out;
    if (response.IsOk())
        response = dst.PrepareData(out);
    if (response.IsOk())
        response = dst.StartTransfer(out, "STOR", temporary);
    if (!response.IsOk())
        return response;
    Impl::DataLink none;
    auto fail
        = [&](Response why) { return dst.DropUpload(std::move(why), dst, none, false, out, temporary); };
    const vorn::ftp::IoLoop::Poll* poll = dst.hook ? &dst.hook : nullptr;
    std::vector<char> buffer(256 * 1024);
    for (std::uint64_t sent = 0;;) {
        if (dst.hook && !dst.hook())
            return fail(Response(Response::Cancelled, "The transfer was stopped."));
        const ssize_t n = ::read(localFd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(Response(Response::InvalidFile,
                std::string("The local file cannot be read: ") + std::strerror(errno)));
        if (n == 0 && size >= 0 && sent != std::uint64_t(size))
            return fail(
                Response(Response::InvalidFile, "The local file changed its size while it was uploaded."));
        if (n == 0)
            break;
        if (Error error = out.channel->Write(
                std::string_view(buffer.data(), std::size_t(n)), dst.inactivityTimeout, poll))
            return fail(FromError(error));
        sent += std::uint64_t(n);
        progress.bytes = sent;
        progress.percent = size > 0 ? float(100.0 * double(sent) / double(size)) : 100.0f;
    }
    dst.CloseData(out);
    response = dst.FinishTransfer();
    if (!response.IsOk())
        return fail(response);
    const Response moved = dst.MoveIntoPlace(temporary, vorn::JoinPath(remoteFolder, name),
        vorn::JoinPath(remoteFolder, vorn::ftp::MakeTemporaryName(name, "vornold")));
    if (!moved.IsOk())
        return fail(moved);
    progress.percent = 100.0f;
    return response;
}

int Ftp::TsFileBtFtp(Ftp& destination, const std::string& sourcePath, const std::string& destinationFolder,
    TranslateInfo& progress, TransferMode mode)
{
    return Relay(destination, sourcePath, destinationFolder, progress, mode).IsOk() ? 1 : 0;
}

bool Ftp::Supports(const std::string& feature) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->features.count(feature) > 0;
}

Ftp::Response Ftp::ModificationTime(const std::string& remotePath, std::string& time)
{
    std::lock_guard lock(impl_->mutex);
    return impl_->FileTime(remotePath, time);
}

Ftp::Response Ftp::Impl::FileTime(const std::string& remotePath, std::string& time)
{
    time.clear();
    Response response = Command("MDTM", remotePath);
    const std::string& text = response.GetMessage();
    if (response.GetStatus() != 213)
        return response;
    if (text.size() < 14
        || !std::all_of(text.begin(), text.begin() + 14, [](char c) { return c >= '0' && c <= '9'; }))
        return Response(Response::InvalidResponse, "Unexpected answer to MDTM: " + text);
    time = text.substr(0, 14);
    return response;
}

// ---------------------------------------------------------------------------------------
// Downloads that may be continued

std::optional<Ftp::Response> Ftp::Impl::FileFacts(
    const std::string& path, std::int64_t& size, bool& known, std::string& modified)
{
    // The listing is as old as the walk's visit to the folder: the facts are asked afresh.
    if (!known) {
        Response failure;
        const std::int64_t given = RemoteSize(path, failure);
        if (!Connected())
            return failure;
        if (given >= 0) {
            size = given;
            known = true;
        }
    }
    if (features.count("MDTM") > 0) {
        const Response answer = FileTime(path, modified);
        if (!Connected())
            return answer;
    }
    return std::nullopt;
}

std::unique_ptr<vorn::ftp::TempFile> Ftp::Impl::ResumeTarget(int folderFd, const std::string& folderText,
    const std::string& name, ResumePoint& resume, bool resumable, std::uint64_t& offset)
{
    offset = 0;
    if (resume.Holds() && resumable && resume.folderFd == folderFd) {
        auto file = std::make_unique<vorn::ftp::TempFile>(
            folderFd, folderText, resume.temporaryName, resume.bytes, resume.device, resume.inode);
        if (file->OpenError().empty()) {
            offset = resume.bytes;
            // The open file owns the partial data now; a failure hands it back.
            resume.temporaryName.clear();
            resume.Discard();
            return file;
        }
        Trace("*", file->OpenError());
    }
    resume.Discard();
    return std::make_unique<vorn::ftp::TempFile>(folderFd, folderText, name);
}

Ftp::Response Ftp::Impl::KeepPartial(
    Response why, vorn::ftp::TempFile* file, std::uint64_t length, bool resumable, ResumePoint& resume)
{
    // After a local write error the file's end is uncertain: it is not continued.
    if (file == nullptr || !resumable || length == 0 || why.GetStatus() == Response::InvalidFile)
        return why;
    dev_t device = 0;
    ino_t inode = 0;
    if (file->Keep(device, inode)) {
        resume.temporaryName = file->Name();
        resume.bytes = length;
        resume.device = device;
        resume.inode = inode;
    }
    return why;
}

Ftp::Response Ftp::DownloadResumable(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, TranslateInfo& progress, ResumePoint& resume)
{
    // A file listed below the size worth continuing takes the plain download's fewer waits.
    if (listedSize >= 0 && listedSize < ResumePoint::minimumSize && !resume.Holds())
        return DownloadInto(folderFd, folderText, remotePath, listedSize, progress, Binary);
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    const std::string name(vorn::LastPathComponent(remotePath));
    std::int64_t size = -1;
    bool known = false;
    if (std::optional<Response> stop
        = s.BeginDownload(remotePath, name, Binary, listedSize, progress, size, known))
        return *stop;
    std::string modified;
    const bool large = size >= ResumePoint::minimumSize && s.features.count("REST STREAM") > 0;
    if (large)
        if (std::optional<Response> stop = s.FileFacts(remotePath, size, known, modified))
            return *stop;
    if (size >= 0)
        progress.totalBytes = static_cast<std::uint64_t>(size);
    // Continued only while the file can be seen to be the same: by the server's size or time.
    const bool resumable = large && size >= ResumePoint::minimumSize && (known || !modified.empty());
    const bool unchanged = resume.size == size && resume.modified == modified;
    std::uint64_t offset = 0;
    std::unique_ptr<vorn::ftp::TempFile> file
        = s.ResumeTarget(folderFd, folderText, name, resume, resumable && unchanged, offset);
    if (!file->OpenError().empty())
        return Response(Response::InvalidFile, file->OpenError());
    resume.folderFd = folderFd;
    resume.size = size;
    resume.modified = modified;

    Impl::DataLink link;
    Response response = s.PrepareData(link);
    if (!response.IsOk())
        return s.KeepPartial(response, file.get(), offset, resumable, resume);
    if (offset > 0) {
        const Response rest = s.Command("REST", std::to_string(offset));
        if (!s.Connected())
            return s.KeepPartial(rest, file.get(), offset, resumable, resume);
        if (rest.GetStatus() != 350) {
            // Refused after all: this try fetches the file from its start.
            file = std::make_unique<vorn::ftp::TempFile>(folderFd, folderText, name);
            if (!file->OpenError().empty())
                return Response(Response::InvalidFile, file->OpenError());
            offset = 0;
        }
    }
    response = s.StartTransfer(link, "RETR", remotePath);
    if (!response.IsOk())
        return s.KeepPartial(response, file.get(), offset, resumable, resume);
    std::uint64_t received = offset;
    response = s.ReceiveInto(link, *file, size, progress, received);
    if (!response.IsOk())
        return s.KeepPartial(response, file.get(), received, resumable, resume);
    if (size >= 0 && received != static_cast<std::uint64_t>(size)
        && s.WrongLength(remotePath, received, size, known)) {
        const Response shortOrLong(Response::ConnectionClosed, DeliveredText(received, size, known));
        // A continued transfer that does not add up, or one longer than the file, is no part
        // of it: the next try starts from zero.
        if (offset > 0 || received > static_cast<std::uint64_t>(size))
            return shortOrLong;
        return s.KeepPartial(shortOrLong, file.get(), received, resumable, resume);
    }
    std::string commitError;
    if (!file->CommitAs(name, commitError))
        return Response(Response::InvalidFile, commitError);
    progress.percent = 100.0f;
    if (size < 0)
        response.MarkSizeUnchecked();
    return response;
}

} // namespace sf
