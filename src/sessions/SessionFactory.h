#pragma once

#include "common/Result.h"
#include "remote/RemoteSession.h"

#include <memory>
#include <string>
#include <string_view>

namespace vorn::sessions {

// A new, unconnected session for the protocol the server text names: "ftp://host" or a bare
// host (plain FTP), "ftpes://host" (FTP with AUTH TLS), "ftps://host" (implicit TLS). A
// scheme no client here speaks fails with ErrorKind::Invalid and says which.
// `verbose` writes the control dialogue to std::clog, passwords masked.
[[nodiscard]] Result<std::unique_ptr<remote::RemoteSession>> MakeSession(
    std::string_view serverText, bool verbose = false);

// PEM certificates the user trusts besides the system store, for every later TLS session.
void SetTrustedCertificatesFile(std::string path);
[[nodiscard]] std::string TrustedCertificatesFile();

} // namespace vorn::sessions
