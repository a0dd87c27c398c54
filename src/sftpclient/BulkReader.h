#pragma once

#include "common/Result.h"
#include "sftpclient/SftpTypes.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>

struct ssh_session_struct;
struct sftp_session_struct;
struct sftp_file_struct;

namespace vorn::sftp {

// How the SFTP session logged in, so that a second connection logs in the same way.
enum class LoginMethod { None, Password, KeyboardInteractive, KeyFile, Agent };

// What a second connection needs to reach the session's server, trust it and log in.
struct SideLogin {
    sockaddr_storage peer {}; // the address the session's own socket is connected to
    socklen_t peerLength = 0;
    HostKey verified; // the key the session checked against the known-hosts files
    std::string user;
    std::string secret; // the password, or the key file's passphrase
    std::string keyFile;
    LoginMethod method = LoginMethod::None;
    std::chrono::milliseconds connectTimeout { 30000 };
    std::chrono::milliseconds inactivityTimeout { 60000 };
};

// Reads large files over a second SSH connection made with libssh, which decrypts whole
// packets with the ciphers OpenSSH prefers (chacha20-poly1305, AES-GCM) where libssh2 1.10
// goes block by block through aes-ctr: from a near server (the session uses it within 3 ms of
// round trip) that connection reads large files up to twice as fast. Everything else
// (listings, small files, uploads, far servers) stays on the session.
//
// The connection is trusted only when its server shows byte for byte the key the session
// already verified. Threads: the session's worker uses it under the session's lock; Cancel
// may come from any thread. Every wait ends: a watch shuts the socket down when an answer
// takes longer than the inactivity time-out (libssh's channel reads wait without an end).
class BulkReader {
public:
    using Progress = std::function<void(std::uint64_t bytes, std::uint64_t total)>;
    // Between chunks; false stops the read (ErrorKind::Cancelled).
    using Hook = std::function<bool()>;

    // Requests of this size, this many in flight (measured in bench/README.md).
    static constexpr std::uint32_t chunk = 32768;
    static constexpr std::size_t inFlight = 64;

    // `cancelled` is the session's: set, every wait of this reader fails promptly.
    explicit BulkReader(const std::atomic<bool>& cancelled);
    ~BulkReader();
    BulkReader(const BulkReader&) = delete;
    BulkReader& operator=(const BulkReader&) = delete;

    [[nodiscard]] bool IsOpen() const { return sftp_ != nullptr; }
    // Connects to `login.peer`, checks the host key, logs in and opens the SFTP channel. A
    // host key other than the verified one fails with ErrorKind::Tls and both fingerprints.
    [[nodiscard]] Status Open(const SideLogin& login);
    // Writes the bytes of `path` from `offset` to `size` into `fd` at the same offsets,
    // asking for no more than one chunk past `size`; the copy is complete only when the file
    // ends exactly at `size`. Returns the bytes written. A failure other than the server's
    // refusal to open the file closes the connection (the next Open makes a new one).
    [[nodiscard]] Result<std::uint64_t> Read(const std::string& path, int fd, std::uint64_t offset,
        std::uint64_t size, const Progress& progress, const Hook& keepGoing);
    // Any thread: shuts the socket down under the waiting call.
    void Cancel();
    // Says goodbye (within two seconds) when `politely` and the connection is sound.
    void Close(bool politely = true);

private:
    class Watch;
    struct Pending;

    Status Connect(const SideLogin& login);
    Status CheckKey(const HostKey& verified);
    Status Authenticate(const SideLogin& login);
    Result<std::uint64_t> Pump(sftp_file_struct* file, int fd, std::uint64_t offset, std::uint64_t size,
        const Progress& progress, const Hook& keepGoing, const std::string& what);
    Result<bool> Drain(sftp_file_struct* file, Pending& pending);
    [[nodiscard]] Error Failure(const std::string& what) const;

    const std::atomic<bool>& cancelled_;
    std::chrono::milliseconds inactivityTimeout_ { 60000 };
    std::mutex socketLock_; // guards socket_ between Close and Cancel
    int socket_ = -1; // ours; libssh holds a duplicate and closes that one itself
    std::unique_ptr<Watch> watch_;
    ssh_session_struct* session_ = nullptr;
    sftp_session_struct* sftp_ = nullptr;
};

} // namespace vorn::sftp
