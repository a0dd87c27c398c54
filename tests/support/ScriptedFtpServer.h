#pragma once

#include "support/Subprocess.h"
#include "support/TempDir.h"

#include <memory>
#include <string>
#include <vector>

namespace vorn::test {

// tests/ftpclient/scripted_ftp_server.py on 127.0.0.1 and a free port, for replies no
// well-behaved server gives. `arguments` are its options ("--reply", "CWD=314 ..."). The
// constructor throws std::runtime_error when the server does not come up within 15 s.
class ScriptedFtpServer {
public:
    explicit ScriptedFtpServer(const std::vector<std::string>& arguments);

    [[nodiscard]] unsigned short port() const { return port_; }
    // The commands it received so far, one "<- COMMAND" line each.
    [[nodiscard]] std::string log() const;

private:
    TempDir scratch_;
    std::unique_ptr<Subprocess> process_;
    unsigned short port_ = 0;
};

} // namespace vorn::test
