#include "store/ProjectOptions.h"

#include "common/NameCodec.h"
#include "store/AlertOptions.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace vorn {

namespace {

struct NumberOption {
    std::string_view name;
    int ProjectOptions::*field;
    int low;
    int high;
};

struct SwitchOption {
    std::string_view name;
    bool ProjectOptions::*field;
};

constexpr NumberOption kNumbers[] = {
    { "full-every", &ProjectOptions::fullEvery, 1, 365 },
    { "keep-archives", &ProjectOptions::keepArchives, 0, 1000 },
    { "retries", &ProjectOptions::retries, 0, 10 },
    { "connections", &ProjectOptions::connections, 1, 10 },
};

constexpr SwitchOption kSwitches[] = {
    { "incremental", &ProjectOptions::incremental },
    { "verify-archive", &ProjectOptions::verifyArchive },
};

// Values printed back by 'options' hold no control characters.
bool HasControl(std::string_view value)
{
    return std::any_of(
        value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// A stored number outside its range (another program wrote it) reads as the default.
int Stored(const std::string& text, int low, int high, int fallback)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low
        || value > high)
        return fallback;
    return value;
}

// The ftpid of the first row named `name`, the row LoadProject reads.
std::optional<std::int64_t> FirstProjectId(ProjectDb* db, const std::string& name)
{
    if (db == nullptr)
        return std::nullopt;
    Statement query(
        db->handle(), "select ftpid from gm_ftp_plantable where ftpname = ?1 order by ftpid limit 1");
    query.BindText(1, name);
    if (!query.NextRow())
        return std::nullopt;
    return std::int64_t(std::strtoll(query.Text(0).c_str(), nullptr, 10));
}

} // namespace

bool LoadProjectOptionsById(ProjectDb* db, std::int64_t ftpid, ProjectOptions& options)
{
    if (db == nullptr)
        return false;
    Statement query(db->handle(),
        "select p.ftpbackmode, o.fullevery, o.keeparchives, o.verifyarchive, o.retries, o.connections, "
        "o.sshkey, o.followlinks, o.verify, o.exclude, o.charset "
        "from gm_ftp_plantable p left join vorn_options o on o.ftpid = p.ftpid "
        "where p.ftpid = ?1");
    query.BindInt(1, ftpid);
    if (!query.NextRow())
        return false;
    const ProjectOptions defaults;
    ProjectOptions loaded;
    loaded.incremental = query.Text(0) == std::to_string(kIncrementalBackupMode);
    loaded.fullEvery = Stored(query.Text(1), 1, 365, defaults.fullEvery);
    loaded.keepArchives = Stored(query.Text(2), 0, 1000, defaults.keepArchives);
    loaded.verifyArchive = Stored(query.Text(3), 0, 1, defaults.verifyArchive ? 1 : 0) != 0;
    loaded.retries = Stored(query.Text(4), 0, 10, defaults.retries);
    loaded.connections = Stored(query.Text(5), 1, 10, defaults.connections);
    loaded.sshKey = query.Text(6);
    loaded.followLinks = Stored(query.Text(7), 0, 1, 0) != 0;
    loaded.verifyChecksum = query.Text(8) == "checksum";
    loaded.exclude = query.Text(9);
    // A code page another program stored that iconv here does not know reads as the default.
    loaded.charset = IsKnownCharset(query.Text(10)) ? query.Text(10) : std::string();
    loaded.alerts = LoadAlertOptions(db, ftpid);
    options = loaded;
    return true;
}

bool LoadProjectOptions(ProjectDb* db, const std::string& name, ProjectOptions& options)
{
    const auto ftpid = FirstProjectId(db, name);
    return ftpid && LoadProjectOptionsById(db, *ftpid, options);
}

std::optional<LoadedProject> LoadProjectForRun(ProjectDb* db, const std::string& name)
{
    const auto ftpid = FirstProjectId(db, name);
    if (!ftpid)
        return std::nullopt;
    LoadedProject project;
    project.ftpid = *ftpid;
    if (!LoadProjectById(db, *ftpid, project.record))
        return std::nullopt;
    (void)LoadProjectOptionsById(db, *ftpid, project.options); // a row gone since keeps the defaults
    return project;
}

bool SaveProjectOptions(ProjectDb* db, const std::string& name, const ProjectOptions& options)
{
    Transaction transaction(db);
    if (!transaction.ok() || !ProjectExists(db, name))
        return false;
    Statement mode(db->handle(), "update gm_ftp_plantable set ftpbackmode = ?1 where ftpname = ?2");
    mode.BindInt(1, options.incremental ? kIncrementalBackupMode : kFullBackupMode);
    mode.BindText(2, name);
    Statement row(db->handle(),
        "insert or replace into vorn_options "
        "(ftpid, fullevery, keeparchives, verifyarchive, retries, connections, sshkey, followlinks, verify, "
        "exclude, charset) "
        "select ftpid, ?1, ?2, ?3, ?4, ?5, ?7, ?8, ?9, ?10, ?11 from gm_ftp_plantable where ftpname = ?6 "
        "order by ftpid limit 1");
    row.BindInt(1, options.fullEvery);
    row.BindInt(2, options.keepArchives);
    row.BindInt(3, options.verifyArchive ? 1 : 0);
    row.BindInt(4, options.retries);
    row.BindInt(5, options.connections);
    row.BindText(6, name);
    row.BindText(7, options.sshKey);
    row.BindInt(8, options.followLinks ? 1 : 0);
    row.BindText(9, options.verifyChecksum ? "checksum" : "size");
    row.BindText(10, options.exclude);
    row.BindText(11, options.charset);
    return mode.Run() && row.Run() && SaveAlertOptions(db, name, options.alerts) && transaction.Commit();
}

std::string ApplyOptionSetting(std::string_view setting, ProjectOptions& options)
{
    const auto equals = setting.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return "'" + std::string(setting) + "' is not a name=value setting";
    const std::string_view name = setting.substr(0, equals);
    const std::string_view value = setting.substr(equals + 1);
    if (name == "ssh-key") {
        // A path is printed back by 'options': no control characters in it.
        if (HasControl(value))
            return "ssh-key must be a file path without control characters";
        options.sshKey = std::string(value);
        return {};
    }
    if (name == "verify") {
        if (value != "size" && value != "checksum")
            return "verify must be size or checksum, not '" + std::string(value) + "'";
        options.verifyChecksum = value == "checksum";
        return {};
    }
    if (name == "exclude") {
        if (HasControl(value))
            return "exclude must be patterns separated by spaces, without control characters";
        options.exclude = std::string(value);
        return {};
    }
    if (name == "charset") {
        if (value == "auto" || value.empty()) {
            options.charset.clear();
            return {};
        }
        if (HasControl(value) || !IsKnownCharset(value))
            return "charset must be auto or a code page iconv knows (GBK, Shift_JIS, EUC-KR, Big5, CP1251, "
                   "ISO-8859-2, ...), not '"
                + std::string(value) + "'";
        options.charset = std::string(value);
        return {};
    }
    if (name == "follow-links") {
        if (value != "0" && value != "1")
            return "follow-links must be 0 or 1, not '" + std::string(value) + "'";
        options.followLinks = value == "1";
        return {};
    }
    for (const SwitchOption& option : kSwitches) {
        if (name != option.name)
            continue;
        if (value != "on" && value != "off")
            return std::string(name) + " must be on or off, not '" + std::string(value) + "'";
        options.*option.field = value == "on";
        return {};
    }
    for (const NumberOption& option : kNumbers) {
        if (name != option.name)
            continue;
        const std::string range = std::to_string(option.low) + " to " + std::to_string(option.high);
        int number = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (value.empty() || error != std::errc() || end != value.data() + value.size() || number < option.low
            || number > option.high)
            return std::string(name) + " must be a whole number from " + range + ", not '"
                + std::string(value) + "'";
        options.*option.field = number;
        return {};
    }
    if (const auto problem = ApplyAlertOption(name, value, options.alerts))
        return *problem;
    return "unknown option '" + std::string(name)
        + "' (options: incremental, full-every, keep-archives, verify-archive, retries, connections, "
          "notify, mail-to, hook-url, catch-up, alert-after-days, ssh-key, follow-links, verify, exclude, "
          "charset)";
}

std::vector<std::string> FormatProjectOptions(const ProjectOptions& options)
{
    const auto onOff = [](bool on) { return std::string(on ? "on" : "off"); };
    std::vector<std::string> lines {
        "incremental=" + onOff(options.incremental),
        "full-every=" + std::to_string(options.fullEvery),
        "keep-archives=" + std::to_string(options.keepArchives),
        "verify-archive=" + onOff(options.verifyArchive),
        "retries=" + std::to_string(options.retries),
        "connections=" + std::to_string(options.connections),
    };
    for (std::string& line : FormatAlertOptions(options.alerts))
        lines.push_back(std::move(line));
    lines.push_back("ssh-key=" + options.sshKey);
    lines.push_back("follow-links=" + std::string(options.followLinks ? "1" : "0"));
    lines.push_back(std::string("verify=") + (options.verifyChecksum ? "checksum" : "size"));
    lines.push_back("exclude=" + options.exclude);
    lines.push_back("charset=" + (options.charset.empty() ? std::string("auto") : options.charset));
    return lines;
}

} // namespace vorn
