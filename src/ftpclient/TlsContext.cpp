#include "ftpclient/TlsContext.h"

#include <filesystem>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <vector>

namespace vorn::ftp {
namespace {

// Sessions handed to the context's new-session callback, oldest first. Only the worker
// thread of the owning session runs handshakes and reads, so no lock is needed.
class SessionStore {
public:
    SessionStore() = default;
    SessionStore(const SessionStore&) = delete;
    SessionStore& operator=(const SessionStore&) = delete;
    ~SessionStore()
    {
        for (SSL_SESSION* session : sessions_)
            SSL_SESSION_free(session);
    }

    void Add(SSL_SESSION* session)
    {
        constexpr std::size_t limit = 16;
        if (sessions_.size() == limit) {
            SSL_SESSION_free(sessions_.front());
            sessions_.erase(sessions_.begin());
        }
        sessions_.push_back(session);
    }

    SSL_SESSION* TakeNewest()
    {
        if (sessions_.empty())
            return nullptr;
        SSL_SESSION* session = sessions_.back();
        sessions_.pop_back();
        return session;
    }

private:
    std::vector<SSL_SESSION*> sessions_;
};

struct ContextWithSessions {
    ContextWithSessions()
        : context(boost::asio::ssl::context::tls_client)
    {
    }
    SessionStore sessions; // destroyed after the context, which may still call back into it
    boost::asio::ssl::context context;
};

int StoreIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int OnNewSession(SSL* ssl, SSL_SESSION* session)
{
    auto* store = static_cast<SessionStore*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), StoreIndex()));
    if (!store || !SSL_SESSION_is_resumable(session))
        return 0;
    store->Add(session);
    return 1; // the store keeps the reference
}

} // namespace

std::shared_ptr<boost::asio::ssl::context> MakeClientTlsContext(const std::string& trustedFile, Error& error)
{
    namespace ssl = boost::asio::ssl;
    auto holder = std::make_shared<ContextWithSessions>();
    std::shared_ptr<ssl::context> context(holder, &holder->context);
    SSL_CTX* native = context->native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_set_ex_data(native, StoreIndex(), &holder->sessions);
    SSL_CTX_sess_set_new_cb(native, OnNewSession);
    boost::system::error_code ignored;
    // A machine without a system store still works with the user's own file.
    context->set_default_verify_paths(ignored);
    std::error_code exists;
    if (!trustedFile.empty() && std::filesystem::exists(trustedFile, exists)) {
        boost::system::error_code loadError;
        context->load_verify_file(trustedFile, loadError);
        if (loadError) {
            error = { Error::Code::Tls,
                "Could not read the trusted certificates in " + trustedFile + ": " + loadError.message()
                    + "." };
            return nullptr;
        }
    }
    context->set_verify_mode(ssl::verify_peer);
    return context;
}

SSL_SESSION* TakeResumableSession(boost::asio::ssl::context& context)
{
    auto* store = static_cast<SessionStore*>(SSL_CTX_get_ex_data(context.native_handle(), StoreIndex()));
    return store ? store->TakeNewest() : nullptr;
}

} // namespace vorn::ftp
