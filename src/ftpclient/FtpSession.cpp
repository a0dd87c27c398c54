#include "ftpclient/FtpSession.h"

namespace vorn::ftp {

namespace {

using Response = sf::Ftp::Response;

ErrorKind KindOf(int status)
{
    switch (status) {
    case Response::InvalidResponse:
        return ErrorKind::Protocol;
    case Response::ConnectionFailed:
        return ErrorKind::Network;
    case Response::ConnectionClosed:
        return ErrorKind::Closed;
    case Response::InvalidFile:
        return ErrorKind::LocalIo;
    case Response::TimedOut:
        return ErrorKind::TimedOut;
    case Response::Cancelled:
        return ErrorKind::Cancelled;
    case Response::TlsFailed:
        return ErrorKind::Tls;
    case Response::InvalidArgument:
        return ErrorKind::Invalid;
    default:
        return status >= 400 && status < 500 ? ErrorKind::ServerTransient : ErrorKind::ServerPermanent;
    }
}

Result<remote::Transferred> Moved(const Response& response, std::uint64_t bytes)
{
    if (Status status = ToStatus(response); !status)
        return status.error();
    return remote::Transferred { bytes, response.SizeUnchecked() };
}

// A whole-file transfer of sf::Ftp: its count is the progress it reported.
Result<remote::Transferred> Moved(const Response& response, const remote::TranslateInfo& progress)
{
    return Moved(response, progress.bytes.load());
}

} // namespace

Status ToStatus(const Response& response)
{
    if (response.IsOk())
        return Ok();
    const int status = response.GetStatus();
    const bool fromServer = status >= 100 && status < 1000;
    return MakeError(KindOf(status), response.GetMessage(), fromServer ? status : 0);
}

FtpSession::FtpSession(Security security, bool verbose)
    : security_(security)
    , ftp_(verbose)
{
    ftp_.SetSecurity(security);
}

std::string FtpSession::Scheme() const
{
    switch (security_) {
    case Security::ExplicitTls:
        return "ftpes";
    case Security::ImplicitTls:
        return "ftps";
    case Security::Plain:
        break;
    }
    return "ftp";
}

void FtpSession::SetPassive(bool passive)
{
    ftp_.SetPassive(passive);
}

void FtpSession::SetConnectTimeout(std::chrono::milliseconds timeout)
{
    ftp_.SetConnectTimeout(timeout);
}

void FtpSession::SetInactivityTimeout(std::chrono::milliseconds timeout)
{
    ftp_.SetInactivityTimeout(timeout);
}

std::chrono::milliseconds FtpSession::ConnectTimeout() const
{
    return ftp_.GetConnectTimeout();
}

std::chrono::milliseconds FtpSession::InactivityTimeout() const
{
    return ftp_.GetInactivityTimeout();
}

void FtpSession::SetTransferHook(TransferHook hook)
{
    ftp_.SetTransferHook(std::move(hook));
}

void FtpSession::Cancel()
{
    ftp_.Cancel();
}

Status FtpSession::Connect(const std::string& host, std::uint16_t port)
{
    // Time-out 0: the session's connect time-out, never an endless wait.
    return ToStatus(ftp_.Connect(sf::IPAddress(host), port, 0));
}

Status FtpSession::Login(const std::string& user, const std::string& password)
{
    const Response response = ftp_.Login(user, password);
    // A server that asks for an account has not let the user in, whatever its code's class.
    if (response.GetStatus() == 332)
        return MakeError(ErrorKind::ServerPermanent, response.GetMessage(), 332);
    return ToStatus(response);
}

void FtpSession::Disconnect()
{
    (void)ftp_.Disconnect();
}

Status FtpSession::KeepAlive()
{
    const Response probe = ftp_.KeepAlive();
    // Busy: another thread is in a command or a transfer, so the connection is in use.
    if (probe.GetStatus() == Response::Busy)
        return Ok();
    return ToStatus(probe);
}

Result<std::string> FtpSession::CurrentFolder()
{
    const auto folder = ftp_.GetWorkingDirectory();
    if (Status status = ToStatus(folder); !status)
        return status.error();
    return folder.GetDirectory();
}

Result<std::vector<remote::Entry>> FtpSession::List(const std::string& folder)
{
    auto listing = ftp_.GetDirectoryListing(folder);
    if (Status status = ToStatus(listing); !status)
        return status.error();
    return listing.GetEntries();
}

Status FtpSession::ChangeFolder(const std::string& folder)
{
    return ToStatus(ftp_.ChangeDirectory(folder));
}

Status FtpSession::ParentFolder()
{
    return ToStatus(ftp_.ParentDirectory());
}

Status FtpSession::MakeFolder(const std::string& path)
{
    return ToStatus(ftp_.MakeDirectory(path));
}

Result<std::int64_t> FtpSession::Size(const std::string& path)
{
    std::int64_t size = -1;
    if (Status status = ToStatus(ftp_.Size(path, size)); !status)
        return status.error();
    return size;
}

Result<std::string> FtpSession::ModificationTime(const std::string& path)
{
    // A server that does not announce MDTM is not asked: a refusal per file costs a round trip.
    if (!ftp_.Supports("MDTM"))
        return MakeError(ErrorKind::ServerPermanent, "The server does not give modification times.");
    std::string time;
    const Response answer = ftp_.ModificationTime(path, time);
    if (Status status = ToStatus(answer); !status)
        return status.error();
    if (time.empty())
        return MakeError(ErrorKind::Protocol, "No time came for " + path, answer.GetStatus());
    return time;
}

Result<std::vector<std::string>> FtpSession::ModificationTimes(const std::vector<std::string>& paths)
{
    if (!ftp_.Supports("MDTM"))
        return MakeError(ErrorKind::ServerPermanent, "The server does not give modification times.");
    std::vector<std::string> times;
    if (Status status = ToStatus(ftp_.ModificationTimes(paths, times)); !status)
        return status.error();
    return times;
}

void FtpSession::ExpectDownload(const std::string& remotePath)
{
    ftp_.SetNextDownload(remotePath);
}

Status FtpSession::SetModificationTime(const std::string& path, const std::string& time)
{
    return ToStatus(ftp_.SetModificationTime(path, time));
}

Status FtpSession::DeleteFile(const std::string& path)
{
    return ToStatus(ftp_.DeleteFile(path));
}

Status FtpSession::Rename(const std::string& from, const std::string& to)
{
    return ToStatus(ftp_.Rename(from, to));
}

Result<remote::Transferred> FtpSession::Download(
    const std::string& remotePath, int fileFd, std::uint64_t offset, remote::TranslateInfo& progress)
{
    std::uint64_t received = 0;
    const Response response = ftp_.DownloadToFd(remotePath, fileFd, offset, progress, received);
    return Moved(response, received);
}

Result<remote::Transferred> FtpSession::Upload(
    int fileFd, const std::string& remoteFolder, const std::string& name, remote::TranslateInfo& progress)
{
    std::uint64_t sent = 0;
    const Response response = ftp_.UploadFromFd(fileFd, remoteFolder, name, progress, sent);
    return Moved(response, sent);
}

Result<remote::Transferred> FtpSession::DownloadInto(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress)
{
    return Moved(ftp_.DownloadInto(folderFd, folderText, remotePath, listedSize, progress), progress);
}

Result<remote::Transferred> FtpSession::DownloadResumable(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress,
    remote::ResumePoint& resume)
{
    return Moved(
        ftp_.DownloadResumable(folderFd, folderText, remotePath, listedSize, progress, resume), progress);
}

Result<remote::Transferred> FtpSession::RelayTo(RemoteSession& destination, const std::string& sourcePath,
    const std::string& destinationFolder, std::int64_t listedSize, remote::TranslateInfo& progress)
{
    auto* ftpDestination = dynamic_cast<FtpSession*>(&destination);
    if (ftpDestination == nullptr)
        return remote::RelayThroughFile(
            *this, destination, sourcePath, destinationFolder, listedSize, progress);
    return Moved(ftp_.Relay(ftpDestination->ftp_, sourcePath, destinationFolder, progress, sf::Ftp::Binary,
                     listedSize),
        progress);
}

} // namespace vorn::ftp
