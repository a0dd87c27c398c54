#include "engine/ConnectionOps.h"

#include "common/DecimalText.h"
#include "engine/FailureReason.h"
#include "remote/ServerAddress.h"
#include "sessions/SessionFactory.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>

namespace vorn {
namespace {

std::filesystem::path PathFromUtf8(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// The failure with its reason in the words a user reads, `suffix` after them.
Error Reasoned(const Error& error, const std::string& suffix = {})
{
    return MakeError(error.kind, ReplyReason(error) + suffix, error.replyCode);
}

std::string SafeSubstr(std::string_view text, std::size_t position, std::size_t count)
{
    return position < text.size() ? std::string(text.substr(position, count)) : std::string();
}

// The browse path that `child` leads to from `base`, taken one component at a time: empty
// components and "." are skipped, ".." climbs (never above the login folder). Null for a
// child that cannot be a name (NUL).
std::optional<std::string> ResolveBrowsePath(const std::string& base, const std::string& child)
{
    if (child.find('\0') != std::string::npos)
        return std::nullopt;
    std::vector<std::string> parts;
    auto take = [&parts](const std::string& path) {
        std::size_t start = 0;
        while (start <= path.size()) {
            auto end = path.find('/', start);
            if (end == std::string::npos)
                end = path.size();
            const std::string part = path.substr(start, end - start);
            start = end + 1;
            if (part.empty() || part == ".")
                continue;
            if (part == "..") {
                if (!parts.empty())
                    parts.pop_back();
                continue;
            }
            parts.push_back(part);
        }
    };
    take(base);
    take(child);
    std::string path;
    for (const auto& part : parts)
        path += "/" + part;
    return path.empty() ? "/" : path;
}

// Login folder + browse path, the browse path alone when the login folder is the root.
std::string FullRemotePath(const std::string& loginFolder, const std::string& browsePath)
{
    return loginFolder == "/" ? browsePath : loginFolder + browsePath;
}

void AppendRows(const std::vector<remote::Entry>& listing, std::vector<RemoteEntry>& rows)
{
    for (const auto& info : listing) {
        if (!info.unusable.empty())
            continue; // a browse shows what can be entered or picked
        rows.push_back({ info.name, FormatListingTime(info.time), info.size, info.IsFile() });
    }
}

// Enters the folder `browsePath` below the login folder of a session that has just logged
// in (and its parent when `parent` is set), and lists it.
Status ListBrowseFolder(remote::RemoteSession& session, const std::string& browsePath, bool parent,
    std::vector<RemoteEntry>& rows)
{
    const auto home = session.CurrentFolder();
    if (!home)
        return Reasoned(home.error());
    const std::string folder = FullRemotePath(*home, browsePath);
    if (const auto entered = session.ChangeFolder(folder); !entered)
        return Reasoned(entered.error(), " (" + folder + ")");
    if (parent) {
        if (const auto up = session.ParentFolder(); !up)
            return Reasoned(up.error());
    }
    const auto listing = session.List("");
    if (!listing)
        return Reasoned(listing.error());
    AppendRows(*listing, rows);
    return {};
}

// The same on a session of its own, closed in every case.
Status ListBrowseFolder(
    const ServerLogin& login, const std::string& browsePath, bool parent, std::vector<RemoteEntry>& rows)
{
    auto session = MakeSessionFor(login);
    if (!session)
        return session.error();
    if (auto connected = ConnectAndLogin(login, **session); !connected)
        return connected;
    if (auto listed = ListBrowseFolder(**session, browsePath, parent, rows); !listed)
        return listed;
    (*session)->Disconnect();
    return {};
}

// Enter and Leave on either kind of session: `list(path, parent, rows)` lists a folder.
template <typename List>
Status EnterWith(const std::string& child, std::string& browsePath, std::vector<RemoteEntry>& rows, List list)
{
    const auto target = ResolveBrowsePath(browsePath, child);
    if (!target)
        return MakeError(ErrorKind::Invalid, "Not a folder name: " + child);
    std::vector<RemoteEntry> listed;
    if (auto done = list(*target, false, listed); !done)
        return done;
    rows.insert(rows.end(), listed.begin(), listed.end());
    browsePath = *target;
    return {};
}

template <typename List> Status LeaveWith(std::string& browsePath, std::vector<RemoteEntry>& rows, List list)
{
    const auto current = ResolveBrowsePath(browsePath, ".");
    if (!current)
        return MakeError(ErrorKind::Invalid, "Not a folder name: " + browsePath);
    const bool atRoot = *current == "/";
    std::vector<RemoteEntry> listed;
    if (auto done = list(*current, !atRoot, listed); !done)
        return done;
    rows.insert(rows.end(), listed.begin(), listed.end());
    if (!atRoot) {
        const auto slash = current->rfind('/');
        browsePath = slash == 0 ? "/" : current->substr(0, slash);
    } else {
        browsePath = "/";
    }
    return {};
}

std::mutex hostKeyPromptMutex;
HostKeyPrompt hostKeyPrompt;

// Shows an unknown or changed host key of `session`'s last Connect to the user, when a prompt
// is set; true when an unknown key was accepted and stored.
bool AskedToTrust(const remote::RemoteSession& session)
{
    const sessions::HostKeyFacts key = sessions::HostKeyOf(session);
    if (key.verdict != sessions::HostKeyFacts::Verdict::Unknown
        && key.verdict != sessions::HostKeyFacts::Verdict::Changed)
        return false;
    HostKeyPrompt prompt;
    {
        const std::lock_guard lock(hostKeyPromptMutex);
        prompt = hostKeyPrompt;
    }
    if (!prompt)
        return false;
    const bool accepted = prompt(key);
    return accepted && key.verdict == sessions::HostKeyFacts::Verdict::Unknown
        && sessions::TrustOfferedHostKey(session);
}

} // namespace

bool IsSftpServer(std::string_view serverText)
{
    return remote::ParseServerAddress(serverText).scheme == "sftp";
}

std::uint16_t EffectivePort(const ServerLogin& login)
{
    return login.port == 0 && IsSftpServer(login.host) ? 22 : login.port;
}

Result<std::unique_ptr<remote::RemoteSession>> MakeSessionFor(const ServerLogin& login)
{
    return sessions::MakeSession(login.host, { login.keyFile, login.followLinks, login.charset });
}

void SetHostKeyPrompt(HostKeyPrompt prompt)
{
    const std::lock_guard lock(hostKeyPromptMutex);
    hostKeyPrompt = std::move(prompt);
}

Status ConnectAndLogin(const ServerLogin& login, remote::RemoteSession& session)
{
    const std::uint16_t port = EffectivePort(login);
    if (port == 0)
        return MakeError(ErrorKind::Invalid,
            "The port is not a number from 1 to 65535; no connection was made."); // never guess another one
    const std::string host = remote::ParseServerAddress(login.host).host;
    auto connected = session.Connect(host, port);
    if (!connected && AskedToTrust(session)) {
        session.Disconnect(); // the user may have taken long: a fresh connection checks the stored key
        connected = session.Connect(host, port);
    }
    if (!connected) {
        // A silent TCP connect waits for the connect time-out; a silent greeting for a reply's.
        const std::string& message = connected.message();
        const bool beforeGreeting = message.starts_with("Connecting") || message.starts_with("Looking up");
        return MakeError(connected.error().kind,
            ConnectReason(connected.error(), login.host, port,
                beforeGreeting ? session.ConnectTimeout() : session.InactivityTimeout()),
            connected.error().replyCode);
    }
    const auto loggedIn = session.Login(login.user, login.password);
    if (loggedIn)
        return {};
    const Error& error = loggedIn.error();
    if (error.kind == ErrorKind::TimedOut || error.kind == ErrorKind::Tls)
        return MakeError(
            error.kind, ConnectReason(error, login.host, port, session.InactivityTimeout()), error.replyCode);
    return MakeError(error.kind, LoginReason(error), error.replyCode);
}

Status EnsureRemoteFolder(remote::RemoteSession& session, const std::string& path)
{
    if (session.ChangeFolder(path))
        return {};
    const auto made = session.MakeFolder(path);
    if (!made)
        return Reasoned(made.error(), " (" + path + ")");
    return {};
}

Status EnsureLocalFolder(const std::string& path)
{
    if (path.empty())
        return MakeError(ErrorKind::Invalid, "No destination folder is set");
    const auto folder = PathFromUtf8(path);
    std::error_code error;
    // Any folder counts, whatever its attributes (read-only, archive, ...).
    if (std::filesystem::is_directory(folder, error))
        return {};
    if (std::filesystem::create_directory(folder, error) && !error)
        return {};
    std::error_code ignored;
    if (std::filesystem::exists(folder, ignored))
        return MakeError(
            ErrorKind::LocalIo, "Cannot create the folder " + path + ": a file of that name is in the way");
    if (error == std::errc::no_space_on_device)
        return MakeError(ErrorKind::LocalIo, "Disk full creating " + path);
    return MakeError(ErrorKind::LocalIo, "Cannot create the folder " + path + ": " + error.message());
}

std::string FormatSizeText(std::string_view sizeText)
{
    if (sizeText.size() <= 3)
        return std::string(sizeText) + " B";
    char text[64];
    std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(ParseByteCount(sizeText)) / 1024.0);
    return text;
}

void ReplaceChar(char from, char to, std::string& text)
{
    for (auto& c : text) {
        if (c == from)
            c = to;
    }
}

std::string FormatListingTime(std::string_view listedTime)
{
    if (listedTime.size() < 8)
        return {};
    std::string display = SafeSubstr(listedTime, 4, 2) + "/" + SafeSubstr(listedTime, 6, 2) + "/"
        + SafeSubstr(listedTime, 0, 4);
    // The time of day only when it is all there ("hh:mm" from index 8).
    if (listedTime.size() >= 13 && listedTime[10] == ':')
        display += " " + SafeSubstr(listedTime, 8, 2) + ":" + SafeSubstr(listedTime, 11, 2);
    return display;
}

Status EnterRemoteFolder(const std::string& child, std::string& browsePath, const ServerLogin& login,
    std::vector<RemoteEntry>& rows)
{
    return EnterWith(child, browsePath, rows, [&login](const std::string& path, bool parent, auto& listed) {
        return ListBrowseFolder(login, path, parent, listed);
    });
}

Status LeaveRemoteFolder(std::string& browsePath, std::vector<RemoteEntry>& rows, const ServerLogin& login)
{
    return LeaveWith(browsePath, rows, [&login](const std::string& path, bool parent, auto& listed) {
        return ListBrowseFolder(login, path, parent, listed);
    });
}

Status EnterRemoteFolder(remote::RemoteSession& session, const std::string& child, std::string& browsePath,
    std::vector<RemoteEntry>& rows)
{
    return EnterWith(child, browsePath, rows, [&session](const std::string& path, bool parent, auto& listed) {
        return ListBrowseFolder(session, path, parent, listed);
    });
}

Status LeaveRemoteFolder(
    remote::RemoteSession& session, std::string& browsePath, std::vector<RemoteEntry>& rows)
{
    return LeaveWith(browsePath, rows, [&session](const std::string& path, bool parent, auto& listed) {
        return ListBrowseFolder(session, path, parent, listed);
    });
}

} // namespace vorn
