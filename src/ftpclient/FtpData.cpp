// Data connections: extended passive (EPSV), passive (PASV) and active (EPRT, PORT), their TLS, and
// the end or abort of a transfer.
#include "ftpclient/FtpImpl.h"
#include "ftpclient/FtpReplies.h"

#include <algorithm>
#include <utility>

namespace sf {

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
            port = vorn::ftp::ParseEpsvPort(response.GetMessage()).value_or(0);
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
        port = vorn::ftp::ParsePasvPort(response.GetMessage()).value_or(0);
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
    epsvProven = epsvProven || !epsvRefused;
    return Response(200, "");
}

bool Ftp::Impl::CanPipeline() const
{
    return passive && epsvProven && !epsvRefused && aheadPath.empty() && aheadListing.empty()
        && aheadTimes.empty() && Connected();
}

bool Ftp::Impl::SendPipelined(std::string_view verb, std::string_view argument, bool keepQueued)
{
    std::string command(verb);
    if (!argument.empty())
        command += " " + std::string(argument);
    return CanTravelInCommand(argument) && SendAll({ "EPSV", command }, keepQueued);
}

Ftp::Response Ftp::Impl::OpenPipelined(DataLink& link, bool& fallBack)
{
    fallBack = false;
    Response response = Collect();
    if (response.GetStatus() != 229) {
        // The transfer command was answered too (a 425: no data connection was set up); the
        // session is in step again and the caller starts over with PASV.
        const Response second = Connected() ? Collect() : response;
        if (!Connected())
            return second;
        if (response.GetStatus() >= 500 && response.GetStatus() < 600)
            epsvRefused = true;
        if (IsPreliminary(second.GetStatus()) || IsPositive(second.GetStatus())) {
            DropControl();
            return Response(Response::InvalidResponse, "The server started a transfer without EPSV.");
        }
        fallBack = response.IsOk() || response.GetStatus() < 1000;
        return fallBack ? Response(200, "") : response;
    }
    const int port = vorn::ftp::ParseEpsvPort(response.GetMessage()).value_or(0);
    link.channel = std::make_unique<Channel>(loop);
    Error error { Error::Code::Protocol, "Unreadable answer to EPSV: " + response.GetMessage() };
    if (port != 0) {
        const tcp::endpoint target(control.RemoteEndpoint().address(), static_cast<unsigned short>(port));
        error = link.channel->Connect(target, connectTimeout);
        if (error)
            error.message = "Could not open the data connection. " + error.message;
    }
    if (error) {
        // The server waits for this connection before it answers the command: the session
        // cannot be brought back in step quickly, so it ends (a retry logs in again).
        link.channel.reset();
        DropControl();
        return FromError(error);
    }
    return Response(200, "");
}

void Ftp::Impl::SettleAhead()
{
    SettleTimes();
    SettleListing();
    if (aheadPath.empty())
        return;
    aheadPath.clear();
    DataLink link;
    bool fallBack = false;
    const Response opened = OpenPipelined(link, fallBack);
    if (!opened.IsOk() || fallBack || !Connected())
        return;
    const Response started = StartTransfer(link, "RETR", {}, true);
    if (started.IsOk() && !link.finishedEarly)
        AbortTransfer(link);
}

Ftp::Response Ftp::Impl::EnterAndList(const std::string& directory)
{
    SettleAhead();
    const char* verb = useMlsd ? "MLSD" : "LIST";
    if (directory.empty() || !CanTravelInCommand(directory) || !CanPipeline()
        || !SendAll({ "CWD " + directory, "EPSV", verb }))
        return Completed(Command("CWD", directory), "CWD");
    // One reply exactly: a preliminary one skipped here would take the EPSV's answer for it.
    Reply reply;
    if (Error error = ReadReply(reply, inactivityTimeout))
        return FromError(error);
    if (IsPreliminary(reply.code)) {
        DropControl();
        return Response(Response::InvalidResponse,
            "Unexpected reply to CWD: " + std::to_string(reply.code) + " " + reply.text);
    }
    aheadListing = verb;
    // Refused: the session is still in its folder, and the listing that followed is of that
    // folder. It must never pass for this one's.
    if (!IsPositive(reply.code))
        SettleListing();
    return Completed(FromReply(reply), "CWD");
}

void Ftp::Impl::SettleListing()
{
    if (aheadListing.empty())
        return;
    const std::string verb = std::exchange(aheadListing, {});
    if (!Connected())
        return;
    DataLink link;
    bool fallBack = false;
    const Response opened = OpenPipelined(link, fallBack);
    if (!opened.IsOk() || fallBack || !Connected())
        return;
    const Response started = StartTransfer(link, verb, {}, true);
    if (started.IsOk() && !link.finishedEarly)
        (void)ReceiveListing(link, nullptr);
}

Ftp::Response Ftp::Impl::ReceiveListing(DataLink& link, std::string* data, const DataEnded& dataEnded)
{
    std::size_t total = 0;
    for (;;) {
        std::string_view bytes;
        if (Error error = link.channel->ReadSome(bytes, inactivityTimeout)) {
            AbortTransfer(link);
            return FromError(error);
        }
        if (bytes.empty())
            break;
        total += bytes.size();
        if (total > maxListingBytes) {
            AbortTransfer(link);
            return Response(Response::InvalidResponse, "The folder listing is larger than 256 MiB.");
        }
        if (data != nullptr)
            data->append(bytes);
    }
    CloseData(link);
    if (dataEnded && data != nullptr)
        dataEnded(*data);
    return FinishTransfer();
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
        SettleAhead();
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

Ftp::Response Ftp::Impl::ReadListing(
    std::string_view verb, const std::string& directory, std::string& data, const DataEnded& dataEnded)
{
    DataLink link;
    listingExpected = false;
    // The listing that went out with the CWD is this one when it is of the current folder.
    const bool inFlight = directory.empty() && !aheadListing.empty() && aheadListing == verb;
    if (inFlight)
        aheadListing.clear();
    else
        SettleAhead();
    bool fallBack = !inFlight && (!CanPipeline() || !SendPipelined(verb, directory));
    Response response = fallBack ? Response(200, "") : OpenPipelined(link, fallBack);
    if (!response.IsOk())
        return response;
    if (fallBack) {
        response = PrepareData(link);
        if (!response.IsOk())
            return response;
    }
    response = StartTransfer(link, verb, directory, !fallBack);
    if (!response.IsOk() || link.finishedEarly)
        return response;
    return ReceiveListing(link, &data, dataEnded);
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
        progress.wireBytes += bytes.size();
        if (size > 0)
            progress.percent = static_cast<float>(std::min<double>(100.0, 100.0 * moved / size));
    }
    return std::nullopt;
}

} // namespace sf
