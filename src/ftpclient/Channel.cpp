#include "ftpclient/Channel.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace vorn::ftp {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct Channel::OpState {
    bool done = false;
    boost::system::error_code error;
    std::size_t bytes = 0;
};

namespace {

constexpr std::size_t readChunk = 256 * 1024;

// One completion handler for every signature the operations below use.
struct Completion {
    std::shared_ptr<Channel::OpState> state;
    std::shared_ptr<void> keepAlive; // the buffer of a read or write

    void operator()(const boost::system::error_code& error) const
    {
        state->error = error;
        state->done = true;
    }
    void operator()(const boost::system::error_code& error, std::size_t bytes) const
    {
        state->error = error;
        state->bytes = bytes;
        state->done = true;
    }
    void operator()(const boost::system::error_code& error, const tcp::endpoint&) const
    {
        state->error = error;
        state->done = true;
    }
};

} // namespace

Channel::Channel(IoLoop& loop)
    : loop_(loop)
    , socket_(loop.Context())
{
}

Channel::~Channel()
{
    Close();
    loop_.GiveBack(std::move(readBuffer_));
}

template <class Start, class Abort>
Error Channel::Await(Start start, Abort abort, Duration timeout, std::string_view what, std::size_t* bytes,
    bool* ended, const IoLoop::Poll* poll)
{
    auto state = std::make_shared<OpState>();
    start(state);
    Error error = loop_.Run(state->done, IoLoop::Clock::now() + timeout, poll);
    if (error) {
        abort();
        loop_.Drain(state->done);
        Close();
        if (error.code == Error::Code::TimedOut)
            error.message = std::string(what) + " timed out after " + DescribeDuration(timeout) + ".";
        return error;
    }
    if (bytes)
        *bytes = state->bytes;
    if (!state->error)
        return {};
    const auto& ec = state->error;
    // A TLS peer that closes without close_notify is taken as an end like any other; the
    // protocol above checks the completion reply and the size.
    if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
        if (ended) {
            *ended = true;
            return {};
        }
        return { Error::Code::Closed, "The server closed the connection." };
    }
    if (ec == asio::error::connection_reset || ec == asio::error::broken_pipe)
        return { Error::Code::Closed, "The server dropped the connection (" + ec.message() + ")." };
    if (ec.category() == asio::error::get_ssl_category()
        || ec.category() == asio::ssl::error::get_stream_category()) {
        std::string message = std::string(what) + " failed: " + ec.message();
        if (tls_) {
            const long verify = SSL_get_verify_result(tls_->native_handle());
            if (verify != X509_V_OK)
                message = "The TLS certificate of " + tlsHost_
                    + " could not be verified: " + X509_verify_cert_error_string(verify) + ".";
        }
        return { Error::Code::Tls, message };
    }
    return { Error::Code::Network, std::string(what) + " failed: " + ec.message() + "." };
}

Error Channel::Connect(const std::string& host, std::uint16_t port, Duration timeout)
{
    const auto deadline = IoLoop::Clock::now() + timeout;
    const std::string what = "Connecting to " + host + ":" + std::to_string(port);
    boost::system::error_code parseError;
    const auto address = asio::ip::make_address(host, parseError);
    if (!parseError)
        return Connect(Endpoint(address, port), timeout);

    // Resolving runs on Asio's own thread and cannot be interrupted; on a time-out its
    // result is abandoned and the shared state keeps the late handler harmless.
    struct Resolved {
        bool done = false;
        boost::system::error_code error;
        tcp::resolver::results_type results;
    };
    auto resolved = std::make_shared<Resolved>();
    tcp::resolver resolver(loop_.Context());
    resolver.async_resolve(host, std::to_string(port),
        [resolved](const boost::system::error_code& error, tcp::resolver::results_type results) {
            resolved->error = error;
            resolved->results = std::move(results);
            resolved->done = true;
        });
    Error error = loop_.Run(resolved->done, deadline);
    if (error) {
        resolver.cancel();
        if (error.code == Error::Code::TimedOut)
            error.message = "Looking up " + host + " timed out after " + DescribeDuration(timeout) + ".";
        return error;
    }
    if (resolved->error)
        return { Error::Code::Network,
            "Could not find the server " + host + ": " + resolved->error.message() + "." };

    Reset();
    const auto left = std::chrono::duration_cast<Duration>(deadline - IoLoop::Clock::now());
    return Connected(Await(
        [&](const std::shared_ptr<OpState>& state) {
            asio::async_connect(socket_, resolved->results, Completion { state, nullptr });
        },
        [&] { Close(); }, std::max(left, Duration(1)), what, nullptr, nullptr));
}

Error Channel::Connect(const Endpoint& endpoint, Duration timeout)
{
    Reset();
    const std::string what
        = "Connecting to " + endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
    return Connected(Await(
        [&](const std::shared_ptr<OpState>& state) {
            socket_.async_connect(endpoint, Completion { state, nullptr });
        },
        [&] { Close(); }, timeout, what, nullptr, nullptr));
}

Error Channel::Accept(tcp::acceptor& acceptor, const asio::ip::address& expectedPeer, Duration timeout,
    Channel* watched, bool* watchedReadable)
{
    Reset();
    if (watched != nullptr && watched->tls_ && watched->IsOpen()
        && SSL_has_pending(watched->tls_->native_handle()) == 1) {
        // Decrypted bytes already wait inside the TLS layer; the socket would not wake us.
        if (watchedReadable)
            *watchedReadable = true;
        return {};
    }
    // A readiness wait on the watched socket: it reads nothing, so TLS records and reply
    // bytes stay for the watched channel's own reader.
    auto readable = std::make_shared<OpState>();
    const bool watching = watched != nullptr && watched->IsOpen();
    if (watching)
        watched->socket_.async_wait(tcp::socket::wait_read, Completion { readable, nullptr });
    const IoLoop::Poll stopWhenReadable = [&] { return !readable->done; };
    Error error = Await(
        [&](const std::shared_ptr<OpState>& state) {
            acceptor.async_accept(socket_, Completion { state, nullptr });
        },
        [&] {
            boost::system::error_code ignored;
            acceptor.cancel(ignored);
        },
        timeout, "Waiting for the server's data connection", nullptr, nullptr,
        watching ? &stopWhenReadable : nullptr);
    if (watching && !readable->done) {
        boost::system::error_code ignored;
        watched->socket_.cancel(ignored);
        loop_.Drain(readable->done);
    } else if (watching && error && !loop_.IsCancelled() && !readable->error) {
        if (watchedReadable)
            *watchedReadable = true;
        return {};
    }
    if (error)
        return error;
    if (RemoteEndpoint().address() != expectedPeer) {
        const std::string stranger = RemoteEndpoint().address().to_string();
        Close();
        return { Error::Code::Network,
            "A data connection came from " + stranger + " instead of the server." };
    }
    return Connected({});
}

Error Channel::Connected(Error error)
{
    // Commands, replies and the last piece of a file are small writes that nothing follows
    // until the peer answers: Nagle's wait for an acknowledgement would only delay them.
    if (!error) {
        boost::system::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
    }
    return error;
}

Error Channel::StartTls(std::shared_ptr<asio::ssl::context> context, const std::string& host,
    SSL_SESSION* resume, Duration timeout)
{
    tlsContext_ = std::move(context);
    tls_ = std::make_unique<asio::ssl::stream<tcp::socket&>>(socket_, *tlsContext_);
    tlsHost_ = host;
    SSL* ssl = tls_->native_handle();
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    boost::system::error_code parseError;
    asio::ip::make_address(host, parseError);
    if (!parseError) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
        SSL_set_tlsext_host_name(ssl, host.c_str());
    }
    if (resume)
        SSL_set_session(ssl, resume);
    return Await(
        [&](const std::shared_ptr<OpState>& state) {
            tls_->async_handshake(asio::ssl::stream_base::client, Completion { state, nullptr });
        },
        [&] { Close(); }, timeout, "The TLS handshake with " + host, nullptr, nullptr);
}

Error Channel::Write(std::string_view bytes, Duration timeout, const IoLoop::Poll* poll)
{
    if (!IsOpen())
        return { Error::Code::Closed, "The connection is closed." };
    const auto buffer = asio::buffer(bytes.data(), bytes.size());
    return Await(
        [&](const std::shared_ptr<OpState>& state) {
            if (tls_)
                asio::async_write(*tls_, buffer, Completion { state, nullptr });
            else
                asio::async_write(socket_, buffer, Completion { state, nullptr });
        },
        [&] { Close(); }, timeout, "Sending to the server", nullptr, nullptr, poll);
}

Error Channel::ReadSome(std::string_view& bytes, Duration timeout, const IoLoop::Poll* poll)
{
    bytes = {};
    if (!IsOpen())
        return { Error::Code::Closed, "The connection is closed." };
    if (!readBuffer_)
        readBuffer_ = loop_.TakeBuffer(readChunk);
    auto buffer = readBuffer_;
    std::size_t got = 0;
    bool ended = false;
    Error error = Await(
        [&](const std::shared_ptr<OpState>& state) {
            if (tls_)
                tls_->async_read_some(asio::buffer(*buffer), Completion { state, buffer });
            else
                socket_.async_read_some(asio::buffer(*buffer), Completion { state, buffer });
        },
        [&] { Close(); }, timeout, "Waiting for the server", &got, &ended, poll);
    if (error)
        return error;
    if (ended)
        return {};
    bytes = std::string_view(buffer->data(), got);
    return {};
}

int Channel::NativeHandle()
{
    boost::system::error_code ignored;
    if (!socket_.non_blocking())
        socket_.non_blocking(true, ignored);
    return socket_.native_handle();
}

Error Channel::WaitReady(bool write, Duration timeout, const IoLoop::Poll* poll)
{
    if (!IsOpen())
        return { Error::Code::Closed, "The connection is closed." };
    return Await(
        [&](const std::shared_ptr<OpState>& state) {
            socket_.async_wait(
                write ? tcp::socket::wait_write : tcp::socket::wait_read, Completion { state, nullptr });
        },
        [&] { Close(); }, timeout, write ? "Sending to the server" : "Waiting for the server", nullptr,
        nullptr, poll);
}

void Channel::ShutdownTls(Duration timeout)
{
    if (!tls_ || !IsOpen())
        return;
    (void)Await(
        [&](const std::shared_ptr<OpState>& state) {
            tls_->async_shutdown(Completion { state, nullptr });
        },
        [&] { Close(); }, timeout, "Closing TLS", nullptr, nullptr);
}

void Channel::Close()
{
    boost::system::error_code ignored;
    if (socket_.is_open()) {
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }
}

void Channel::Reset()
{
    // Only between operations: no handler is pending on the TLS stream.
    Close();
    tls_.reset();
}

bool Channel::SessionReused() const
{
    return tls_ && SSL_session_reused(tls_->native_handle()) == 1;
}

SSL_SESSION* Channel::CopySession() const
{
    return tls_ ? SSL_get1_session(tls_->native_handle()) : nullptr;
}

Channel::Endpoint Channel::LocalEndpoint() const
{
    boost::system::error_code ignored;
    return socket_.local_endpoint(ignored);
}

Channel::Endpoint Channel::RemoteEndpoint() const
{
    boost::system::error_code ignored;
    return socket_.remote_endpoint(ignored);
}

} // namespace vorn::ftp
