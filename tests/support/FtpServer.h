#pragma once

#include "support/Subprocess.h"
#include "support/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace vorn::test {

enum class FtpServerTls {
    None,
    Explicit, // AUTH TLS on the normal port
    Implicit, // TLS from the first byte
};

// How the test server behaves. With TLS, the control and data connections must be
// protected (PBSZ 0, PROT P); plain logins and transfers are refused.
struct FtpServerOptions {
    std::filesystem::path root; // folder served; empty: a fresh temporary folder
    std::string user = "user";
    std::string password = "secret";
    bool noMlsd = false; // MLSD/MLST not in FEAT and answered 500: clients must use LIST
    bool dosList = false; // LIST in the DOS/IIS form, 12-hour times, and no MLSD
    FtpServerTls tls = FtpServerTls::None;
    std::filesystem::path certFile; // PEM, see MakeSelfSignedCertificate
    std::filesystem::path keyFile;
    bool stallAfterLogin = false; // answers nothing after a successful login
    bool stallOnConnect = false; // accepts the connection but never greets
    std::string refuseRetr; // RETR of files of this name is answered "550 Permission denied: ..."
    // RETR sends this many bytes, then drops the data connection and answers 426.
    std::optional<std::uint64_t> dropDataAfter;
    std::uint64_t slowDataBytesPerSecond = 0; // 0: full speed
    bool noEpsv = false; // EPSV answered 500: passive clients must fall back to PASV
    std::string pasvAddress; // what PASV announces instead of 127.0.0.1 (a server behind NAT)
    bool logCommands = false; // every command and reply in log() ("<- EPSV", "-> 229 ...")
    bool noEprt = false; // EPRT answered 500: active clients must fall back to PORT
    // STOR takes this many bytes, then drops the data connection and answers 426.
    std::optional<std::uint64_t> dropUploadAfter;
    bool noReplace = false; // RNTO onto an existing file refused, as on Windows servers
    std::string refuseRenameOf; // RNFR of a path holding this text refused (a locked file)
    // Each session closes its control connection, unanswered, on its command N + 1 (0: never).
    unsigned dropControlEvery = 0;
    std::string dropSessions; // "1,3": only these sessions (counted from 1) drop; "": all
    std::string permissions = "elradfmwMT"; // pyftpdlib's rights; without 'w' no upload
    std::string hashAlgorithms; // "SHA-256,CRC32": HASH offered with these (OPTS HASH picks one)
    std::string xCommands; // "XCRC,XMD5": these X checksum commands offered
    std::string wrongChecksumOf; // files of this name get a wrong checksum
    bool noMfmt = false; // MFMT not in FEAT and answered 500
    unsigned maxSessions = 0; // at most this many sessions at once, one more gets 421 (0: any)
};

// A real FTP server (pyftpdlib, tests/support/ftp_server.py) on 127.0.0.1 and a free port,
// running from construction to destruction. The constructor throws std::runtime_error,
// with the server's own messages, when it does not come up within about 15 seconds.
class FtpServer {
public:
    explicit FtpServer(FtpServerOptions options = {});
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    [[nodiscard]] std::string host() const { return "127.0.0.1"; }
    [[nodiscard]] int port() const { return port_; }
    [[nodiscard]] pid_t pid() const { return process_->pid(); }
    [[nodiscard]] const std::filesystem::path& root() const { return options_.root; }
    [[nodiscard]] const FtpServerOptions& options() const { return options_; }

    // What the server has logged so far (commands, replies, errors).
    [[nodiscard]] std::string log() const;

private:
    FtpServerOptions options_;
    TempDir scratch_; // the log file, and the root when none was given
    std::unique_ptr<Subprocess> process_;
    int port_ = 0;
};

} // namespace vorn::test
