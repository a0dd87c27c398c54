#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vorn::sftp {

// Where and how to log in. `password` is the login password (password and
// keyboard-interactive) or, with `keyFile`, the key's passphrase.
struct SftpOptions {
    std::string host;
    unsigned short port = 22;
    std::string user;
    std::string password;
    std::string keyFile; // a private key in OpenSSH or PEM form; empty for none
    // The user's agent (SSH_AUTH_SOCK) is asked when no key file and no password are given.
    bool useAgent = true;
    // OpenSSH's known-hosts file of the user (read only) and the program's own (read and
    // written when the user accepts a key). Empty paths are skipped.
    std::string userKnownHosts;
    std::string ownKnownHosts;
    std::chrono::milliseconds connectTimeout { 30000 };
    // Longest wait for any answer of the server once connected.
    std::chrono::milliseconds inactivityTimeout { 60000 };
};

// A server's host key as OpenSSH shows it.
struct HostKey {
    std::string host;
    unsigned short port = 22;
    std::string type; // "ssh-ed25519", "ecdsa-sha2-nistp256", "ssh-rsa", ...
    std::string fingerprint; // "SHA256:" and the unpadded base64 of the key's SHA-256
    std::string blob; // the key itself in base64, as a known-hosts line holds it
};

// What the last connection found out about the server's key.
struct HostKeyCheck {
    enum class Verdict {
        None, // no key seen yet
        Trusted, // a known-hosts file holds this key for this host
        Unknown, // no known-hosts file knows the host with a key of this type
        Changed, // a known-hosts file holds another key of this type for the host
    };
    Verdict verdict = Verdict::None;
    HostKey offered;
    std::string knownFingerprint; // the stored key's fingerprint when Changed
};

// One entry of a remote folder. A link to a file is reported as that file (its size and
// time); a link to a folder keeps `kind` Folder with `link` set, and the engine decides
// whether to enter it.
struct SftpEntry {
    enum class Kind { File, Folder, Other };
    std::string name; // raw bytes from the server
    Kind kind = Kind::Other;
    std::int64_t size = -1;
    std::int64_t mtime = 0; // seconds since 1970 UTC; 0 when the server gave none
    unsigned permissions = 0; // the mode bits the server gave
    bool link = false; // the entry is a symbolic link (kind and figures are its target's)
    std::string linkTarget; // the target's real path, for links to folders
    bool loop = false; // a link to a folder that contains, or is, a folder of the walk
    std::string unusable; // why the entry cannot be copied (hostile name, broken link)
};

// Called after every chunk of a transfer with the bytes moved so far in this call; false
// stops the transfer (the result says Cancelled) and leaves the session usable.
using SftpProgress = std::function<bool(std::int64_t transferred)>;

} // namespace vorn::sftp
