#pragma once

#include "support/Subprocess.h"
#include "support/TempDir.h"

#include <memory>
#include <string>

namespace vorn::test {

// A scripted FTP server (tests/support/virtual_ftp.py) on 127.0.0.1 and a free port that
// serves the virtual tree described by `treeJson` and misbehaves where the tree says so:
// cut-off transfers that still answer 226, no SIZE, no size in the listing, names no file
// system could hold, a folder that lists itself. The script's header describes the form.
// Any user name and password log in. Throws std::runtime_error when it does not come up.
class VirtualFtpServer {
public:
    explicit VirtualFtpServer(const std::string& treeJson);
    ~VirtualFtpServer();
    VirtualFtpServer(const VirtualFtpServer&) = delete;
    VirtualFtpServer& operator=(const VirtualFtpServer&) = delete;

    [[nodiscard]] std::string host() const { return "127.0.0.1"; }
    [[nodiscard]] int port() const { return port_; }
    [[nodiscard]] std::string log() const;

private:
    TempDir scratch_;
    std::unique_ptr<Subprocess> process_;
    int port_ = 0;
};

} // namespace vorn::test
