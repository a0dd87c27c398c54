#pragma once

#include "common/NameCodec.h"
#include "ftpclient/Ftp.h"
#include "ftpclient/ServerText.h"
#include "remote/RemoteSession.h"

namespace vorn::ftp {

// The remote session over FTP and FTPS: sf::Ftp behind the protocol-neutral interface. The
// server's reply code travels in Error::replyCode, apart from what happened on the client's
// side (Error::kind).
class FtpSession final : public remote::RemoteSession {
public:
    explicit FtpSession(Security security, bool verbose = false);

    [[nodiscard]] std::string Scheme() const override;
    void SetPassive(bool passive) override;
    void SetConnectTimeout(std::chrono::milliseconds timeout) override;
    void SetInactivityTimeout(std::chrono::milliseconds timeout) override;
    [[nodiscard]] std::chrono::milliseconds ConnectTimeout() const override;
    [[nodiscard]] std::chrono::milliseconds InactivityTimeout() const override;
    void SetTransferHook(TransferHook hook) override;
    void Cancel() override;

    [[nodiscard]] Status Connect(const std::string& host, std::uint16_t port) override;
    [[nodiscard]] Status Login(const std::string& user, const std::string& password) override;
    void Disconnect() override;
    [[nodiscard]] Status KeepAlive() override;

    [[nodiscard]] Result<std::string> CurrentFolder() override;
    [[nodiscard]] Result<std::vector<remote::Entry>> List(const std::string& folder) override;
    [[nodiscard]] Status ChangeFolder(const std::string& folder) override;
    void ExpectListing() override;
    void ExpectTimes(TimesWanted wanted) override;
    [[nodiscard]] Status ParentFolder() override;
    [[nodiscard]] Status MakeFolder(const std::string& path) override;

    [[nodiscard]] Result<std::int64_t> Size(const std::string& path) override;
    [[nodiscard]] Result<std::string> ModificationTime(const std::string& path) override;
    [[nodiscard]] Result<std::vector<std::string>> ModificationTimes(
        const std::vector<std::string>& paths) override;
    [[nodiscard]] Status SetModificationTime(const std::string& path, const std::string& time) override;
    [[nodiscard]] bool CanSetModificationTime() const override;
    void SetVerifyChecksums(bool verify) override;
    [[nodiscard]] std::vector<std::string> ChecksumAlgorithms() const override;
    [[nodiscard]] Status DeleteFile(const std::string& path) override;
    [[nodiscard]] Status Rename(const std::string& from, const std::string& to) override;

    [[nodiscard]] Result<remote::Transferred> Download(const std::string& remotePath, int fileFd,
        std::uint64_t offset, remote::TranslateInfo& progress) override;
    [[nodiscard]] Result<remote::Transferred> Upload(int fileFd, const std::string& remoteFolder,
        const std::string& name, remote::TranslateInfo& progress) override;
    [[nodiscard]] Result<remote::Transferred> DownloadInto(int folderFd, const std::string& folderText,
        const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress) override;
    [[nodiscard]] Result<remote::Transferred> DownloadResumable(int folderFd, const std::string& folderText,
        const std::string& remotePath, std::int64_t listedSize, remote::TranslateInfo& progress,
        remote::ResumePoint& resume) override;
    void ExpectDownload(const std::string& remotePath) override;
    // Between two FTP sessions the data streams from one data connection into the other (in
    // the kernel where neither is TLS); to any other session it goes through a local file.
    [[nodiscard]] Result<remote::Transferred> RelayTo(RemoteSession& destination,
        const std::string& sourcePath, const std::string& destinationFolder, std::int64_t listedSize,
        remote::TranslateInfo& progress) override;

    // The client underneath, for what only FTP has (tests of the protocol itself).
    [[nodiscard]] sf::Ftp& Client() { return ftp_; }

    // The code page of the server's names ("GBK", "Shift_JIS", ...; "" for none: UTF-8 when
    // the server offers it, else the bytes as they come). Names are then listed in UTF-8, and
    // every path sent to the server goes back in the code page, with the exact bytes the
    // listing gave. A code page also keeps OPTS UTF8 ON from being sent.
    void SetNameCharset(const std::string& charset);

private:
    // `path` as the server knows it: each name in the code page, a listed name with its
    // listed bytes. Invalid when a name cannot be written in the code page.
    [[nodiscard]] Result<std::string> Raw(const std::string& path);
    // A server's path or name in UTF-8 (an escaped name when it does not convert, noted so
    // that Raw gives its bytes back).
    [[nodiscard]] std::string Shown(const std::string& raw, std::string* note = nullptr);
    void ConvertNames(std::vector<remote::Entry>& entries);

    Security security_;
    sf::Ftp ftp_;
    NameCodec codec_;
    TimesWanted timesWanted_; // for the next List
};

// A client's answer as a result: a 1xx-3xx reply is success; a server's refusal keeps its
// code in `replyCode` (4xx ServerTransient, 5xx ServerPermanent); the client's own outcomes
// become their kinds.
[[nodiscard]] Status ToStatus(const sf::Ftp::Response& response);

} // namespace vorn::ftp
