#include "ftpclient/TlsContext.h"

#include <filesystem>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace vorn::ftp {

std::shared_ptr<boost::asio::ssl::context> MakeClientTlsContext(const std::string& trustedFile, Error& error)
{
    namespace ssl = boost::asio::ssl;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
    SSL_CTX* native = context->native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_CLIENT);
    boost::system::error_code ignored;
    // A machine without a system store still works with the user's own file.
    context->set_default_verify_paths(ignored);
    std::error_code exists;
    if (!trustedFile.empty() && std::filesystem::exists(trustedFile, exists)) {
        boost::system::error_code loadError;
        context->load_verify_file(trustedFile, loadError);
        if (loadError) {
            error = {Error::Code::Tls,
                     "Could not read the trusted certificates in " + trustedFile + ": " + loadError.message() + "."};
            return nullptr;
        }
    }
    context->set_verify_mode(ssl::verify_peer);
    return context;
}

} // namespace vorn::ftp
