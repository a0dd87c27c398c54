#pragma once

#include "common/Result.h"
#include "remote/RemoteSession.h"
#include "sessions/SessionFactory.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// What a run or a browse knows of one server. The host text may carry a scheme:
// "ftpes://host" (explicit TLS), "ftps://host" (implicit TLS), "sftp://host", else plain FTP; the session
// factory chooses the protocol by it.
struct ServerLogin {
    std::string host;
    std::string user;
    std::string password;
    std::uint16_t port = 21; // 0 for an SFTP server means 22
    // SFTP only: a private key file (the password is then its passphrase), and whether links
    // to folders are entered.
    std::string keyFile {};
    bool followLinks = false;
    // FTP: the code page of the server's names ("" for UTF-8 when offered, else the bytes).
    std::string charset {};
};

// One row of a browsed remote folder.
struct RemoteEntry {
    std::string name;
    std::string time; // from FormatListingTime
    std::string size; // the listed decimal byte text
    bool isFile = true;
};

// Whether the server text names an SFTP server ("sftp://host").
[[nodiscard]] bool IsSftpServer(std::string_view serverText);

// The port a login goes to: its own, or 22 for an SFTP server without one.
[[nodiscard]] std::uint16_t EffectivePort(const ServerLogin& login);

// A new, unconnected session for the protocol of `login`'s host text.
[[nodiscard]] Result<std::unique_ptr<remote::RemoteSession>> MakeSessionFor(const ServerLogin& login);

// Asked, on the connecting thread, when an SFTP server shows a key no known-hosts file knows
// (Unknown) or another key than the stored one (Changed): true when the user accepts an
// unknown key, which is then stored and the connection made again. A changed key is only
// shown; its connection fails whatever the answer. Without a prompt (the headless command)
// both fail the connection with the key's fingerprint.
using HostKeyPrompt = std::function<bool(const sessions::HostKeyFacts&)>;
void SetHostKeyPrompt(HostKeyPrompt prompt);

// Opens `session` to the server of `login` and logs in. Nothing is closed on failure: the
// caller owns the session. A failure says why ("Login refused: 530 Login incorrect.").
Status ConnectAndLogin(const ServerLogin& login, remote::RemoteSession& session);

// Enters `path`, or creates it (one level) when it cannot be entered. After a creation the
// current folder is unchanged. A failure carries the server's refusal of the creation.
Status EnsureRemoteFolder(remote::RemoteSession& session, const std::string& path);

// Succeeds when `path` is a folder, existing or created now (one level).
Status EnsureLocalFolder(const std::string& path);

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
Status EnterRemoteFolder(const std::string& child, std::string& browsePath, const ServerLogin& login,
    std::vector<RemoteEntry>& rows);
// Lists the parent of the browse path; for "/" it lists the login folder itself.
Status LeaveRemoteFolder(std::string& browsePath, std::vector<RemoteEntry>& rows, const ServerLogin& login);

// The same two on `session`, which the caller has just opened with ConnectAndLogin (so its
// current folder is the login folder) and still owns: it is left open, and another thread
// may Cancel() it to end a browse the user no longer waits for.
Status EnterRemoteFolder(remote::RemoteSession& session, const std::string& child, std::string& browsePath,
    std::vector<RemoteEntry>& rows);
Status LeaveRemoteFolder(
    remote::RemoteSession& session, std::string& browsePath, std::vector<RemoteEntry>& rows);

} // namespace vorn
