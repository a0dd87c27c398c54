#pragma once

#include "engine/OpResult.h"
#include "ftpclient/Ftp.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// What a run or a browse knows of one FTP server. The host text may carry a scheme:
// "ftpes://host" (explicit TLS), "ftps://host" (implicit TLS), else plain FTP.
struct ServerLogin {
    std::string host;
    std::string user;
    std::string password;
    std::uint16_t port = 21;
};

// One row of a browsed remote folder.
struct RemoteEntry {
    std::string name;
    std::string time; // from FormatListingTime
    std::string size; // the listed decimal byte text
    bool isFile = true;
};

// Opens `ftp` to the server of `login` and logs in. Nothing is closed on failure: the
// caller owns the session. A failure says why ("Login refused: 530 Login incorrect.").
OpResult ConnectAndLogin(const ServerLogin& login, sf::Ftp& ftp);
// (SignIn.h: the same with the kind of the failure.)

// Enters `path`, or creates it (one level) when it cannot be entered. After a creation the
// current folder is unchanged. A failure carries the server's refusal of the creation.
OpResult EnsureRemoteFolder(sf::Ftp& ftp, const std::string& path);

// Succeeds when `path` is a folder, existing or created now (one level).
OpResult EnsureLocalFolder(const std::string& path);

// "512" -> "512 B"; texts longer than three characters -> KiB with one decimal ("2.0 KB").
// The form goes by the length of the text, as listings give it.
[[nodiscard]] std::string FormatSizeText(std::string_view sizeText);

// Replaces every `from` in `text` by `to`.
void ReplaceChar(char from, char to, std::string& text);

// "YYYYMMDD" -> "MM/DD/YYYY"; "YYYYMMDDhh:mm" -> "MM/DD/YYYY hh:mm"; "" for a text too
// short to hold a date. A time of day cut short is left out.
[[nodiscard]] std::string FormatListingTime(std::string_view listedTime);

// Browsing, each on a session of its own. The browse path is relative to the login folder,
// begins with "/" and never ends with "/" except for "/" itself. On success the rows of the
// listed folder are appended to `rows` and `browsePath` becomes that folder; on failure
// both are left as they were.
//
// `child` "." lists the browse path itself; a child with "/" in it is a relative path
// (typed by the user) and is taken one level at a time.
OpResult EnterRemoteFolder(const std::string& child, std::string& browsePath, const ServerLogin& login,
    std::vector<RemoteEntry>& rows);
// Lists the parent of the browse path; for "/" it lists the login folder itself.
OpResult LeaveRemoteFolder(std::string& browsePath, std::vector<RemoteEntry>& rows, const ServerLogin& login);

// The same two on `session`, which the caller has just opened with ConnectAndLogin (so its
// current folder is the login folder) and still owns: it is left open, and another thread
// may Cancel() it to end a browse the user no longer waits for.
OpResult EnterRemoteFolder(
    sf::Ftp& session, const std::string& child, std::string& browsePath, std::vector<RemoteEntry>& rows);
OpResult LeaveRemoteFolder(sf::Ftp& session, std::string& browsePath, std::vector<RemoteEntry>& rows);

} // namespace vorn
