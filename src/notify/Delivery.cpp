#include "notify/Delivery.h"

#include <cstring>
#include <curl/curl.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

namespace vorn {

namespace {

void GlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using SList = std::unique_ptr<curl_slist, ListDeleter>;

// The message curl reads while it sends the mail's DATA.
struct Upload {
    const std::string& text;
    std::size_t offset = 0;
};

std::size_t ReadUpload(char* buffer, std::size_t size, std::size_t count, void* user)
{
    auto* upload = static_cast<Upload*>(user);
    const std::size_t n = std::min(size * count, upload->text.size() - upload->offset);
    std::memcpy(buffer, upload->text.data() + upload->offset, n);
    upload->offset += n;
    return n;
}

std::size_t DiscardBody(char*, std::size_t size, std::size_t count, void*)
{
    return size * count;
}

void CommonOptions(CURL* curl, const DeliveryPolicy& policy, char* errorBuffer)
{
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(policy.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, long(policy.transferTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    std::error_code ignored;
    if (!policy.trustedCertificates.empty()
        && std::filesystem::is_regular_file(policy.trustedCertificates, ignored)) {
        // The user's own file, and the system's folder of authorities beside it.
        curl_easy_setopt(curl, CURLOPT_CAINFO, policy.trustedCertificates.c_str());
        curl_easy_setopt(curl, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
}

ErrorKind KindOf(CURLcode code)
{
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return ErrorKind::TimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return ErrorKind::Network;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CACERT_BADFILE:
        return ErrorKind::Tls;
    case CURLE_LOGIN_DENIED:
        return ErrorKind::ServerPermanent;
    default:
        return ErrorKind::Failed;
    }
}

Error CurlError(CURLcode code, const char* errorBuffer)
{
    const std::string detail = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
    return MakeError(KindOf(code), detail);
}

std::string Base64(std::string_view bytes)
{
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            group |= std::uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(group >> 18) & 63];
        out += kDigits[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
    }
    return out;
}

// Header texts hold no line breaks (they would start a header of their own); a subject
// beyond ASCII goes as encoded words.
std::string HeaderText(std::string_view text)
{
    std::string clean;
    bool ascii = true;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            clean += ' ';
        else
            clean += c;
        ascii = ascii && byte < 0x80;
    }
    return ascii ? clean : "=?UTF-8?B?" + Base64(clean) + "?=";
}

// Body lines end in CRLF; lone CR and LF become line ends too.
std::string CrlfText(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (text[i] == '\r' || text[i] == '\n')
            out += "\r\n";
        else
            out += text[i];
    }
    if (!out.ends_with("\r\n"))
        out += "\r\n";
    return out;
}

std::string MailDate(std::time_t date)
{
    std::tm utc {};
    gmtime_r(&date, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    return text;
}

std::string MessageId(const std::string& from)
{
    std::random_device random;
    const auto at = from.rfind('@');
    const std::string domain = at == std::string::npos ? "localhost" : from.substr(at + 1);
    return "<" + std::to_string(random()) + "." + std::to_string(random()) + "@" + HeaderText(domain) + ">";
}

Status PostOnce(const std::string& url, const std::string& json, const DeliveryPolicy& policy)
{
    Easy curl(curl_easy_init());
    if (!curl)
        return MakeError(ErrorKind::Failed, "curl could not be started");
    char errorBuffer[CURL_ERROR_SIZE] = {};
    CommonOptions(curl.get(), policy, errorBuffer);
    SList headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, json.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(json.size()));
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &DiscardBody);
    const CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK)
        return CurlError(code, errorBuffer);
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299)
        return MakeError(status >= 500 ? ErrorKind::ServerTransient : ErrorKind::ServerPermanent,
            "the server answered HTTP " + std::to_string(status), int(status));
    return Ok();
}

} // namespace

std::string ComposeMail(const std::string& from, const std::vector<std::string>& to,
    const std::string& subject, const std::string& body, std::time_t date)
{
    std::string toLine;
    for (const std::string& address : to)
        toLine += (toLine.empty() ? "" : ", ") + HeaderText(address);
    std::string mail;
    mail += "Date: " + MailDate(date) + "\r\n";
    mail += "From: " + HeaderText(from) + "\r\n";
    mail += "To: " + toLine + "\r\n";
    mail += "Subject: " + HeaderText(subject) + "\r\n";
    mail += "Message-ID: " + MessageId(from) + "\r\n";
    mail += "MIME-Version: 1.0\r\n";
    mail += "Content-Type: text/plain; charset=UTF-8\r\n";
    mail += "Content-Transfer-Encoding: 8bit\r\n";
    mail += "\r\n";
    mail += CrlfText(body);
    return mail;
}

Status SendMail(const DatabaseSettings& settings, const std::vector<std::string>& to,
    const std::string& subject, const std::string& body, const DeliveryPolicy& policy)
{
    if (settings.smtpHost.empty())
        return MakeError(ErrorKind::Invalid, "no mail server is set (smtp-host)");
    if (to.empty())
        return MakeError(ErrorKind::Invalid, "no receiver is set (mail-to)");
    if (settings.mailFrom.empty())
        return MakeError(ErrorKind::Invalid, "no sender is set (mail-from)");
    GlobalInit();
    Easy curl(curl_easy_init());
    if (!curl)
        return MakeError(ErrorKind::Failed, "curl could not be started");
    char errorBuffer[CURL_ERROR_SIZE] = {};
    CommonOptions(curl.get(), policy, errorBuffer);
    const bool implicit = settings.smtpTls == SmtpTls::Implicit;
    const std::string url = std::string(implicit ? "smtps://" : "smtp://") + settings.smtpHost + ":"
        + std::to_string(settings.smtpPort);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    if (settings.smtpTls == SmtpTls::StartTls)
        curl_easy_setopt(curl.get(), CURLOPT_USE_SSL, long(CURLUSESSL_ALL)); // never falls back to plain text
    if (!settings.smtpUser.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_USERNAME, settings.smtpUser.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_PASSWORD, settings.smtpPassword.c_str());
    }
    const std::string sender = "<" + settings.mailFrom + ">";
    curl_easy_setopt(curl.get(), CURLOPT_MAIL_FROM, sender.c_str());
    SList receivers;
    for (const std::string& address : to)
        receivers.reset(curl_slist_append(receivers.release(), ("<" + address + ">").c_str()));
    curl_easy_setopt(curl.get(), CURLOPT_MAIL_RCPT, receivers.get());
    const std::string message = ComposeMail(settings.mailFrom, to, subject, body, std::time(nullptr));
    Upload upload { message };
    curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, &ReadUpload);
    curl_easy_setopt(curl.get(), CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl.get(), CURLOPT_UPLOAD, 1L);
    const CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK)
        return CurlError(code, errorBuffer);
    return Ok();
}

Status PostHook(const std::string& url, const std::string& json, const DeliveryPolicy& policy)
{
    if (url.empty())
        return MakeError(ErrorKind::Invalid, "no hook URL is set (hook-url)");
    GlobalInit();
    std::chrono::milliseconds pause = policy.hookPause;
    Status result = PostOnce(url, json, policy);
    for (int attempt = 1; !result && attempt < policy.hookAttempts; ++attempt) {
        // A refusal that names the request itself (4xx) will not pass on a second try.
        if (result.error().kind == ErrorKind::ServerPermanent || result.error().kind == ErrorKind::Invalid)
            break;
        std::this_thread::sleep_for(pause);
        pause *= 2;
        result = PostOnce(url, json, policy);
    }
    return result;
}

} // namespace vorn
