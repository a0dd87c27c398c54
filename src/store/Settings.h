#pragma once

#include "common/Result.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

class ProjectDb;

// How the mail server is reached: STARTTLS on a plain connection, TLS from the first byte,
// or no TLS at all.
enum class SmtpTls { StartTls, Implicit, None };

// The settings of a whole database, kept in vorn_settings (one row per name). A database
// without a row has the defaults below.
struct DatabaseSettings {
    std::string smtpHost;
    int smtpPort = 587;
    SmtpTls smtpTls = SmtpTls::StartTls;
    std::string smtpUser;
    std::string smtpPassword; // empty in the table while the keyring holds it
    std::string mailFrom;
    std::string mailTo; // comma-separated
    std::string hookUrl;
    bool keyring = false; // passwords live in the desktop's keyring, not in the table

    bool operator==(const DatabaseSettings&) const = default;
};

// The settings stored in `db`; the defaults for names without a row.
[[nodiscard]] Result<DatabaseSettings> LoadSettings(ProjectDb* db);

// Writes every setting in one transaction.
[[nodiscard]] Status SaveSettings(ProjectDb* db, const DatabaseSettings& settings);

// One "name=value" setting applied to `settings`; on a refused value `settings` is unchanged
// and the error names the setting and what it accepts.
[[nodiscard]] Status ApplySetting(std::string_view setting, DatabaseSettings& settings);

// Every setting as "name=value", in a fixed order; a stored password reads as "(stored)".
[[nodiscard]] std::vector<std::string> FormatSettings(const DatabaseSettings& settings);

// The texts of an SmtpTls value, and back.
[[nodiscard]] std::string_view SmtpTlsText(SmtpTls tls);
[[nodiscard]] std::optional<SmtpTls> SmtpTlsFromText(std::string_view text);

// The addresses of a comma-separated list, trimmed, without empty ones.
[[nodiscard]] std::vector<std::string> SplitAddresses(std::string_view list);

// A value the program keeps for itself in vorn_settings (names starting with "state."),
// never shown by FormatSettings. Empty when there is none.
[[nodiscard]] std::string LoadStateValue(ProjectDb* db, const std::string& name);
[[nodiscard]] Status SaveStateValue(ProjectDb* db, const std::string& name, const std::string& value);

} // namespace vorn
