#pragma once

#include "ftpclient/Error.h"

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

namespace vorn::ftp {

// A client context for one FTPS session: TLS 1.2 or later; peers verified against the system
// store plus `trustedFile` (PEM certificates the user chose to trust; ignored when it does
// not exist); a client session cache so data connections can resume the control session.
// Returns null and sets `error` when `trustedFile` exists but cannot be read.
[[nodiscard]] std::shared_ptr<boost::asio::ssl::context> MakeClientTlsContext(const std::string& trustedFile,
                                                                             Error& error);

} // namespace vorn::ftp
