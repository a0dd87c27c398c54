#include "sftpclient/SftpSession.h"
#include "sftpclient/SftpSessionImpl.h"

#include <memory>

namespace vorn::sftp {
namespace {

constexpr size_t kNameBuffer = 4096;

unsigned Length(const std::string& text)
{
    return static_cast<unsigned>(text.size());
}

std::string Join(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

void FillFromAttributes(const LIBSSH2_SFTP_ATTRIBUTES& a, SftpEntry& entry)
{
    entry.kind = SftpEntry::Kind::Other;
    if (a.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) {
        entry.permissions = static_cast<unsigned>(a.permissions);
        if (LIBSSH2_SFTP_S_ISDIR(a.permissions))
            entry.kind = SftpEntry::Kind::Folder;
        else if (LIBSSH2_SFTP_S_ISREG(a.permissions))
            entry.kind = SftpEntry::Kind::File;
        entry.link = LIBSSH2_SFTP_S_ISLNK(a.permissions);
    }
    entry.size = (a.flags & LIBSSH2_SFTP_ATTR_SIZE) ? static_cast<std::int64_t>(a.filesize) : -1;
    entry.mtime = (a.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) ? static_cast<std::int64_t>(a.mtime) : 0;
}

// Why a name from the server cannot become a local name; "" when it can.
std::string NameProblem(const std::string& name)
{
    if (name.empty())
        return "The server sent an empty name";
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
        return "The server sent a name with \"/\" or NUL in it, which cannot be a file name here";
    return {};
}

struct HandleCloser {
    void operator()(LIBSSH2_SFTP_HANDLE* h) const { libssh2_sftp_close_handle(h); }
};
using Handle = std::unique_ptr<LIBSSH2_SFTP_HANDLE, HandleCloser>;

std::string Parent(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

} // namespace

Result<SftpEntry> SftpSession::Impl::StatPath(const std::string& path, bool followLink)
{
    LIBSSH2_SFTP_ATTRIBUTES attributes {};
    if (libssh2_sftp_stat_ex(sftp, path.c_str(), Length(path),
            followLink ? LIBSSH2_SFTP_STAT : LIBSSH2_SFTP_LSTAT, &attributes)
        != 0)
        return LastError(path);
    SftpEntry entry;
    entry.name = path.substr(path.find_last_of('/') + 1);
    FillFromAttributes(attributes, entry);
    return entry;
}

Result<std::string> SftpSession::Impl::Real(const std::string& path)
{
    if (auto known = realPaths.find(path); known != realPaths.end())
        return known->second;
    std::string buffer(kNameBuffer, '\0');
    const int n = libssh2_sftp_symlink_ex(
        sftp, path.c_str(), Length(path), buffer.data(), Length(buffer), LIBSSH2_SFTP_REALPATH);
    if (n < 0)
        return LastError(path);
    buffer.resize(static_cast<size_t>(n));
    realPaths[path] = buffer;
    return buffer;
}

// Whether following a link to `target` (a real path) from `listedFolder` would come back to
// a folder the walk is already in: the target is one of the folders on the way down, or holds one.
bool SftpSession::Impl::LeadsBack(const std::string& listedFolder, const std::string& target)
{
    std::string path = listedFolder;
    for (int depth = 0; depth < 4096; ++depth) {
        auto real = Real(path);
        if (real
            && (*real == target || target == "/" || real->compare(0, target.size() + 1, target + "/") == 0))
            return true;
        if (path == "/" || path.empty())
            return false;
        path = Parent(path);
    }
    return true;
}

void SftpSession::Impl::ResolveLink(const std::string& folder, SftpEntry& entry)
{
    const std::string path = Join(folder, entry.name);
    auto target = StatPath(path, true);
    if (!target) {
        entry.kind = SftpEntry::Kind::Other;
        entry.unusable = "The link leads nowhere (" + target.message() + ")";
        return;
    }
    entry.kind = target->kind;
    entry.size = target->size;
    entry.mtime = target->mtime;
    entry.permissions = target->permissions;
    if (entry.kind != SftpEntry::Kind::Folder)
        return;
    auto real = Real(path);
    if (!real) {
        entry.unusable = "The link's target cannot be found (" + real.message() + ")";
        return;
    }
    entry.linkTarget = *real;
    entry.loop = followLinks && LeadsBack(folder, *real);
}

Result<std::vector<SftpEntry>> SftpSession::List(const std::string& folder)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s.error();
    const std::string path = impl_->Absolute(folder);
    Handle handle(libssh2_sftp_open_ex(impl_->sftp, path.c_str(), Length(path), 0, 0, LIBSSH2_SFTP_OPENDIR));
    if (!handle)
        return impl_->LastError("Listing " + path);
    std::vector<SftpEntry> entries;
    std::string name(kNameBuffer, '\0');
    for (;;) {
        LIBSSH2_SFTP_ATTRIBUTES attributes {};
        const int n
            = libssh2_sftp_readdir_ex(handle.get(), name.data(), name.size(), nullptr, 0, &attributes);
        if (n == 0)
            break;
        if (n < 0)
            return impl_->LastError("Listing " + path);
        SftpEntry entry;
        entry.name.assign(name.data(), static_cast<size_t>(n));
        if (entry.name == "." || entry.name == "..")
            continue;
        FillFromAttributes(attributes, entry);
        entry.unusable = NameProblem(entry.name);
        if (entry.link && entry.unusable.empty())
            impl_->ResolveLink(path, entry);
        entries.push_back(std::move(entry));
    }
    impl_->realPaths.clear();
    return entries;
}

Result<std::string> SftpSession::CurrentFolder()
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s.error();
    return impl_->current;
}

Status SftpSession::ChangeFolder(const std::string& folder)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s;
    auto entry = impl_->StatPath(impl_->Absolute(folder), true);
    if (!entry)
        return entry.error();
    if (entry->kind != SftpEntry::Kind::Folder)
        return MakeError(ErrorKind::ServerPermanent, impl_->Absolute(folder) + ": not a folder");
    auto real = impl_->Real(impl_->Absolute(folder));
    impl_->realPaths.clear();
    if (!real)
        return real.error();
    impl_->current = *real;
    return Ok();
}

Status SftpSession::ParentFolder()
{
    return ChangeFolder(Parent(impl_->current));
}

Status SftpSession::MakeFolder(const std::string& path)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s;
    const std::string full = impl_->Absolute(path);
    if (libssh2_sftp_mkdir_ex(impl_->sftp, full.c_str(), Length(full), 0755) != 0)
        return impl_->LastError("Making the folder " + full);
    return Ok();
}

Status SftpSession::RemoveFolder(const std::string& path)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s;
    const std::string full = impl_->Absolute(path);
    if (libssh2_sftp_rmdir_ex(impl_->sftp, full.c_str(), Length(full)) != 0)
        return impl_->LastError("Removing the folder " + full);
    return Ok();
}

Result<std::string> SftpSession::RealPath(const std::string& path)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s.error();
    auto real = impl_->Real(impl_->Absolute(path));
    impl_->realPaths.clear();
    return real;
}

Result<SftpEntry> SftpSession::Stat(const std::string& path)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s.error();
    auto entry = impl_->StatPath(impl_->Absolute(path), false);
    if (entry && entry->link) {
        auto target = impl_->StatPath(impl_->Absolute(path), true);
        if (!target)
            return target.error();
        target->link = true;
        return target;
    }
    return entry;
}

Result<std::int64_t> SftpSession::Size(const std::string& path)
{
    auto entry = Stat(path);
    if (!entry)
        return entry.error();
    if (entry->size < 0)
        return MakeError(ErrorKind::Protocol, path + ": the server gives no size");
    return entry->size;
}

Result<std::int64_t> SftpSession::ModificationTime(const std::string& path)
{
    auto entry = Stat(path);
    if (!entry)
        return entry.error();
    return entry->mtime;
}

Status SftpSession::SetModificationTime(const std::string& path, std::int64_t seconds)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s;
    const std::string full = impl_->Absolute(path);
    LIBSSH2_SFTP_ATTRIBUTES attributes {};
    attributes.flags = LIBSSH2_SFTP_ATTR_ACMODTIME;
    attributes.atime = static_cast<unsigned long>(seconds);
    attributes.mtime = static_cast<unsigned long>(seconds);
    if (libssh2_sftp_stat_ex(impl_->sftp, full.c_str(), Length(full), LIBSSH2_SFTP_SETSTAT, &attributes) != 0)
        return impl_->LastError("Setting the time of " + full);
    return Ok();
}

Status SftpSession::DeleteFile(const std::string& path)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s;
    const std::string full = impl_->Absolute(path);
    if (libssh2_sftp_unlink_ex(impl_->sftp, full.c_str(), Length(full)) != 0)
        return impl_->LastError("Deleting " + full);
    return Ok();
}

// SFTP version 3 servers (OpenSSH) refuse to rename onto an existing name: the old file is
// removed first, so the target is missing for a moment but never holds a partial file.
Status SftpSession::Impl::RenameReplacing(const std::string& from, const std::string& to)
{
    const long flags
        = LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC | LIBSSH2_SFTP_RENAME_NATIVE;
    if (libssh2_sftp_rename_ex(sftp, from.c_str(), Length(from), to.c_str(), Length(to), flags) == 0)
        return Ok();
    Error first = LastError("Renaming " + from + " to " + to);
    auto existing = StatPath(to, false);
    if (!existing || existing->kind == SftpEntry::Kind::Folder)
        return first;
    if (libssh2_sftp_unlink_ex(sftp, to.c_str(), Length(to)) != 0)
        return LastError("Replacing " + to);
    if (libssh2_sftp_rename_ex(sftp, from.c_str(), Length(from), to.c_str(), Length(to), flags) != 0)
        return LastError("Renaming " + from + " to " + to);
    return Ok();
}

Status SftpSession::Rename(const std::string& from, const std::string& to)
{
    std::lock_guard lock(impl_->command);
    if (Status s = impl_->NeedChannel(); !s)
        return s;
    return impl_->RenameReplacing(impl_->Absolute(from), impl_->Absolute(to));
}

} // namespace vorn::sftp
