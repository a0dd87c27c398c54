#include "store/Settings.h"

#include "store/ProjectDb.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <charconv>
#include <map>

namespace vorn {

namespace {

struct TextSetting {
    std::string_view name;
    std::string DatabaseSettings::*field;
};

constexpr TextSetting kTexts[] = {
    { "smtp-host", &DatabaseSettings::smtpHost },
    { "smtp-user", &DatabaseSettings::smtpUser },
    { "smtp-password", &DatabaseSettings::smtpPassword },
    { "mail-from", &DatabaseSettings::mailFrom },
    { "mail-to", &DatabaseSettings::mailTo },
    { "hook-url", &DatabaseSettings::hookUrl },
};

constexpr std::string_view kNames = "smtp-host, smtp-port, smtp-tls, smtp-user, smtp-password, mail-from, "
                                    "mail-to, hook-url, keyring";

std::optional<int> Port(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1
        || value > 65535)
        return std::nullopt;
    return value;
}

bool HasControl(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    return false;
}

// Stored texts that another program wrote badly read as the defaults.
DatabaseSettings FromRows(const std::map<std::string, std::string>& rows)
{
    DatabaseSettings settings;
    for (const TextSetting& text : kTexts)
        if (const auto row = rows.find(std::string(text.name)); row != rows.end())
            settings.*text.field = row->second;
    if (const auto row = rows.find("smtp-port"); row != rows.end())
        settings.smtpPort = Port(row->second).value_or(settings.smtpPort);
    if (const auto row = rows.find("smtp-tls"); row != rows.end())
        settings.smtpTls = SmtpTlsFromText(row->second).value_or(settings.smtpTls);
    if (const auto row = rows.find("keyring"); row != rows.end())
        settings.keyring = row->second == "1";
    return settings;
}

} // namespace

std::string_view SmtpTlsText(SmtpTls tls)
{
    switch (tls) {
    case SmtpTls::StartTls:
        return "starttls";
    case SmtpTls::Implicit:
        return "implicit";
    case SmtpTls::None:
        return "none";
    }
    return "starttls";
}

std::optional<SmtpTls> SmtpTlsFromText(std::string_view text)
{
    for (const SmtpTls tls : { SmtpTls::StartTls, SmtpTls::Implicit, SmtpTls::None })
        if (SmtpTlsText(tls) == text)
            return tls;
    return std::nullopt;
}

Result<DatabaseSettings> LoadSettings(ProjectDb* db)
{
    if (db == nullptr)
        return MakeError(ErrorKind::Invalid, "no database");
    Statement query(db->handle(), "select name, value from vorn_settings where name not like 'state.%'");
    std::map<std::string, std::string> rows;
    while (query.NextRow())
        rows[query.Text(0)] = query.Text(1);
    if (!query.ok())
        return MakeError(ErrorKind::LocalIo, "the settings could not be read: " + query.error());
    return FromRows(rows);
}

Status SaveSettings(ProjectDb* db, const DatabaseSettings& settings)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return MakeError(ErrorKind::LocalIo, "the settings could not be written");
    std::vector<std::pair<std::string, std::string>> rows;
    for (const TextSetting& text : kTexts)
        rows.emplace_back(text.name, settings.*text.field);
    rows.emplace_back("smtp-port", std::to_string(settings.smtpPort));
    rows.emplace_back("smtp-tls", std::string(SmtpTlsText(settings.smtpTls)));
    rows.emplace_back("keyring", settings.keyring ? "1" : "0");
    for (const auto& [name, value] : rows) {
        Statement row(db->handle(), "insert or replace into vorn_settings (name, value) values (?1, ?2)");
        row.BindText(1, name);
        row.BindText(2, value);
        if (!row.Run())
            return MakeError(ErrorKind::LocalIo, "the settings could not be written: " + row.error());
    }
    if (!transaction.Commit())
        return MakeError(ErrorKind::LocalIo, "the settings could not be written");
    return Ok();
}

Status ApplySetting(std::string_view setting, DatabaseSettings& settings)
{
    const auto equals = setting.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return MakeError(ErrorKind::Invalid, "'" + std::string(setting) + "' is not a name=value setting");
    const std::string name(setting.substr(0, equals));
    const std::string_view value = setting.substr(equals + 1);
    // A line break in an address or a host would end up in the mail's headers.
    if (HasControl(value))
        return MakeError(ErrorKind::Invalid, name + " may not hold control characters");
    for (const TextSetting& text : kTexts) {
        if (name == text.name) {
            settings.*text.field = std::string(value);
            return Ok();
        }
    }
    if (name == "smtp-port") {
        const auto port = Port(value);
        if (!port)
            return MakeError(ErrorKind::Invalid,
                "smtp-port must be a port number from 1 to 65535, not '" + std::string(value) + "'");
        settings.smtpPort = *port;
        return Ok();
    }
    if (name == "smtp-tls") {
        const auto tls = SmtpTlsFromText(value);
        if (!tls)
            return MakeError(ErrorKind::Invalid,
                "smtp-tls must be starttls, implicit or none, not '" + std::string(value) + "'");
        settings.smtpTls = *tls;
        return Ok();
    }
    if (name == "keyring") {
        if (value != "0" && value != "1")
            return MakeError(ErrorKind::Invalid, "keyring must be 0 or 1, not '" + std::string(value) + "'");
        settings.keyring = value == "1";
        return Ok();
    }
    return MakeError(
        ErrorKind::Invalid, "unknown setting '" + name + "' (settings: " + std::string(kNames) + ")");
}

std::vector<std::string> FormatSettings(const DatabaseSettings& settings)
{
    return {
        "smtp-host=" + settings.smtpHost,
        "smtp-port=" + std::to_string(settings.smtpPort),
        "smtp-tls=" + std::string(SmtpTlsText(settings.smtpTls)),
        "smtp-user=" + settings.smtpUser,
        std::string("smtp-password=") + (settings.smtpPassword.empty() ? "" : "(stored)"),
        "mail-from=" + settings.mailFrom,
        "mail-to=" + settings.mailTo,
        "hook-url=" + settings.hookUrl,
        std::string("keyring=") + (settings.keyring ? "1" : "0"),
    };
}

std::vector<std::string> SplitAddresses(std::string_view list)
{
    std::vector<std::string> addresses;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string_view::npos)
            comma = list.size();
        std::string_view part = list.substr(start, comma - start);
        while (!part.empty() && (part.front() == ' ' || part.front() == '\t'))
            part.remove_prefix(1);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\t'))
            part.remove_suffix(1);
        if (!part.empty())
            addresses.emplace_back(part);
        start = comma + 1;
    }
    return addresses;
}

std::string LoadStateValue(ProjectDb* db, const std::string& name)
{
    if (db == nullptr)
        return {};
    Statement query(db->handle(), "select value from vorn_settings where name = ?1");
    query.BindText(1, "state." + name);
    return query.NextRow() ? query.Text(0) : std::string();
}

Status SaveStateValue(ProjectDb* db, const std::string& name, const std::string& value)
{
    Transaction transaction(db);
    if (!transaction.ok())
        return MakeError(ErrorKind::LocalIo, "the database could not be written");
    Statement row(db->handle(), "insert or replace into vorn_settings (name, value) values (?1, ?2)");
    row.BindText(1, "state." + name);
    row.BindText(2, value);
    if (!row.Run() || !transaction.Commit())
        return MakeError(ErrorKind::LocalIo, "the database could not be written: " + row.error());
    return Ok();
}

} // namespace vorn
