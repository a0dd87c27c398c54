#include "engine/FailureReason.h"

#include "remote/ServerAddress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn {

namespace {

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

std::string ReplyReason(const Error& error)
{
    const std::string text = OneLine(error.message);
    if (error.replyCode != 0)
        return text.empty() ? std::to_string(error.replyCode) : std::to_string(error.replyCode) + " " + text;
    if (!text.empty())
        return TrimDot(text);
    return error.kind == ErrorKind::TimedOut ? "No answer within the time-out"
                                             : "The server could not be reached";
}

std::string DescribeWait(std::chrono::milliseconds waited)
{
    char text[32];
    const double seconds = static_cast<double>(waited.count()) / 1000.0;
    std::snprintf(text, sizeof text, waited.count() % 1000 == 0 ? "%.0f s" : "%.1f s", seconds);
    return text;
}

std::string ConnectReason(
    const Error& error, const std::string& hostText, std::uint16_t port, std::chrono::milliseconds waited)
{
    const std::string host = remote::ParseServerAddress(hostText).host;
    switch (error.kind) {
    case ErrorKind::TimedOut:
        return "No answer from " + host + ":" + std::to_string(port) + " within " + DescribeWait(waited);
    case ErrorKind::Tls: {
        // The client names the verification error after "could not be verified: ".
        const std::string message = OneLine(error.message);
        const std::string marker = "could not be verified: ";
        const auto at = message.find(marker);
        if (at != std::string::npos)
            return "Certificate not trusted: " + TrimDot(message.substr(at + marker.size())) + " (" + hostText
                + ")";
        return ReplyReason(error);
    }
    default:
        return ReplyReason(error);
    }
}

std::string LoginReason(const Error& error)
{
    const int code = error.replyCode;
    if (code == 530 || code == 331 || code == 332 || code == 421 || (code >= 500 && code < 600))
        return "Login refused: " + ReplyReason(error);
    return ReplyReason(error);
}

std::string DownloadReason(const Error& error, const std::string& localPath)
{
    // The client names its temporary file; the user knows the file by its final name.
    if (error.kind == ErrorKind::LocalIo && error.message.find(std::strerror(ENOSPC)) != std::string::npos)
        return "Disk full writing " + localPath;
    return ReplyReason(error);
}

std::string ArchiveReason(const Error& error, const std::string& archivePath)
{
    if (error.message.find(std::strerror(ENOSPC)) != std::string::npos)
        return "Disk full writing " + archivePath;
    return OneLine(error.message);
}

} // namespace vorn
