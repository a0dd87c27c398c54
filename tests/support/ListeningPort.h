#pragma once

#include <chrono>
#include <sys/types.h>

namespace vorn::test {

// The TCP port a process listens on, read from /proc (the process's socket inodes matched
// against /proc/net/tcp), for servers told to bind port 0 that do not say which port they got.
// 0 when none appears within `timeout`.
[[nodiscard]] int ListeningPort(pid_t pid, std::chrono::milliseconds timeout);

// A port on 127.0.0.1 that refuses connections for as long as the object lives: a socket is
// bound to it but does not listen, so no other program can take the port in the meantime.
class RefusingPort {
public:
    RefusingPort(); // throws std::runtime_error when no socket can be bound
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    [[nodiscard]] unsigned short port() const { return port_; }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

} // namespace vorn::test
