#include "store/AlertOptions.h"

#include "store/ProjectDb.h"
#include "store/Statement.h"

#include <charconv>

namespace vorn {

namespace {

constexpr int kMaxAlertDays = 3650;

std::optional<int> Number(std::string_view text, int low, int high)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low
        || value > high)
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

} // namespace

std::string_view NotifyWhenText(NotifyWhen when)
{
    switch (when) {
    case NotifyWhen::Failure:
        return "failure";
    case NotifyWhen::Always:
        return "always";
    case NotifyWhen::Never:
        return "never";
    }
    return "failure";
}

std::optional<NotifyWhen> NotifyWhenFromText(std::string_view text)
{
    for (const NotifyWhen when : { NotifyWhen::Failure, NotifyWhen::Always, NotifyWhen::Never })
        if (NotifyWhenText(when) == text)
            return when;
    return std::nullopt;
}

AlertOptions LoadAlertOptions(ProjectDb* db, std::int64_t ftpid)
{
    AlertOptions alerts;
    if (db == nullptr)
        return alerts;
    Statement query(db->handle(),
        "select notify, mail_to, hook_url, catch_up, alert_after_days from vorn_project_alerts "
        "where ftpid = ?1");
    query.BindInt(1, ftpid);
    if (!query.NextRow())
        return alerts;
    alerts.notify = NotifyWhenFromText(query.Text(0)).value_or(alerts.notify);
    alerts.mailTo = query.Text(1);
    alerts.hookUrl = query.Text(2);
    alerts.catchUp = query.Text(3) == "1";
    alerts.alertAfterDays = Number(query.Text(4), 0, kMaxAlertDays).value_or(0);
    return alerts;
}

bool SaveAlertOptions(ProjectDb* db, const std::string& name, const AlertOptions& alerts)
{
    Statement row(db->handle(),
        "insert or replace into vorn_project_alerts "
        "(ftpid, notify, mail_to, hook_url, catch_up, alert_after_days) "
        "select ftpid, ?1, ?2, ?3, ?4, ?5 from gm_ftp_plantable where ftpname = ?6 order by ftpid limit 1");
    row.BindText(1, NotifyWhenText(alerts.notify));
    row.BindText(2, alerts.mailTo);
    row.BindText(3, alerts.hookUrl);
    row.BindInt(4, alerts.catchUp ? 1 : 0);
    row.BindInt(5, alerts.alertAfterDays);
    row.BindText(6, name);
    return row.Run();
}

std::optional<std::string> ApplyAlertOption(
    std::string_view name, std::string_view value, AlertOptions& alerts)
{
    const std::string quoted = "'" + std::string(value) + "'";
    if (name == "notify") {
        const auto when = NotifyWhenFromText(value);
        if (!when)
            return "notify must be failure, always or never, not " + quoted;
        alerts.notify = *when;
        return std::string();
    }
    if (name == "mail-to" || name == "hook-url") {
        if (HasControl(value))
            return std::string(name) + " may not hold control characters";
        (name == "mail-to" ? alerts.mailTo : alerts.hookUrl) = std::string(value);
        return std::string();
    }
    if (name == "catch-up") {
        if (value != "0" && value != "1")
            return "catch-up must be 0 or 1, not " + quoted;
        alerts.catchUp = value == "1";
        return std::string();
    }
    if (name == "alert-after-days") {
        const auto days = Number(value, 0, kMaxAlertDays);
        if (!days)
            return "alert-after-days must be a whole number from 0 to " + std::to_string(kMaxAlertDays)
                + ", not " + quoted;
        alerts.alertAfterDays = *days;
        return std::string();
    }
    return std::nullopt;
}

std::vector<std::string> FormatAlertOptions(const AlertOptions& alerts)
{
    return {
        "notify=" + std::string(NotifyWhenText(alerts.notify)),
        "mail-to=" + alerts.mailTo,
        "hook-url=" + alerts.hookUrl,
        std::string("catch-up=") + (alerts.catchUp ? "1" : "0"),
        "alert-after-days=" + std::to_string(alerts.alertAfterDays),
    };
}

} // namespace vorn
