#pragma once

#include "support/Subprocess.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vorn::test {

// A server that receives alerts on 127.0.0.1 (tests/support/alert_servers.py): a mail server
// (aiosmtpd) or a web hook server (http.server). Stopped when the object goes.
class AlertServer {
public:
    enum class Kind { Smtp, Hook };
    struct Options {
        std::string tls = "none"; // smtp: starttls, implicit or none; hook: "tls" for HTTPS
        std::string user; // smtp: a login is required when set
        std::string password;
        int fail = 0; // hook: the first N requests are answered 500
    };
    // One message or request as received.
    struct Record {
        std::string meta; // the JSON line: envelope, TLS, login, or the hook's path
        std::string raw; // the message with its headers, or the hook's body
    };

    // `dir` receives the certificate (when TLS is asked for) and the records.
    AlertServer(Kind kind, const std::filesystem::path& dir, const Options& options);

    [[nodiscard]] int port() const { return port_; }
    // The server's self-signed certificate (for the trusted-certificates file); empty without TLS.
    [[nodiscard]] const std::filesystem::path& certificate() const { return certificate_; }
    // The records received so far, once at least `count` arrived or `timeout` passed.
    [[nodiscard]] std::vector<Record> WaitForRecords(
        std::size_t count, std::chrono::milliseconds timeout) const;

private:
    std::filesystem::path records_;
    std::filesystem::path certificate_;
    std::unique_ptr<Subprocess> process_;
    int port_ = 0;
};

} // namespace vorn::test
