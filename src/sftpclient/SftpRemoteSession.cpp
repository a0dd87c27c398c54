#include "sftpclient/SftpRemoteSession.h"

#include "remote/TempFile.h"

#include <ctime>
#include <memory>
#include <unistd.h>

namespace vorn::sftp {
namespace {

// Seconds since 1970 as 14 digits YYYYMMDDhhmmss in UTC.
std::string Digits(std::int64_t seconds)
{
    const auto t = static_cast<std::time_t>(seconds);
    std::tm parts {};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts);
    return text;
}

SftpSession::Progress Into(remote::TranslateInfo& progress)
{
    return [&progress](std::uint64_t bytes, std::uint64_t total) {
        progress.bytes = bytes;
        if (total > 0) {
            progress.totalBytes = total;
            progress.percent = static_cast<float>(100.0 * double(bytes) / double(total));
        }
    };
}

// The partial file of `resume` when it may be continued (its bytes then are `offset`), else
// a new temporary file; `resume` lets go of its file either way.
std::unique_ptr<remote::TempFile> ResumeTarget(int folderFd, const std::string& folderText,
    const std::string& name, remote::ResumePoint& resume, bool continuable, std::uint64_t& offset)
{
    offset = 0;
    if (resume.Holds() && continuable && resume.folderFd == folderFd) {
        auto file = std::make_unique<remote::TempFile>(
            folderFd, folderText, resume.temporaryName, resume.bytes, resume.device, resume.inode);
        if (file->OpenError().empty()) {
            offset = resume.bytes;
            resume.temporaryName.clear(); // the open file owns the bytes now
            resume.Discard();
            return file;
        }
    }
    resume.Discard();
    return std::make_unique<remote::TempFile>(folderFd, folderText, name);
}

// Keeps what a cut transfer wrote for the next try. A local write error or a file that turned
// out longer or shorter than the server said leaves nothing to continue.
Error KeepPartial(Error why, remote::TempFile& file, remote::ResumePoint& resume)
{
    if (why.kind == ErrorKind::LocalIo || why.kind == ErrorKind::Failed || why.kind == ErrorKind::Invalid)
        return why;
    const off_t length = ::lseek(file.Fd(), 0, SEEK_END);
    dev_t device = 0;
    ino_t inode = 0;
    if (length > 0 && file.Keep(device, inode)) {
        resume.temporaryName = file.Name();
        resume.bytes = static_cast<std::uint64_t>(length);
        resume.device = device;
        resume.inode = inode;
    }
    return why;
}

} // namespace

remote::Entry ToRemoteEntry(const SftpEntry& entry)
{
    remote::Entry out;
    out.name = entry.name;
    out.unusable = entry.unusable;
    switch (entry.kind) {
    case SftpEntry::Kind::File:
        out.kind = entry.link ? remote::EntryKind::Link : remote::EntryKind::File;
        break;
    case SftpEntry::Kind::Folder:
        out.kind = remote::EntryKind::Folder;
        out.linkTarget = entry.linkTarget;
        if (entry.loop && out.unusable.empty())
            out.unusable = "The link leads back into a folder of this walk (" + entry.linkTarget + ")";
        break;
    case SftpEntry::Kind::Other:
        out.kind = remote::EntryKind::Other;
        break;
    }
    if (entry.size >= 0)
        out.size = std::to_string(entry.size);
    if (entry.mtime > 0) {
        const std::string digits = Digits(entry.mtime);
        out.time = digits.substr(0, 10) + ":" + digits.substr(10, 2);
        out.exactTime = digits;
        out.timePrecision = remote::TimePrecision::Second;
    }
    return out;
}

Status SftpRemoteSession::Connect(const std::string& host, std::uint16_t port)
{
    return session_.Connect(host, port == 0 ? 22 : port);
}

Result<std::vector<remote::Entry>> SftpRemoteSession::List(const std::string& folder)
{
    auto entries = session_.List(folder);
    if (!entries)
        return entries.error();
    std::vector<remote::Entry> out;
    out.reserve(entries->size());
    for (const SftpEntry& e : *entries)
        out.push_back(ToRemoteEntry(e));
    return out;
}

Result<std::string> SftpRemoteSession::ModificationTime(const std::string& path)
{
    auto seconds = session_.ModificationTime(path);
    if (!seconds)
        return seconds.error();
    return Digits(*seconds);
}

Status SftpRemoteSession::SetModificationTime(const std::string& path, const std::string& time)
{
    std::tm parts {};
    if (time.size() != 14 || time.find_first_not_of("0123456789") != std::string::npos
        || !strptime(time.c_str(), "%Y%m%d%H%M%S", &parts))
        return MakeError(ErrorKind::Invalid, "Not a time of 14 digits: " + time);
    return session_.SetModificationTime(path, static_cast<std::int64_t>(timegm(&parts)));
}

Result<remote::Transferred> SftpRemoteSession::Download(
    const std::string& remotePath, int fileFd, std::uint64_t offset, remote::TranslateInfo& progress)
{
    auto got = session_.Download(remotePath, fileFd, offset, -1, Into(progress));
    if (!got)
        return got.error();
    // The interface writes at the descriptor's position: leave it behind the data.
    ::lseek(fileFd, static_cast<off_t>(offset + *got), SEEK_SET);
    return remote::Transferred { *got, false };
}

Result<remote::Transferred> SftpRemoteSession::Upload(
    int fileFd, const std::string& remoteFolder, const std::string& name, remote::TranslateInfo& progress)
{
    auto sent = session_.Upload(fileFd, remoteFolder, name, Into(progress));
    if (!sent)
        return sent.error();
    return remote::Transferred { *sent, false };
}

Result<remote::Transferred> SftpRemoteSession::DownloadInto(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress)
{
    if (listedSize < 0)
        return RemoteSession::DownloadInto(folderFd, folderText, remotePath, listedSize, progress);
    const std::string name = remote::BaseName(remotePath);
    if (!remote::IsSafeEntryName(name))
        return MakeError(ErrorKind::Invalid, "Not a file name: " + name);
    remote::TempFile file(folderFd, folderText, name);
    if (!file.OpenError().empty())
        return MakeError(ErrorKind::LocalIo, file.OpenError());
    progress.totalBytes = static_cast<std::uint64_t>(listedSize);
    auto got = session_.Download(remotePath, file.Fd(), 0, listedSize, Into(progress));
    if (!got)
        return got.error();
    if (std::string error; !file.CommitAs(name, error))
        return MakeError(ErrorKind::LocalIo, error);
    return remote::Transferred { *got, false };
}

Result<remote::Transferred> SftpRemoteSession::DownloadResumable(int folderFd, const std::string& folderText,
    const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress,
    remote::ResumePoint& resume)
{
    if (listedSize >= 0 && listedSize < remote::ResumePoint::minimumSize && !resume.Holds())
        return DownloadInto(folderFd, folderText, remotePath, listedSize, progress);
    const std::string name = remote::BaseName(remotePath);
    if (!remote::IsSafeEntryName(name))
        return MakeError(ErrorKind::Invalid, "Not a file name: " + name);
    // The listing is as old as the walk's visit to the folder: the facts are asked afresh.
    auto facts = session_.Stat(remotePath);
    if (!facts)
        return facts.error();
    const std::int64_t size = facts->size;
    const std::string modified = facts->mtime > 0 ? Digits(facts->mtime) : std::string();
    const bool continuable = size >= remote::ResumePoint::minimumSize && !modified.empty();
    const bool unchanged = resume.size == size && resume.modified == modified;
    std::uint64_t offset = 0;
    auto file = ResumeTarget(folderFd, folderText, name, resume, continuable && unchanged, offset);
    if (!file->OpenError().empty())
        return MakeError(ErrorKind::LocalIo, file->OpenError());
    resume.folderFd = folderFd;
    resume.size = size;
    resume.modified = modified;
    if (size >= 0)
        progress.totalBytes = static_cast<std::uint64_t>(size);
    auto got = session_.Download(remotePath, file->Fd(), offset, size, Into(progress));
    if (!got)
        return continuable ? KeepPartial(got.error(), *file, resume) : got.error();
    if (std::string error; !file->CommitAs(name, error))
        return MakeError(ErrorKind::LocalIo, error);
    progress.percent = 100.0f;
    return remote::Transferred { offset + *got, size < 0 };
}

} // namespace vorn::sftp
