#pragma once

#include <string>

namespace vorn::ftp {

// The outcome of one wait on a socket: nothing, or what went wrong in words a user can read.
struct Error {
    enum class Code {
        None,
        TimedOut,
        Cancelled,
        Closed, // the peer ended the connection
        Network, // resolve, connect, read or write failed
        Tls, // handshake or certificate verification failed
        Protocol, // the server sent something that is not FTP
    };
    Code code = Code::None;
    std::string message;

    explicit operator bool() const { return code != Code::None; }
};

} // namespace vorn::ftp
