#include "engine/ConnectionOps.h"

#include "common/DecimalText.h"
#include "engine/FailureReason.h"
#include "engine/SignIn.h"
#include "ftpclient/ServerText.h"

#include <cstdio>
#include <filesystem>
#include <optional>

namespace vorn {
namespace {

std::filesystem::path PathFromUtf8(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
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

void AppendRows(const sf::Ftp::ListingResponse& listing, std::vector<RemoteEntry>& rows)
{
    for (std::size_t i = 0; i < listing.GetCount(); ++i) {
        const auto& info = listing.retFileInfo(i);
        if (!info.unusable.empty())
            continue; // a browse shows what can be entered or picked
        rows.push_back({ info.name, FormatListingTime(info.time), info.size, info.isFile });
    }
}

// Enters the folder `browsePath` below the login folder of a session that has just logged
// in (and its parent when `parent` is set), and lists it.
OpResult ListBrowseFolder(
    sf::Ftp& ftp, const std::string& browsePath, bool parent, std::vector<RemoteEntry>& rows)
{
    const auto home = ftp.GetWorkingDirectory();
    if (!home.IsOk())
        return OpResult::Failure(ReplyReason(home));
    const std::string folder = FullRemotePath(home.GetDirectory(), browsePath);
    if (const auto entered = ftp.ChangeDirectory(folder); !entered.IsOk())
        return OpResult::Failure(ReplyReason(entered) + " (" + folder + ")");
    if (parent) {
        if (const auto up = ftp.ParentDirectory(); !up.IsOk())
            return OpResult::Failure(ReplyReason(up));
    }
    const auto listing = ftp.GetDirectoryListing("");
    if (!listing.IsOk())
        return OpResult::Failure(ReplyReason(listing));
    AppendRows(listing, rows);
    return {};
}

// The same on a session of its own, closed in every case.
OpResult ListBrowseFolder(
    const ServerLogin& login, const std::string& browsePath, bool parent, std::vector<RemoteEntry>& rows)
{
    sf::Ftp ftp(false);
    if (auto connected = ConnectAndLogin(login, ftp); !connected)
        return connected;
    if (auto listed = ListBrowseFolder(ftp, browsePath, parent, rows); !listed)
        return listed;
    (void)ftp.Disconnect();
    return {};
}

// Enter and Leave on either kind of session: `list(path, parent, rows)` lists a folder.
template <typename List>
OpResult EnterWith(
    const std::string& child, std::string& browsePath, std::vector<RemoteEntry>& rows, List list)
{
    const auto target = ResolveBrowsePath(browsePath, child);
    if (!target)
        return OpResult::Failure("Not a folder name: " + child);
    std::vector<RemoteEntry> listed;
    if (auto done = list(*target, false, listed); !done)
        return done;
    rows.insert(rows.end(), listed.begin(), listed.end());
    browsePath = *target;
    return {};
}

template <typename List>
OpResult LeaveWith(std::string& browsePath, std::vector<RemoteEntry>& rows, List list)
{
    const auto current = ResolveBrowsePath(browsePath, ".");
    if (!current)
        return OpResult::Failure("Not a folder name: " + browsePath);
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

} // namespace

ErrorKind KindOf(const sf::Ftp::Response& response)
{
    using R = sf::Ftp::Response;
    const int status = response.GetStatus();
    switch (status) {
    case R::ConnectionFailed:
        return ErrorKind::Network;
    case R::ConnectionClosed:
        return ErrorKind::Closed;
    case R::TimedOut:
        return ErrorKind::TimedOut;
    case R::TlsFailed:
        return ErrorKind::Tls;
    case R::Cancelled:
        return ErrorKind::Cancelled;
    case R::InvalidResponse:
        return ErrorKind::Protocol;
    case R::InvalidFile:
        return ErrorKind::LocalIo;
    case R::InvalidArgument:
        return ErrorKind::Invalid;
    default:
        if (status >= 400 && status < 500)
            return ErrorKind::ServerTransient;
        return status >= 500 && status < 600 ? ErrorKind::ServerPermanent : ErrorKind::Failed;
    }
}

Status SignIn(const ServerLogin& login, sf::Ftp& ftp)
{
    if (login.port == 0)
        return MakeError(ErrorKind::Invalid,
            "The port is not a number from 1 to 65535; no connection was made."); // never guess another one
    const auto server = ftp::ParseServerText(login.host);
    ftp.SetSecurity(server.security);
    // Time-out 0: the session's connect time-out, never an endless wait.
    const auto connected = ftp.Connect(sf::IPAddress(server.host), login.port, 0);
    if (!connected.IsOk()) {
        // A silent TCP connect waits for the connect time-out; a silent greeting for a reply's.
        const std::string& message = connected.GetMessage();
        const bool beforeGreeting = message.starts_with("Connecting") || message.starts_with("Looking up");
        return MakeError(KindOf(connected),
            ConnectReason(connected, login.host, login.port,
                beforeGreeting ? ftp.GetConnectTimeout() : ftp.GetInactivityTimeout()),
            connected.GetStatus() < 1000 ? connected.GetStatus() : 0);
    }
    const auto loggedIn = ftp.Login(login.user, login.password);
    if (loggedIn.IsOk())
        return Ok();
    const int code = loggedIn.GetStatus() < 1000 ? loggedIn.GetStatus() : 0;
    if (loggedIn.GetStatus() == sf::Ftp::Response::TimedOut
        || loggedIn.GetStatus() == sf::Ftp::Response::TlsFailed)
        return MakeError(KindOf(loggedIn),
            ConnectReason(loggedIn, login.host, login.port, ftp.GetInactivityTimeout()), code);
    return MakeError(KindOf(loggedIn), LoginReason(loggedIn), code);
}

OpResult ConnectAndLogin(const ServerLogin& login, sf::Ftp& ftp)
{
    if (Status signedIn = SignIn(login, ftp); !signedIn)
        return OpResult::Failure(signedIn.message());
    return {};
}

OpResult EnsureRemoteFolder(sf::Ftp& ftp, const std::string& path)
{
    if (ftp.ChangeDirectory(path).IsOk())
        return {};
    const auto made = ftp.MakeDirectory(path);
    if (!made.IsOk())
        return OpResult::Failure(ReplyReason(made) + " (" + path + ")");
    return {};
}

OpResult EnsureLocalFolder(const std::string& path)
{
    if (path.empty())
        return OpResult::Failure("No destination folder is set");
    const auto folder = PathFromUtf8(path);
    std::error_code error;
    // Any folder counts, whatever its attributes (read-only, archive, ...).
    if (std::filesystem::is_directory(folder, error))
        return {};
    if (std::filesystem::create_directory(folder, error) && !error)
        return {};
    std::error_code ignored;
    if (std::filesystem::exists(folder, ignored))
        return OpResult::Failure("Cannot create the folder " + path + ": a file of that name is in the way");
    if (error == std::errc::no_space_on_device)
        return OpResult::Failure("Disk full creating " + path);
    return OpResult::Failure("Cannot create the folder " + path + ": " + error.message());
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

OpResult EnterRemoteFolder(const std::string& child, std::string& browsePath, const ServerLogin& login,
    std::vector<RemoteEntry>& rows)
{
    return EnterWith(child, browsePath, rows, [&login](const std::string& path, bool parent, auto& listed) {
        return ListBrowseFolder(login, path, parent, listed);
    });
}

OpResult LeaveRemoteFolder(std::string& browsePath, std::vector<RemoteEntry>& rows, const ServerLogin& login)
{
    return LeaveWith(browsePath, rows, [&login](const std::string& path, bool parent, auto& listed) {
        return ListBrowseFolder(login, path, parent, listed);
    });
}

OpResult EnterRemoteFolder(
    sf::Ftp& session, const std::string& child, std::string& browsePath, std::vector<RemoteEntry>& rows)
{
    return EnterWith(child, browsePath, rows, [&session](const std::string& path, bool parent, auto& listed) {
        return ListBrowseFolder(session, path, parent, listed);
    });
}

OpResult LeaveRemoteFolder(sf::Ftp& session, std::string& browsePath, std::vector<RemoteEntry>& rows)
{
    return LeaveWith(browsePath, rows, [&session](const std::string& path, bool parent, auto& listed) {
        return ListBrowseFolder(session, path, parent, listed);
    });
}

} // namespace vorn
