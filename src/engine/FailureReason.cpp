#include "engine/FailureReason.h"

#include "ftpclient/IoLoop.h"
#include "ftpclient/ServerText.h"

#include <cerrno>
#include <cstring>

namespace vorn {

namespace {

using Response = sf::Ftp::Response;

bool IsServerCode(int status)
{
    return status >= 100 && status < 1000;
}

std::string TrimDot(std::string text)
{
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

} // namespace

std::string OneLine(const std::string& text)
{
    std::string line;
    for (const char c : text)
        line += (c == '\r' || c == '\n') ? ' ' : c;
    const auto first = line.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return line.substr(first, line.find_last_not_of(' ') - first + 1);
}

std::string ReplyReason(const Response& response)
{
    const std::string text = OneLine(response.GetMessage());
    if (IsServerCode(response.GetStatus()))
        return text.empty() ? std::to_string(response.GetStatus())
                            : std::to_string(response.GetStatus()) + " " + text;
    if (!text.empty())
        return TrimDot(text);
    return response.GetStatus() == Response::TimedOut ? "No answer within the time-out"
                                                      : "The server could not be reached";
}

std::string ConnectReason(const Response& response, const std::string& hostText, std::uint16_t port,
    std::chrono::milliseconds waited)
{
    const std::string host = ftp::ParseServerText(hostText).host;
    switch (response.GetStatus()) {
    case Response::TimedOut:
        return "No answer from " + host + ":" + std::to_string(port) + " within "
            + ftp::DescribeDuration(waited);
    case Response::TlsFailed: {
        // The client names the verification error after "could not be verified: ".
        const std::string message = OneLine(response.GetMessage());
        const std::string marker = "could not be verified: ";
        const auto at = message.find(marker);
        if (at != std::string::npos)
            return "Certificate not trusted: " + TrimDot(message.substr(at + marker.size())) + " (" + hostText
                + ")";
        return ReplyReason(response);
    }
    default:
        return ReplyReason(response);
    }
}

std::string LoginReason(const Response& response)
{
    const int status = response.GetStatus();
    if (status == 530 || status == 331 || status == 332 || status == 421 || (status >= 500 && status < 600))
        return "Login refused: " + ReplyReason(response);
    return ReplyReason(response);
}

std::string DownloadReason(const Response& response, const std::string& localPath)
{
    // The client names its temporary file; the user knows the file by its final name.
    if (response.GetStatus() == Response::InvalidFile
        && response.GetMessage().find(std::strerror(ENOSPC)) != std::string::npos)
        return "Disk full writing " + localPath;
    return ReplyReason(response);
}

std::string ArchiveReason(const ZipError& error, const std::string& archivePath)
{
    if (error.message.find(std::strerror(ENOSPC)) != std::string::npos)
        return "Disk full writing " + archivePath;
    return OneLine(error.message);
}

} // namespace vorn
