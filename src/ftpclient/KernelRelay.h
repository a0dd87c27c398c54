#pragma once

#include "ftpclient/Channel.h"
#include "ftpclient/Error.h"
#include "ftpclient/IoLoop.h"

#include <cstddef>

namespace vorn::ftp {

// Moves the bytes of one plain data connection to another inside the kernel, through a pipe
// (splice), so a server-to-server copy never copies its data into this process and out again.
// Not for TLS connections, whose bytes must be decrypted and encrypted here.
class KernelRelay {
public:
    KernelRelay() = default;
    ~KernelRelay();
    KernelRelay(const KernelRelay&) = delete;
    KernelRelay& operator=(const KernelRelay&) = delete;

    // Whether the pipe is there (made at the first call); false where the system has none.
    [[nodiscard]] bool Ready();

    // Waits (bounded by `fromTimeout`) for the next bytes of `from` and moves them all to `to`
    // (each wait bounded by `toTimeout`). `moved` 0 without an error: `from` ended its stream.
    [[nodiscard]] Error MoveSome(Channel& from, Channel& to, Channel::Duration fromTimeout,
        Channel::Duration toTimeout, const IoLoop::Poll* poll, std::size_t& moved);

private:
    // A failed move may leave bytes in the pipe; the next Ready makes a fresh one.
    void Discard();

    int read_ = -1;
    int write_ = -1;
};

} // namespace vorn::ftp
