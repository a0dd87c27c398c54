#include "ftpclient/FtpSession.h"

#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace vorn::ftp {

namespace {

using Response = sf::Ftp::Response;

// The bytes of names that do not come back from their UTF-8 form (escaped ones), by code
// page and that form. Shared by every session: a run lists on one session and may fetch the
// file on another. The escaped form is a function of the bytes, so one form names one name.
std::mutex rawNamesMutex;
std::map<std::pair<std::string, std::string>, std::string> rawNames;

std::optional<std::string> KnownRawName(const std::string& charset, const std::string& shown)
{
    const std::lock_guard lock(rawNamesMutex);
    const auto known = rawNames.find({ charset, shown });
    return known == rawNames.end() ? std::nullopt : std::optional<std::string>(known->second);
}

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
    case Response::ChecksumMismatch:
        return ErrorKind::Failed;
    default:
        return status >= 400 && status < 500 ? ErrorKind::ServerTransient : ErrorKind::ServerPermanent;
    }
}

Result<remote::Transferred> Moved(const Response& response, std::uint64_t bytes)
{
    if (Status status = ToStatus(response); !status)
        return status.error();
    return remote::Transferred { bytes, response.SizeUnchecked(), response.DigestAlgorithm(),
        response.Digest(), response.DigestNote() };
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

void FtpSession::SetNameCharset(const std::string& charset)
{
    codec_ = NameCodec(charset);
    ftp_.SetRequestUtf8(!codec_.active());
}

Result<std::string> FtpSession::Raw(const std::string& path)
{
    if (!codec_.active())
        return path;
    std::string raw;
    std::size_t start = 0;
    while (start < path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string name = path.substr(start, slash - start);
        std::optional<std::string> bytes = KnownRawName(codec_.charset(), name);
        if (!bytes)
            bytes = codec_.FromUtf8(name);
        if (!bytes)
            return MakeError(
                ErrorKind::Invalid, "The name " + name + " cannot be written in " + codec_.charset());
        raw += *bytes;
        if (slash < path.size())
            raw += '/';
        start = slash + 1;
    }
    return raw;
}

std::string FtpSession::Shown(const std::string& raw, std::string* note)
{
    if (!codec_.active())
        return raw;
    std::string shown;
    if (auto converted = codec_.ToUtf8(raw)) {
        shown = std::move(*converted);
        if (codec_.FromUtf8(shown) == raw)
            return shown;
    } else {
        shown = codec_.Escaped(raw);
        if (note != nullptr)
            *note = "The name is not valid " + codec_.charset() + "; it was copied as " + shown
                + " (bytes that do not convert, and %, written as %XX).";
    }
    const std::lock_guard lock(rawNamesMutex);
    rawNames[{ codec_.charset(), shown }] = raw;
    return shown;
}

void FtpSession::ConvertNames(std::vector<remote::Entry>& entries)
{
    std::unordered_map<std::string, std::string> seen; // shown name -> its bytes, in this folder
    for (remote::Entry& entry : entries) {
        if (entry.name.empty() || entry.name == "." || entry.name == "..")
            continue;
        const std::string raw = entry.name;
        entry.name = Shown(raw, &entry.nameNote);
        if (entry.name != raw)
            entry.rawName = raw;
        if (!entry.linkTarget.empty())
            entry.linkTarget = Shown(entry.linkTarget);
        // An escaped name may equal another name listed as it is: the second is not copied.
        if (const auto [at, added] = seen.emplace(entry.name, raw);
            !added && at->second != raw && entry.unusable.empty())
            entry.unusable = "Another name of this folder is shown as " + entry.name + "; it was not copied.";
    }
}

Result<std::string> FtpSession::CurrentFolder()
{
    const auto folder = ftp_.GetWorkingDirectory();
    if (Status status = ToStatus(folder); !status)
        return status.error();
    // Name by name, so that Raw finds each escaped one again.
    const std::string& raw = folder.GetDirectory();
    std::string shown;
    for (std::size_t start = 0; start <= raw.size();) {
        const std::size_t slash = std::min(raw.find('/', start), raw.size());
        shown += Shown(raw.substr(start, slash - start)) + (slash < raw.size() ? "/" : "");
        start = slash + 1;
    }
    return shown;
}

Result<std::vector<remote::Entry>> FtpSession::List(const std::string& folder)
{
    const auto raw = Raw(folder);
    if (!raw)
        return raw.error();
    // The paths the caller will ask times for, in the server's bytes, from the entries as the
    // caller sees them.
    sf::Ftp::TimesWanted rawWanted;
    if (TimesWanted wanted = std::exchange(timesWanted_, {}))
        rawWanted = [this, wanted](const std::vector<sf::Info>& listed) {
            std::vector<remote::Entry> entries = listed;
            ConvertNames(entries);
            std::vector<std::string> raws;
            for (const std::string& path : wanted(entries)) {
                auto rawPath = Raw(path);
                if (!rawPath)
                    return std::vector<std::string> {};
                raws.push_back(std::move(*rawPath));
            }
            return raws;
        };
    auto listing = ftp_.GetDirectoryListing(*raw, rawWanted);
    if (Status status = ToStatus(listing); !status)
        return status.error();
    std::vector<remote::Entry> entries = listing.GetEntries();
    ConvertNames(entries);
    return entries;
}

Status FtpSession::ChangeFolder(const std::string& folder)
{
    const auto raw = Raw(folder);
    return raw ? ToStatus(ftp_.ChangeDirectory(*raw)) : Status(raw.error());
}

void FtpSession::ExpectListing()
{
    ftp_.ExpectListing();
}

void FtpSession::ExpectTimes(TimesWanted wanted)
{
    timesWanted_ = std::move(wanted);
}

Status FtpSession::ParentFolder()
{
    return ToStatus(ftp_.ParentDirectory());
}

Status FtpSession::MakeFolder(const std::string& path)
{
    const auto raw = Raw(path);
    return raw ? ToStatus(ftp_.MakeDirectory(*raw)) : Status(raw.error());
}

Result<std::int64_t> FtpSession::Size(const std::string& path)
{
    std::int64_t size = -1;
    const auto raw = Raw(path);
    if (!raw)
        return raw.error();
    if (Status status = ToStatus(ftp_.Size(*raw, size)); !status)
        return status.error();
    return size;
}

Result<std::string> FtpSession::ModificationTime(const std::string& path)
{
    // A server that does not announce MDTM is not asked: a refusal per file costs a round trip.
    if (!ftp_.Supports("MDTM"))
        return MakeError(ErrorKind::ServerPermanent, "The server does not give modification times.");
    std::string time;
    const auto raw = Raw(path);
    if (!raw)
        return raw.error();
    const Response answer = ftp_.ModificationTime(*raw, time);
    if (Status status = ToStatus(answer); !status)
        return status.error();
    if (time.empty())
        return MakeError(ErrorKind::Protocol, "No time came for " + path, answer.GetStatus());
    return time;
}

bool FtpSession::CanSetModificationTime() const
{
    return ftp_.CanSetModificationTime();
}

void FtpSession::SetVerifyChecksums(bool verify)
{
    ftp_.SetVerifyChecksums(verify);
}

std::vector<std::string> FtpSession::ChecksumAlgorithms() const
{
    std::vector<std::string> names;
    for (const remote::DigestKind kind : ftp_.ChecksumKinds())
        names.emplace_back(remote::DigestName(kind));
    return names;
}

Result<std::vector<std::string>> FtpSession::ModificationTimes(const std::vector<std::string>& paths)
{
    if (!ftp_.Supports("MDTM"))
        return MakeError(ErrorKind::ServerPermanent, "The server does not give modification times.");
    // The server is asked in the bytes of its own code page.
    std::vector<std::string> raws;
    raws.reserve(paths.size());
    for (const std::string& path : paths) {
        auto raw = Raw(path);
        if (!raw)
            return raw.error();
        raws.push_back(std::move(*raw));
    }
    std::vector<std::string> times;
    if (Status status = ToStatus(ftp_.ModificationTimes(raws, times)); !status)
        return status.error();
    return times;
}

void FtpSession::ExpectDownload(const std::string& remotePath)
{
    // A name that cannot be said in the server's code page is fetched without a hint.
    if (auto raw = Raw(remotePath))
        ftp_.SetNextDownload(*raw);
}

Status FtpSession::SetModificationTime(const std::string& path, const std::string& time)
{
    const auto raw = Raw(path);
    return raw ? ToStatus(ftp_.SetModificationTime(*raw, time)) : Status(raw.error());
}

Status FtpSession::DeleteFile(const std::string& path)
{
    const auto raw = Raw(path);
    return raw ? ToStatus(ftp_.DeleteFile(*raw)) : Status(raw.error());
}

Status FtpSession::Rename(const std::string& from, const std::string& to)
{
    const auto rawFrom = Raw(from);
    const auto rawTo = Raw(to);
    if (!rawFrom || !rawTo)
        return !rawFrom ? Status(rawFrom.error()) : Status(rawTo.error());
    return ToStatus(ftp_.Rename(*rawFrom, *rawTo));
}

Result<remote::Transferred> FtpSession::Download(
    const std::string& remotePath, int fileFd, std::uint64_t offset, remote::TranslateInfo& progress)
{
    std::uint64_t received = 0;
    const auto raw = Raw(remotePath);
    if (!raw)
        return raw.error();
    const Response response = ftp_.DownloadToFd(*raw, fileFd, offset, progress, received);
    return Moved(response, received);
}

Result<remote::Transferred> FtpSession::Upload(
    int fileFd, const std::string& remoteFolder, const std::string& name, remote::TranslateInfo& progress)
{
    std::uint64_t sent = 0;
    const auto rawFolder = Raw(remoteFolder);
    const auto rawName = Raw(name);
    if (!rawFolder || !rawName)
        return !rawFolder ? rawFolder.error() : rawName.error();
    const Response response = ftp_.UploadFromFd(fileFd, *rawFolder, *rawName, progress, sent);
    return Moved(response, sent);
}

Result<remote::Transferred> FtpSession::DownloadInto(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress)
{
    const auto raw = Raw(remotePath);
    if (!raw)
        return raw.error();
    return Moved(ftp_.DownloadInto(folderFd, folderText, *raw, listedSize, progress, sf::Ftp::Binary,
                     remote::BaseName(remotePath)),
        progress);
}

Result<remote::Transferred> FtpSession::DownloadResumable(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress,
    remote::ResumePoint& resume)
{
    const auto raw = Raw(remotePath);
    if (!raw)
        return raw.error();
    return Moved(ftp_.DownloadResumable(
                     folderFd, folderText, *raw, listedSize, progress, resume, remote::BaseName(remotePath)),
        progress);
}

Result<remote::Transferred> FtpSession::RelayTo(RemoteSession& destination, const std::string& sourcePath,
    const std::string& destinationFolder, std::int64_t listedSize, remote::TranslateInfo& progress)
{
    auto* ftpDestination = dynamic_cast<FtpSession*>(&destination);
    if (ftpDestination == nullptr)
        return remote::RelayThroughFile(
            *this, destination, sourcePath, destinationFolder, listedSize, progress);
    // The destination gets the source's bytes of the name, so a relay between servers of one
    // code page keeps every name byte for byte; the folder is in the destination's code page.
    const auto raw = Raw(sourcePath);
    const auto rawFolder = ftpDestination->Raw(destinationFolder);
    if (!raw || !rawFolder)
        return !raw ? raw.error() : rawFolder.error();
    return Moved(
        ftp_.Relay(ftpDestination->ftp_, *raw, *rawFolder, progress, sf::Ftp::Binary, listedSize), progress);
}

} // namespace vorn::ftp
