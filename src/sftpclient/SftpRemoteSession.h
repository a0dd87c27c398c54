#pragma once

#include "remote/RemoteSession.h"
#include "sftpclient/SftpSession.h"

namespace vorn::sftp {

// The SFTP session behind the remote-session interface the engine talks to. Settings only
// SFTP has (key file, known-hosts files, following links) and the host key the last Connect
// saw are reached through Sftp().
class SftpRemoteSession final : public remote::RemoteSession {
public:
    SftpRemoteSession() = default;

    [[nodiscard]] SftpSession& Sftp() { return session_; }
    [[nodiscard]] const SftpSession& Sftp() const { return session_; }

    [[nodiscard]] std::string Scheme() const override { return "sftp"; }
    void SetPassive(bool) override { } // SFTP has no data connections
    void SetConnectTimeout(std::chrono::milliseconds timeout) override
    {
        session_.SetConnectTimeout(timeout);
    }
    void SetInactivityTimeout(std::chrono::milliseconds timeout) override
    {
        session_.SetInactivityTimeout(timeout);
    }
    [[nodiscard]] std::chrono::milliseconds ConnectTimeout() const override
    {
        return session_.ConnectTimeout();
    }
    [[nodiscard]] std::chrono::milliseconds InactivityTimeout() const override
    {
        return session_.InactivityTimeout();
    }
    void SetTransferHook(TransferHook hook) override { session_.SetTransferHook(std::move(hook)); }
    void Cancel() override { session_.Cancel(); }

    // Port 0 means SSH's own, 22.
    [[nodiscard]] Status Connect(const std::string& host, std::uint16_t port) override;
    [[nodiscard]] Status Login(const std::string& user, const std::string& password) override
    {
        return session_.Login(user, password);
    }
    void Disconnect() override { session_.Disconnect(); }
    void ExpectDownload(const std::string& remotePath) override { session_.ExpectDownload(remotePath); }
    [[nodiscard]] Status KeepAlive() override { return session_.KeepAlive(); }

    [[nodiscard]] Result<std::string> CurrentFolder() override { return session_.CurrentFolder(); }
    [[nodiscard]] Result<std::vector<remote::Entry>> List(const std::string& folder) override;
    [[nodiscard]] Status ChangeFolder(const std::string& folder) override
    {
        return session_.ChangeFolder(folder);
    }
    [[nodiscard]] Status ParentFolder() override { return session_.ParentFolder(); }
    [[nodiscard]] Status MakeFolder(const std::string& path) override { return session_.MakeFolder(path); }

    [[nodiscard]] Result<std::int64_t> Size(const std::string& path) override { return session_.Size(path); }
    [[nodiscard]] Result<std::string> ModificationTime(const std::string& path) override;
    [[nodiscard]] Status SetModificationTime(const std::string& path, const std::string& time) override;
    [[nodiscard]] Status DeleteFile(const std::string& path) override { return session_.DeleteFile(path); }
    [[nodiscard]] Status Rename(const std::string& from, const std::string& to) override
    {
        return session_.Rename(from, to);
    }

    [[nodiscard]] Result<remote::Transferred> Download(const std::string& remotePath, int fileFd,
        std::uint64_t offset, remote::TranslateInfo& progress) override;
    [[nodiscard]] Result<remote::Transferred> Upload(int fileFd, const std::string& remoteFolder,
        const std::string& name, remote::TranslateInfo& progress) override;
    // With the listed size the read asks for no more than the file holds, and the size is
    // checked as the data comes (no Size round trip afterwards).
    [[nodiscard]] Result<remote::Transferred> DownloadInto(int folderFd, const std::string& folderText,
        const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress) override;
    // A cut download of a large file leaves its bytes in `resume`; the next try continues at
    // their end while the server gives the file the same size and time (seconds) as before.
    [[nodiscard]] Result<remote::Transferred> DownloadResumable(int folderFd, const std::string& folderText,
        const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress,
        remote::ResumePoint& resume) override;

private:
    SftpSession session_;
};

// An SFTP listing entry in the interface's terms: a link to a file is a Link the walk copies
// as a file; a link to a folder stays a Folder with its target in linkTarget, and one that
// leads back into the walk is unusable, with the reason.
[[nodiscard]] remote::Entry ToRemoteEntry(const SftpEntry& entry);

} // namespace vorn::sftp
