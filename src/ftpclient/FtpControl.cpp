// The command channel: lines out, replies in, one command at a time.
#include "common/DecimalText.h"
#include "ftpclient/FtpImpl.h"

#include <iostream>

namespace sf {

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

// Why a transfer whose byte count differs from the file's size is no copy of it: a server
// may cut a file off and still report success.
std::string DeliveredText(std::uint64_t delivered, std::int64_t size, bool fromSize)
{
    return "The transfer delivered " + std::to_string(delivered) + " bytes; the file has "
        + std::to_string(size) + " bytes (" + (fromSize ? "SIZE" : "listing") + ").";
}

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

void Ftp::Impl::DropControl()
{
    control.Close();
    parser.Reset();
    aheadPath.clear();
    nextDownload.clear();
    listingExpected = false;
    aheadListing.clear();
    aheadTimes.clear();
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
    SettleAhead();
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
    SettleAhead();
    while (parser.Next()) { }
    return !SendLine(verb, argument);
}

bool Ftp::Impl::SendAll(const std::vector<std::string>& lines, bool keepQueued)
{
    if (!Connected())
        return false;
    SettleAhead();
    while (!keepQueued && parser.Next()) { }
    std::string text;
    for (const std::string& line : lines) {
        if (!CanTravelInCommand(line))
            return false;
        Trace(">", line);
        text += line + "\r\n";
    }
    if (!Connected() || control.Write(text, inactivityTimeout)) {
        DropControl();
        return false;
    }
    return true;
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

} // namespace sf
