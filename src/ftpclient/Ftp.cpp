// The session: settings, connecting (with implicit or explicit TLS), logging in and FEAT.
#include "ftpclient/FtpImpl.h"
#include "ftpclient/FtpReplies.h"

#include <iostream>

namespace sf {

namespace {

std::mutex trustedFileMutex;
std::string trustedFile;

} // namespace

Ftp::Ftp(bool verbose)
    : impl_(std::make_unique<Impl>(verbose))
{
}

Ftp::~Ftp()
{
    std::lock_guard lock(impl_->mutex);
    if (impl_->Connected() && !impl_->loop.IsCancelled()) {
        // Polite but bounded: the answer to QUIT is not waited for.
        impl_->Trace(">", "QUIT");
        (void)impl_->control.Write("QUIT\r\n", std::min(impl_->inactivityTimeout, Duration(2000)));
    }
    impl_->DropControl();
}

void Ftp::SetTrustedCertificatesFile(std::string path)
{
    std::lock_guard lock(trustedFileMutex);
    trustedFile = std::move(path);
}

std::string Ftp::GetTrustedCertificatesFile()
{
    std::lock_guard lock(trustedFileMutex);
    return trustedFile;
}

void Ftp::SetSecurity(vorn::ftp::Security security)
{
    std::lock_guard lock(impl_->mutex);
    impl_->security = security;
}

void Ftp::SetPassive(bool passive)
{
    std::lock_guard lock(impl_->mutex);
    impl_->passive = passive;
}

void Ftp::SetRequestUtf8(bool request)
{
    std::lock_guard lock(impl_->mutex);
    impl_->requestUtf8 = request;
}

void Ftp::SetConnectTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard lock(impl_->mutex);
    impl_->connectTimeout = std::max(timeout, Duration(1));
}

void Ftp::SetInactivityTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard lock(impl_->mutex);
    impl_->inactivityTimeout = std::max(timeout, Duration(1));
}

std::chrono::milliseconds Ftp::GetConnectTimeout() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->connectTimeout;
}

std::chrono::milliseconds Ftp::GetInactivityTimeout() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->inactivityTimeout;
}

void Ftp::SetTransferHook(TransferHook hook)
{
    std::lock_guard lock(impl_->mutex);
    impl_->hook = std::move(hook);
}

void Ftp::Cancel()
{
    impl_->loop.Cancel();
}

bool Ftp::LastDataSessionReused() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->lastDataSessionReused;
}

Ftp::Response Ftp::Connect(const IPAddress& server, unsigned short port, float timeoutSeconds)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    s.DropControl();
    s.features.clear();
    s.hashSelected.clear();
    s.useMlsd = false;
    s.epsvRefused = false;
    s.eprtRefused = false;
    if (s.loop.IsCancelled())
        return Response(Response::Cancelled, "The operation was cancelled.");
    if (!server.IsValid())
        return Response(Response::ConnectionFailed, "\"" + server.ToString() + "\" is not a server address.");
    s.host = server.ToString();
    const Duration timeout
        = timeoutSeconds > 0 ? Duration(static_cast<long long>(timeoutSeconds * 1000)) : s.connectTimeout;

    if (s.security != vorn::ftp::Security::Plain) {
        Error error;
        s.tlsContext = vorn::ftp::MakeClientTlsContext(GetTrustedCertificatesFile(), error);
        if (!s.tlsContext)
            return FromError(error);
    }
    if (Error error = s.control.Connect(s.host, port, timeout))
        return FromError(error);
    if (s.security == vorn::ftp::Security::ImplicitTls) {
        if (Error error = s.control.StartTls(s.tlsContext, s.host, nullptr, s.inactivityTimeout)) {
            s.DropControl();
            return FromError(error);
        }
    }
    Reply greeting;
    // 120: "ready in a few minutes"; the real greeting follows.
    for (int i = 0; i < 4; ++i) {
        if (Error error = s.ReadReply(greeting, s.inactivityTimeout))
            return FromError(error);
        if (!IsPreliminary(greeting.code))
            break;
    }
    if (!IsPositive(greeting.code)) {
        s.DropControl();
        return greeting.code < 400 ? Response(Response::InvalidResponse, greeting.text) : FromReply(greeting);
    }
    if (s.security == vorn::ftp::Security::ExplicitTls) {
        Response auth = s.Command("AUTH", "TLS");
        if (!IsPositive(auth.GetStatus())) {
            s.DropControl();
            if (auth.GetStatus() >= 1000)
                return auth;
            // Never fall back to plain text: the user asked for TLS.
            return Response(Response::TlsFailed, "The server refused TLS (AUTH TLS): " + auth.GetMessage());
        }
        if (Error error = s.control.StartTls(s.tlsContext, s.host, nullptr, s.inactivityTimeout)) {
            s.DropControl();
            return FromError(error);
        }
    }
    return FromReply(greeting);
}

Ftp::Response Ftp::Login(const std::string& user, const std::string& password)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    if (!s.Connected())
        return s.NotConnected();
    // A server may reset the transfer type with a new login: the next transfer sets it again.
    s.currentType = -1;
    // Features, UTF-8 and data protection are settled before USER: servers allow them then,
    // some want UTF-8 on before a name arrives, and a server that asks for a login first
    // (530) gets them again afterwards.
    bool afterLogin = false;
    Response settled = s.Settle(afterLogin);
    if (!settled.IsOk())
        return settled;
    Response response = s.Command("USER", user);
    if (response.GetStatus() == 331)
        response = s.Command("PASS", password);
    if (response.GetStatus() == 332)
        return Response(332, "The server asks for an account (ACCT), which is not supported.");
    if (!IsPositive(response.GetStatus()))
        return response.IsOk() ? Response(Response::InvalidResponse, response.GetMessage()) : response;
    if (afterLogin) {
        settled = s.Settle(afterLogin);
        if (!settled.IsOk())
            return settled;
    }
    return response;
}

Ftp::Response Ftp::Impl::Settle(bool& retryAfterLogin)
{
    const bool firstTry = !retryAfterLogin;
    retryAfterLogin = false;
    if (firstTry)
        featuresRead = utf8Settled = false;
    // After the login only what was refused before it is asked again.
    if (!featuresRead) {
        Response feat = Command("FEAT");
        if (!Connected())
            return feat;
        if (feat.GetStatus() == 530 && firstTry)
            retryAfterLogin = true;
        if (feat.GetStatus() == 211) {
            features = vorn::ftp::ParseFeatures(feat.GetMessage());
            featuresRead = true;
        }
    }
    useMlsd = features.count("MLST") > 0 || features.count("MLSD") > 0;
    if (features.count("UTF8") && requestUtf8 && !utf8Settled) {
        // Names are passed through as bytes; this asks the server to use UTF-8 for them.
        // Servers that take OPTS only after a login (pyftpdlib) answer 530 before it.
        Response utf8 = Command("OPTS", "UTF8 ON");
        if (!Connected())
            return utf8;
        if (utf8.GetStatus() == 530 && firstTry)
            retryAfterLogin = true;
        else
            utf8Settled = true; // taken, or refused for good (pyftpdlib: 501, it speaks UTF-8 anyway)
    }
    if (control.IsTls() && !protectData) {
        (void)Command("PBSZ", "0");
        Response prot = Command("PROT", "P");
        if (prot.GetStatus() == 530 && firstTry) {
            retryAfterLogin = true;
        } else if (!IsPositive(prot.GetStatus())) {
            if (prot.GetStatus() >= 1000)
                return prot;
            // Never transfer in the clear when the user asked for TLS.
            return Response(Response::TlsFailed,
                "The server refused to protect data connections (PROT P): " + prot.GetMessage());
        } else {
            protectData = true;
        }
    }
    return Response(200, "");
}

Ftp::Response Ftp::Disconnect()
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    if (!s.Connected())
        return s.NotConnected();
    Response response = s.Command("QUIT");
    s.DropControl();
    return response;
}

Ftp::Response Ftp::KeepAlive()
{
    std::unique_lock lock(impl_->mutex, std::try_to_lock);
    if (!lock.owns_lock())
        return Response(Response::Busy, "A command or transfer is in progress.");
    if (!impl_->Connected())
        return impl_->NotConnected();
    // A download, listing or times sent ahead are traffic enough; a NOOP now would settle them
    // for nothing.
    if (!impl_->aheadPath.empty() || !impl_->aheadListing.empty() || !impl_->aheadTimes.empty())
        return Response(200, "");
    return impl_->Command("NOOP");
}

void Ftp::SetNextDownload(const std::string& remotePath)
{
    std::lock_guard lock(impl_->mutex);
    impl_->nextDownload = CanTravelInCommand(remotePath) ? remotePath : std::string();
}

void Ftp::ExpectListing()
{
    std::lock_guard lock(impl_->mutex);
    impl_->listingExpected = true;
}

} // namespace sf
