#pragma once

#include "support/Subprocess.h"
#include "support/TempDir.h"

#include <filesystem>
#include <memory>
#include <string>

namespace vorn::test {

// Debian's vsftpd on 127.0.0.1, serving `root` read-only to anonymous logins (user
// "anonymous", any password) from construction to destruction. It lists `ls -l` style only
// (no MLSD): the day alone for files older than six months, the minute for newer ones, and
// answers MDTM. It sends a transfer's 226 only after the client closed the data connection.
// The constructor throws std::runtime_error with vsftpd's log when it does not come up.
class VsftpdServer {
public:
    explicit VsftpdServer(const std::filesystem::path& root);
    ~VsftpdServer();
    VsftpdServer(const VsftpdServer&) = delete;
    VsftpdServer& operator=(const VsftpdServer&) = delete;

    // Whether vsftpd can run here: it is installed and this process is root.
    [[nodiscard]] static bool Available();
    [[nodiscard]] unsigned short port() const { return port_; }
    [[nodiscard]] std::string log() const;

private:
    TempDir dir_;
    std::unique_ptr<Subprocess> process_;
    unsigned short port_ = 0;
};

} // namespace vorn::test
