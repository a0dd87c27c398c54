#pragma once

#include "ftpclient/Error.h"

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

namespace vorn::ftp {

// A client context for one FTPS session: TLS 1.2 or later; peers verified against the system
// store plus `trustedFile` (PEM certificates the user chose to trust; ignored when it does
// not exist). It collects the session tickets its connections receive, so that each data
// connection can resume the control connection's session with a ticket of its own.
// Returns null and sets `error` when `trustedFile` exists but cannot be read.
[[nodiscard]] std::shared_ptr<boost::asio::ssl::context> MakeClientTlsContext(
    const std::string& trustedFile, Error& error);

// The newest collected session not offered yet, or null. Under TLS 1.3 a server may accept
// each ticket once (vsftpd's require_ssl_reuse does), so every data connection needs its own.
// The caller owns the reference (SSL_SESSION_free).
[[nodiscard]] SSL_SESSION* TakeResumableSession(boost::asio::ssl::context& context);

} // namespace vorn::ftp
