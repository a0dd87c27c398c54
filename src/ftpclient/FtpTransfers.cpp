// Downloads into local files and folders, resumable downloads, and uploads from local files.
#include "common/PathText.h"
#include "ftpclient/FtpImpl.h"
#include "remote/ResumePoint.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace sf {

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

Ftp::Response Ftp::DownloadInto(int folderFd, const std::string& folderText, const std::string& remotePath,
    std::int64_t listedSize, TranslateInfo& progress, TransferMode mode, const std::string& localName)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    const std::string name(localName.empty() ? vorn::LastPathComponent(remotePath) : localName);
    std::int64_t size = -1;
    bool served = false;
    if (std::optional<Response> stop
        = s.BeginDownload(remotePath, name, mode, listedSize, progress, size, served))
        return *stop;

    // The file is made first: EPSV and RETR then go out together, and the data connection
    // opens as soon as EPSV is answered. A download sent ahead by the previous one has both
    // on their way already.
    vorn::remote::TempFile file(folderFd, folderText, name);
    if (!file.OpenError().empty())
        return Response(Response::InvalidFile, file.OpenError());
    const bool wasAhead = !s.aheadPath.empty() && s.aheadPath == remotePath;
    if (wasAhead)
        s.aheadPath.clear();
    bool fallBack = !wasAhead && (!s.CanPipeline() || !s.SendPipelined("RETR", remotePath));
    Impl::DataLink link;
    Response response = fallBack ? Response(200, "") : s.OpenPipelined(link, fallBack);
    if (!response.IsOk())
        return response;
    if (fallBack) {
        const bool epsvAhead = s.SendEpsvAhead();
        response = s.PrepareData(link, epsvAhead);
        if (!response.IsOk())
            return response;
    }
    response = s.StartTransfer(link, "RETR", remotePath, !fallBack);
    if (!response.IsOk())
        return response;
    std::uint64_t received = 0;
    const auto digest = mode == Binary ? s.DownloadDigest() : nullptr;
    response = s.ReceiveInto(link, file, size, progress, received, digest.get(), mode == Binary);
    if (!response.IsOk())
        return response;
    if (mode == Binary)
        if (std::optional<Response> wrong = s.WrongLength(remotePath, received, size, served))
            return *wrong;
    if (std::optional<Response> differs = s.CheckDownload(remotePath, digest.get(), response))
        return *differs;
    std::string commitError;
    if (!file.CommitAs(name, commitError))
        return Response(Response::InvalidFile, commitError);
    progress.percent = 100.0f;
    if (size < 0)
        response.MarkSizeUnchecked();
    return response;
}

Ftp::Response Ftp::Impl::ReceiveInto(DataLink& link, vorn::remote::TempFile& file, std::int64_t size,
    TranslateInfo& progress, std::uint64_t& received, vorn::remote::ContentDigest* digest, bool sendAhead)
{
    const DataSink toFile = [&file, digest](std::string_view bytes) -> std::optional<Response> {
        std::string writeError;
        if (digest != nullptr)
            digest->Update(bytes);
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
    // Only once this transfer's data connection is closed: a server that sends the final
    // reply after the client's close (vsftpd, pyftpdlib) reads the next commands then.
    const std::string next = std::exchange(nextDownload, {});
    if (sendAhead && !next.empty() && !link.finishedEarly && size >= 0
        && received == static_cast<std::uint64_t>(size) && CanPipeline() && SendPipelined("RETR", next, true))
        aheadPath = next;
    if (!link.finishedEarly)
        return FinishTransfer();
    return Response(226, "");
}

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

std::unique_ptr<vorn::remote::TempFile> Ftp::Impl::ResumeTarget(int folderFd, const std::string& folderText,
    const std::string& name, ResumePoint& resume, bool resumable, std::uint64_t& offset)
{
    offset = 0;
    if (resume.Holds() && resumable && resume.folderFd == folderFd) {
        auto file = std::make_unique<vorn::remote::TempFile>(
            folderFd, folderText, resume.temporaryName, resume.bytes, resume.device, resume.inode);
        vorn::Status overlap = file->OpenError().empty()
            ? file->ExpectOverlap(ResumePoint::overlapBytes)
            : vorn::MakeError(vorn::ErrorKind::LocalIo, file->OpenError());
        if (overlap) {
            // The server sends again from a little before the cut; the overlap is compared.
            offset = resume.bytes - std::min(resume.bytes, ResumePoint::overlapBytes);
            // The open file owns the partial data now; a failure hands it back.
            resume.temporaryName.clear();
            resume.Discard();
            return file;
        }
        Trace("*", overlap.message());
    }
    resume.Discard();
    return std::make_unique<vorn::remote::TempFile>(folderFd, folderText, name);
}

Ftp::Response Ftp::Impl::KeepPartial(
    Response why, vorn::remote::TempFile* file, bool resumable, ResumePoint& resume)
{
    // After a local write error the file's end is uncertain: it is not continued. Bytes that
    // differ from the partial file end it too, and the file is fetched again from its start.
    if (file != nullptr && file->OverlapMismatched()) {
        resume.mismatched = true;
        return Response(Response::ConnectionClosed, why.GetMessage());
    }
    const std::uint64_t length = file != nullptr ? file->Length() : 0;
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

std::optional<Ftp::Response> Ftp::Impl::RestartAt(int folderFd, const std::string& folderText,
    const std::string& name, std::unique_ptr<vorn::remote::TempFile>& file, std::uint64_t& offset,
    bool resumable, ResumePoint& resume)
{
    const Response rest = Command("REST", std::to_string(offset));
    if (!Connected())
        return KeepPartial(rest, file.get(), resumable, resume);
    if (rest.GetStatus() == 350)
        return std::nullopt;
    // Refused after all: this try fetches the file from its start.
    file = std::make_unique<vorn::remote::TempFile>(folderFd, folderText, name);
    if (!file->OpenError().empty())
        return Response(Response::InvalidFile, file->OpenError());
    offset = 0;
    return std::nullopt;
}

Ftp::Response Ftp::DownloadResumable(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, TranslateInfo& progress, ResumePoint& resume,
    const std::string& localName)
{
    // A file listed below the size worth continuing takes the plain download's fewer waits.
    if (listedSize >= 0 && listedSize < ResumePoint::minimumSize && !resume.Holds())
        return DownloadInto(folderFd, folderText, remotePath, listedSize, progress, Binary, localName);
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    const std::string name(localName.empty() ? vorn::LastPathComponent(remotePath) : localName);
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
    // Continued only while the file can be seen to be the same: by the server's size and its
    // MDTM time; a server without MDTM has every cut file fetched again from its start.
    const bool resumable = large && known && !modified.empty();
    const bool unchanged = resume.size == size && resume.modified == modified;
    std::uint64_t offset = 0;
    std::unique_ptr<vorn::remote::TempFile> file
        = s.ResumeTarget(folderFd, folderText, name, resume, resumable && unchanged, offset);
    if (!file->OpenError().empty())
        return Response(Response::InvalidFile, file->OpenError());
    resume.folderFd = folderFd;
    resume.size = size;
    resume.modified = modified;

    Impl::DataLink link;
    Response response = s.PrepareData(link);
    if (!response.IsOk())
        return s.KeepPartial(response, file.get(), resumable, resume);
    if (offset > 0)
        if (std::optional<Response> stop
            = s.RestartAt(folderFd, folderText, name, file, offset, resumable, resume))
            return *stop;
    // A continued download streams only the rest: the part from the earlier try is read once.
    const auto digest = s.DownloadDigest();
    if (digest && offset > 0)
        if (std::optional<Response> unread = s.DigestPrefix(remotePath, *file, offset, *digest))
            return s.KeepPartial(*unread, file.get(), resumable, resume);
    response = s.StartTransfer(link, "RETR", remotePath);
    if (!response.IsOk())
        return s.KeepPartial(response, file.get(), resumable, resume);
    std::uint64_t received = offset;
    response = s.ReceiveInto(link, *file, size, progress, received, digest.get());
    if (!response.IsOk())
        return s.KeepPartial(response, file.get(), resumable, resume);
    if (size >= 0 && received != static_cast<std::uint64_t>(size)
        && s.WrongLength(remotePath, received, size, known)) {
        const Response shortOrLong(Response::ConnectionClosed, DeliveredText(received, size, known));
        // A continued transfer that does not add up, or one longer than the file, is no part
        // of it: the next try starts from zero.
        if (offset > 0 || received > static_cast<std::uint64_t>(size))
            return shortOrLong;
        return s.KeepPartial(shortOrLong, file.get(), resumable, resume);
    }
    if (std::optional<Response> differs = s.CheckDownload(remotePath, digest.get(), response))
        return *differs;
    std::string commitError;
    if (!file->CommitAs(name, commitError))
        return Response(Response::InvalidFile, commitError);
    progress.percent = 100.0f;
    if (size < 0)
        response.MarkSizeUnchecked();
    return response;
}

Ftp::Response Ftp::DownloadToFd(const std::string& remotePath, int fileFd, std::uint64_t offset,
    TranslateInfo& progress, std::uint64_t& received)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    received = 0;
    progress.Reset();
    if (!s.Connected())
        return s.NotConnected();
    Response response = s.SetType(Binary);
    if (!response.IsOk())
        return response;
    Impl::DataLink link;
    response = s.PrepareData(link);
    if (!response.IsOk())
        return response;
    if (offset > 0) {
        const Response rest = s.Command("REST", std::to_string(offset));
        if (rest.GetStatus() != 350) {
            s.CloseData(link);
            return rest.IsOk() ? Response(Response::InvalidResponse, "The server cannot continue a transfer.")
                               : rest;
        }
    }
    response = s.StartTransfer(link, "RETR", remotePath);
    if (!response.IsOk())
        return response;
    const Impl::DataSink toFd = [fileFd, &remotePath](std::string_view bytes) -> std::optional<Response> {
        while (!bytes.empty()) {
            const ssize_t written = ::write(fileFd, bytes.data(), bytes.size());
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return Response(Response::InvalidFile,
                    "Could not write the copy of " + remotePath + ": " + std::strerror(errno) + ".");
            bytes.remove_prefix(std::size_t(written));
        }
        return std::nullopt;
    };
    if (std::optional<Response> stop = s.PumpData(link, toFd, -1, progress, received)) {
        s.AbortTransfer(link);
        return *stop;
    }
    s.CloseData(link);
    return link.finishedEarly ? Response(226, "") : s.FinishTransfer();
}

Ftp::Response Ftp::UploadFromFd(int fileFd, const std::string& remoteFolder, const std::string& name,
    TranslateInfo& progress, std::uint64_t& sent)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    sent = 0;
    progress.Reset();
    if (!vorn::ftp::IsSafeEntryName(name))
        return Response(Response::InvalidFile, "\"" + name + "\" is not a plain file name; it was not sent.");
    if (!s.Connected())
        return s.NotConnected();
    s.RemoveStrandedUploads();
    Response response = s.SetType(Binary);
    if (!response.IsOk())
        return response;
    const std::string target = vorn::JoinPath(remoteFolder, name);
    const std::string temporary = vorn::JoinPath(remoteFolder, vorn::remote::MakeTemporaryName(name));
    Impl::DataLink out;
    response = s.PrepareData(out);
    if (!response.IsOk())
        return response;
    response = s.StartTransfer(out, "STOR", temporary);
    if (!response.IsOk())
        return response;
    if (std::optional<Response> stop = s.PumpFromFd(fileFd, out, progress, sent))
        return s.DropUpload(*stop, s, out, false, out, temporary);
    s.CloseData(out);
    response = out.finishedEarly ? Response(226, "") : s.FinishTransfer();
    if (!response.IsOk())
        return s.DropUpload(response, s, out, false, out, temporary);
    const Response moved = s.MoveIntoPlace(
        temporary, target, vorn::JoinPath(remoteFolder, vorn::remote::MakeTemporaryName(name, "vornold")));
    if (!moved.IsOk())
        return s.DropUpload(
            Response(moved.GetStatus(), "Could not move the copy into place: " + moved.GetMessage()), s, out,
            false, out, temporary);
    progress.percent = 100.0f;
    return response;
}

std::optional<Ftp::Response> Ftp::Impl::PumpFromFd(
    int fileFd, DataLink& out, TranslateInfo& progress, std::uint64_t& sent)
{
    const vorn::ftp::IoLoop::Poll* poll = hook ? &hook : nullptr;
    std::vector<char> buffer(256 * 1024);
    while (!out.finishedEarly) {
        if (hook && !hook())
            return Response(Response::Cancelled, "The transfer was stopped.");
        const ssize_t got = ::read(fileFd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Response(Response::InvalidFile,
                std::string("Could not read the file to send: ") + std::strerror(errno));
        if (got == 0)
            break;
        if (Error error
            = out.channel->Write(std::string_view(buffer.data(), std::size_t(got)), inactivityTimeout, poll))
            return FromError(error);
        sent += std::uint64_t(got);
        progress.bytes = sent;
    }
    return std::nullopt;
}

} // namespace sf
