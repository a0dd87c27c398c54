#pragma once

#include "common/Result.h"
#include "remote/RemoteSession.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vorn::sessions {

// What a project says about its sessions beyond the server text; protocols that have no use
// for a setting ignore it.
struct SessionSettings {
    // SFTP: a private key file for the login; the project's password is then its passphrase.
    std::string keyFile;
    // SFTP: whether links to folders are entered (loops are then told apart).
    bool followLinks = false;
    // FTP: the code page of the server's names ("" for UTF-8 when offered, else the bytes).
    std::string charset {};
};

// A new, unconnected session for the protocol the server text names: "ftp://host" or a bare
// host (plain FTP), "ftpes://host" (FTP with AUTH TLS), "ftps://host" (implicit TLS),
// "sftp://host" (SFTP; port 0 means 22). A scheme no client here speaks fails with
// ErrorKind::Invalid and says which.
// `verbose` writes the control dialogue to std::clog, passwords masked.
[[nodiscard]] Result<std::unique_ptr<remote::RemoteSession>> MakeSession(
    std::string_view serverText, const SessionSettings& settings = {}, bool verbose = false);

// PEM certificates the user trusts besides the system store, for every later TLS session.
void SetTrustedCertificatesFile(std::string path);
[[nodiscard]] std::string TrustedCertificatesFile();

// The program's own known-hosts file, beside the database at `databasePath`, for every later
// SFTP session; the user's ~/.ssh/known_hosts is read as well.
void UseKnownHostsBeside(const std::string& databasePath);
[[nodiscard]] std::string OwnKnownHostsFile();

// What the last Connect of an SFTP session found out about the server's key; verdict None
// for every other session.
struct HostKeyFacts {
    enum class Verdict { None, Trusted, Unknown, Changed };
    Verdict verdict = Verdict::None;
    std::string host;
    std::uint16_t port = 0;
    std::string type; // "ssh-ed25519", ...
    std::string fingerprint; // "SHA256:..." as OpenSSH prints it
    std::string knownFingerprint; // the stored key's, when Changed
};
[[nodiscard]] HostKeyFacts HostKeyOf(const remote::RemoteSession& session);

// Stores the key the last Connect of `session` saw as Unknown in the program's own
// known-hosts file, once the user has accepted it. A changed key is never replaced here.
[[nodiscard]] Status TrustOfferedHostKey(const remote::RemoteSession& session);

// One line for an unknown or changed key: its type and fingerprint(s).
[[nodiscard]] std::string DescribeHostKey(const HostKeyFacts& facts);

} // namespace vorn::sessions
