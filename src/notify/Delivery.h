#pragma once

#include "common/Result.h"
#include "store/Settings.h"

#include <chrono>
#include <string>
#include <vector>

namespace vorn {

// How deliveries wait and try again. Every wait ends: curl's connect and whole-transfer
// time-outs bound each attempt.
struct DeliveryPolicy {
    std::chrono::seconds connectTimeout { 20 };
    std::chrono::seconds transferTimeout { 60 };
    int hookAttempts = 3; // a hook call that fails is tried this many times in all
    std::chrono::milliseconds hookPause { 2000 }; // before the second attempt; doubled after
    // Extra certificates to trust besides the system's (the file the user trusts for FTPS);
    // empty or missing: the system's only.
    std::string trustedCertificates;
};

// Sends one plain-text message through the mail server of `settings` to `to`. The server's
// certificate is verified unless smtp-tls is none.
[[nodiscard]] Status SendMail(const DatabaseSettings& settings, const std::vector<std::string>& to,
    const std::string& subject, const std::string& body, const DeliveryPolicy& policy);

// POSTs `json` to `url` as application/json, trying again as the policy says. A reply other
// than 2xx counts as a failure. HTTPS certificates are verified.
[[nodiscard]] Status PostHook(const std::string& url, const std::string& json, const DeliveryPolicy& policy);

// The whole message as sent: headers (a subject beyond ASCII encoded as RFC 2047 words)
// and the body with CRLF line ends.
[[nodiscard]] std::string ComposeMail(const std::string& from, const std::vector<std::string>& to,
    const std::string& subject, const std::string& body, std::time_t date);

} // namespace vorn
