#pragma once

#include "common/Result.h"
#include "engine/ConnectionOps.h"
#include "ftpclient/Ftp.h"

namespace vorn {

// ConnectAndLogin with the kind of the failure and the server's reply code, so that a caller
// can tell a refusal for now (421 "too many connections") from one for good (530).
Status SignIn(const ServerLogin& login, sf::Ftp& ftp);

// The kind of failure a session's reply or client status stands for.
[[nodiscard]] ErrorKind KindOf(const sf::Ftp::Response& response);

} // namespace vorn
