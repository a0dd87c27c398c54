#pragma once

#include "common/Result.h"
#include "sftpclient/SftpTypes.h"

#include <string>
#include <string_view>

struct _LIBSSH2_SESSION;

namespace vorn::sftp {

// "SHA256:" and the base64 of the SHA-256 of `rawKey` without its padding, as OpenSSH prints it.
[[nodiscard]] std::string Sha256Fingerprint(std::string_view rawKey);

// ~/.ssh/known_hosts of the user running the program; empty when HOME is not set.
[[nodiscard]] std::string UserKnownHostsFile();
// The program's own known-hosts file, in the folder of the database at `databasePath`.
[[nodiscard]] std::string OwnKnownHostsFile(const std::string& databasePath);

// The key the server of `session` (connected, key exchange done) showed, checked against the
// known-hosts files of `options` (OpenSSH format, hashed names too). Lines a file holds
// that cannot be read (markers, key types unknown here) are passed over, as OpenSSH does.
[[nodiscard]] HostKeyCheck CheckHostKey(_LIBSSH2_SESSION* session, const SftpOptions& options);

// Adds `key` for its host and port to the known-hosts file `file` (made readable by its
// owner only, with its folder, when missing). Called once the user has accepted the key.
[[nodiscard]] Status TrustHostKey(const std::string& file, const HostKey& key);

// The bytes of a key given in base64 (as known-hosts lines and libssh give it); empty when
// the text is not base64.
[[nodiscard]] std::string DecodeKeyBlob(std::string_view base64);

// Whether `offeredBlob` (a server's public key as the SSH wire carries it) is byte for byte
// the key `verified` holds. An empty or unreadable key is never the same.
[[nodiscard]] bool SameKeyBlob(const HostKey& verified, std::string_view offeredBlob);

// One line for a refused key, naming the type and fingerprints.
[[nodiscard]] std::string DescribeHostKeyProblem(const HostKeyCheck& check);

} // namespace vorn::sftp
