#include "notify/Alert.h"

#include "common/TimeText.h"
#include "sessions/SessionFactory.h"
#include "store/Secrets.h"

#include <cstdio>

namespace vorn {

namespace {

std::string Plural(std::uint64_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Server and project texts are data: C0 and C1 controls (a line break, an escape) are shown
// as \xNN, never passed on into a mail or a terminal.
std::string PlainLine(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80
            && static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        if (byte < 0x20 || byte == 0x7f || c1) {
            const auto shown = c1 ? static_cast<unsigned char>(text[++i]) : byte;
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", shown);
            out += escaped;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A JSON string: quotes, backslashes and controls escaped; bytes that are not UTF-8 become
// U+FFFD, so the document always parses.
std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte == '"' || byte == '\\') {
                out += '\\';
                out += char(byte);
            } else if (byte < 0x20 || byte == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out += char(byte);
            }
            ++i;
            continue;
        }
        const std::size_t length = byte >= 0xf0 && byte < 0xf5 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc2 ? 2 : 0;
        bool valid = length > 0 && i + length <= text.size() && byte < 0xf5;
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
        out += valid ? std::string(text.substr(i, length)) : "\xef\xbf\xbd";
        i += valid ? length : 1;
    }
    return out + "\"";
}

std::string IsoTime(std::time_t when)
{
    std::tm utc {};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string Duration(std::time_t start, std::time_t end)
{
    const long long seconds = end > start ? static_cast<long long>(end - start) : 0;
    std::string text;
    if (seconds >= 3600)
        text += std::to_string(seconds / 3600) + " h ";
    if (seconds >= 60)
        text += std::to_string(seconds / 60 % 60) + " min ";
    return text + std::to_string(seconds % 60) + " s";
}

std::string OutcomeCode(const RunReport& report)
{
    if (report.staleDays > 0)
        return "stale";
    if (report.run.outcome == "Success")
        return FullySucceeded(report) ? "success" : "files-failed";
    if (report.run.outcome == "Stop")
        return "stopped";
    if (report.run.outcome == "Missed")
        return "missed";
    if (report.run.outcome == "Test")
        return "test";
    return "fail";
}

} // namespace

bool FullySucceeded(const RunReport& report)
{
    return report.staleDays == 0 && report.run.outcome == "Success" && report.run.filesFailed == 0
        && report.run.foldersFailed == 0;
}

std::string OutcomeSummary(const RunReport& report)
{
    const RunRecord& run = report.run;
    if (report.staleDays > 0)
        return "no successful run for " + Plural(std::uint64_t(report.staleDays), "day", "days");
    if (run.outcome == "Success") {
        if (run.filesFailed > 0 && run.foldersFailed > 0)
            return Plural(run.filesFailed, "file", "files") + " and "
                + Plural(run.foldersFailed, "folder", "folders") + " failed";
        if (run.filesFailed > 0)
            return Plural(run.filesFailed, "file", "files") + " failed";
        if (run.foldersFailed > 0)
            return Plural(run.foldersFailed, "folder", "folders") + " failed";
        return "succeeded";
    }
    if (run.outcome == "Stop")
        return "stopped";
    if (run.outcome == "Missed")
        return "missed its scheduled run";
    if (run.outcome == "Test")
        return "test message";
    return "failed";
}

bool ShouldNotify(NotifyWhen when, const RunReport& report)
{
    switch (when) {
    case NotifyWhen::Never:
        return false;
    case NotifyWhen::Always:
        return true;
    case NotifyWhen::Failure:
        // A stop is the user's own doing (or the program leaving), not a failure.
        return !FullySucceeded(report) && report.run.outcome != "Stop";
    }
    return true;
}

std::string AlertSubject(const RunReport& report)
{
    return "[Vorn] " + PlainLine(report.project) + ": " + OutcomeSummary(report);
}

std::string AlertBody(const RunReport& report)
{
    const RunRecord& run = report.run;
    std::string body = "Project: " + PlainLine(report.project) + "\n";
    body += "Outcome: " + OutcomeSummary(report) + "\n";
    if (report.staleDays > 0) {
        body += "The project has had no successful run for "
            + Plural(std::uint64_t(report.staleDays), "day", "days") + ".\n";
        if (run.end > 0)
            body += "Last successful run: " + FormatLocalTime(run.end, "%m/%d/%Y %H:%M:%S") + "\n";
        return body;
    }
    body += "Started: " + FormatLocalTime(run.start, "%m/%d/%Y %H:%M:%S") + "\n";
    body += "Ended: " + FormatLocalTime(run.end, "%m/%d/%Y %H:%M:%S") + "\n";
    body += "Duration: " + Duration(run.start, run.end) + "\n";
    body += "Files copied: " + std::to_string(run.filesCopied) + "\n";
    body += "Files failed: " + std::to_string(run.filesFailed) + "\n";
    body += "Folders failed: " + std::to_string(run.foldersFailed) + "\n";
    body += "Bytes: " + std::to_string(run.bytes) + "\n";
    if (!run.reason.empty())
        body += "Reason: " + PlainLine(run.reason) + "\n";
    if (!report.failed.empty()) {
        const std::size_t shown = std::min(report.failed.size(), kMailedFailures);
        body += "\nFailed (" + std::to_string(shown) + " of " + std::to_string(report.failed.size()) + "):\n";
        for (std::size_t i = 0; i < shown; ++i)
            body += PlainLine(report.failed[i].remotePath) + "\t" + PlainLine(report.failed[i].reason) + "\n";
    }
    return body;
}

std::string AlertJson(const RunReport& report)
{
    const RunRecord& run = report.run;
    std::string json = "{";
    json += "\"project\":" + JsonString(report.project);
    json += ",\"outcome\":" + JsonString(OutcomeCode(report));
    json += ",\"summary\":" + JsonString(OutcomeSummary(report));
    json += ",\"filesCopied\":" + std::to_string(run.filesCopied);
    json += ",\"filesFailed\":" + std::to_string(run.filesFailed);
    json += ",\"foldersFailed\":" + std::to_string(run.foldersFailed);
    json += ",\"bytes\":" + std::to_string(run.bytes);
    json += ",\"start\":" + (run.start > 0 ? JsonString(IsoTime(run.start)) : "null");
    json += ",\"end\":" + (run.end > 0 ? JsonString(IsoTime(run.end)) : "null");
    json += ",\"reason\":" + JsonString(run.reason);
    return json + "}";
}

std::string StartJson(const std::string& project, std::time_t start)
{
    return "{\"project\":" + JsonString(project)
        + ",\"outcome\":\"start\",\"start\":" + JsonString(IsoTime(start)) + "}";
}

std::string HookUrlFor(const std::string& url, const std::string& event)
{
    std::string out = url;
    const std::string marker = "{event}";
    for (auto at = out.find(marker); at != std::string::npos; at = out.find(marker, at + event.size()))
        out.replace(at, marker.size(), event);
    return out;
}

bool HookHasStartPing(const std::string& url)
{
    return url.find("{event}") != std::string::npos;
}

AlertReceivers ReceiversFor(const DatabaseSettings& settings, const AlertOptions& options)
{
    AlertReceivers receivers;
    receivers.mailTo = SplitAddresses(options.mailTo.empty() ? settings.mailTo : options.mailTo);
    receivers.hookUrl = options.hookUrl.empty() ? settings.hookUrl : options.hookUrl;
    return receivers;
}

std::vector<DeliveryOutcome> DeliverReport(const DatabaseSettings& settings, const AlertReceivers& receivers,
    const RunReport& report, const DeliveryPolicy& policy)
{
    std::vector<DeliveryOutcome> outcomes;
    if (!receivers.mailTo.empty()) {
        std::string names;
        for (const std::string& address : receivers.mailTo)
            names += (names.empty() ? "" : ", ") + address;
        outcomes.push_back({ "e-mail to " + names,
            SendMail(settings, receivers.mailTo, AlertSubject(report), AlertBody(report), policy) });
    }
    if (!receivers.hookUrl.empty()) {
        // A test must not tell a monitor that a backup failed.
        const std::string event = report.run.outcome == "Test" ? "test"
            : FullySucceeded(report)                           ? "success"
                                                               : "fail";
        const std::string url = HookUrlFor(receivers.hookUrl, event);
        outcomes.push_back({ "web hook " + url, PostHook(url, AlertJson(report), policy) });
    }
    return outcomes;
}

DeliveryPolicy ProgramDeliveryPolicy()
{
    DeliveryPolicy policy;
    policy.trustedCertificates = sessions::TrustedCertificatesFile();
    return policy;
}

std::vector<DeliveryOutcome> SendTestAlert(ProjectDb* db, const DeliveryPolicy& policy)
{
    auto settings = LoadSettingsWithSecrets(db);
    if (!settings)
        return { { "settings", Status(settings.error()) } };
    return SendTestAlert(*settings, policy);
}

std::vector<DeliveryOutcome> SendTestAlert(const DatabaseSettings& settings, const DeliveryPolicy& policy)
{
    RunReport report;
    report.project = "Test";
    report.run.outcome = "Test";
    report.run.start = report.run.end = std::time(nullptr);
    report.run.reason = "A test of the alert settings; no backup ran.";
    const AlertReceivers receivers = ReceiversFor(settings, AlertOptions {});
    if (receivers.mailTo.empty() && receivers.hookUrl.empty())
        return { { "alerts", MakeError(ErrorKind::Invalid, "neither mail-to nor hook-url is set") } };
    return DeliverReport(settings, receivers, report, policy);
}

} // namespace vorn
