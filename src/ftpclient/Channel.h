#pragma once

#include "ftpclient/Error.h"
#include "ftpclient/IoLoop.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::ftp {

// One TCP connection of an FTP session, plain or TLS, control or data. Every call waits on
// the owner's IoLoop with a time-out and returns with no operation left pending, so nothing
// outlives the call that started it. A failed wait closes the connection.
class Channel {
public:
    using Duration = std::chrono::milliseconds;
    using Endpoint = boost::asio::ip::tcp::endpoint;

    explicit Channel(IoLoop& loop);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Resolves `host` (a name or an address) and connects to the first address that answers.
    [[nodiscard]] Error Connect(const std::string& host, std::uint16_t port, Duration timeout);
    [[nodiscard]] Error Connect(const Endpoint& endpoint, Duration timeout);
    // Takes the next connection of `acceptor`; one from another address than `expectedPeer`
    // is refused, so nobody else can slip data into an active-mode transfer. With `watched`,
    // the wait also ends (within about 100 ms, no error, `watchedReadable` set, nothing
    // accepted) once that connection has bytes to read; none of them are taken.
    [[nodiscard]] Error Accept(boost::asio::ip::tcp::acceptor& acceptor,
        const boost::asio::ip::address& expectedPeer, Duration timeout, Channel* watched = nullptr,
        bool* watchedReadable = nullptr);
    // Client handshake, checking the certificate against `host` (name or IP). `resume`, when
    // set, is offered as the session to resume.
    [[nodiscard]] Error StartTls(std::shared_ptr<boost::asio::ssl::context> context, const std::string& host,
        SSL_SESSION* resume, Duration timeout);

    // `poll`, when given, is consulted while waiting (see IoLoop::Poll). `bytes` are sent from
    // where they are.
    [[nodiscard]] Error Write(std::string_view bytes, Duration timeout, const IoLoop::Poll* poll = nullptr);
    // Whatever arrives first, valid until the next call. Empty without an error: the peer
    // ended the stream.
    [[nodiscard]] Error ReadSome(
        std::string_view& bytes, Duration timeout, const IoLoop::Poll* poll = nullptr);
    // For moving data past this process (KernelRelay): the socket, set non-blocking, and a
    // wait until it can be read from (or written to, with `write`) without blocking.
    [[nodiscard]] int NativeHandle();
    [[nodiscard]] Error WaitReady(bool write, Duration timeout, const IoLoop::Poll* poll = nullptr);
    // Sends the TLS close_notify and waits (bounded) for the peer's; errors are of no use here.
    void ShutdownTls(Duration timeout);
    void Close();

    [[nodiscard]] bool IsOpen() const { return socket_.is_open(); }
    [[nodiscard]] bool IsTls() const { return tls_ != nullptr && IsOpen(); }
    [[nodiscard]] bool SessionReused() const;
    // The TLS session for data connections to resume (SSL_get1_session); the caller frees it.
    [[nodiscard]] SSL_SESSION* CopySession() const;
    [[nodiscard]] Endpoint LocalEndpoint() const;
    [[nodiscard]] Endpoint RemoteEndpoint() const;

    // Where a pending operation leaves its result; shared with its handler.
    struct OpState;

private:
    template <class Start, class Abort>
    Error Await(Start start, Abort abort, Duration timeout, std::string_view what, std::size_t* bytes,
        bool* ended, const IoLoop::Poll* poll = nullptr);
    void Reset();
    // Settings of a fresh connection; passes `error` on.
    Error Connected(Error error);

    IoLoop& loop_;
    boost::asio::ip::tcp::socket socket_;
    std::shared_ptr<boost::asio::ssl::context> tlsContext_; // outlives tls_
    std::unique_ptr<boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>> tls_;
    std::string tlsHost_;
    // Taken from the loop at the first read and given back at the end, held by the handlers
    // too, so an aborted operation never writes into freed memory. Writes need no copy: every
    // call returns with its operation done or its socket closed, after which nothing reads
    // the caller's bytes.
    IoLoop::Buffer readBuffer_;
};

} // namespace vorn::ftp
