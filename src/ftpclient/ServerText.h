#pragma once

#include <string>
#include <string_view>

namespace vorn::ftp {

// How the control connection is protected.
enum class Security {
    Plain, // plain FTP
    ExplicitTls, // AUTH TLS after the greeting ("ftpes://host")
    ImplicitTls, // TLS from the first byte ("ftps://host")
};

struct ServerText {
    Security security = Security::Plain;
    std::string host; // a name or an address, without scheme, path or brackets
};

// Reads the server text a user typed: "ftpes://host", "ftps://host", "ftp://host" or a bare
// host. The scheme is matched without regard to case; surrounding blanks, a trailing path
// and the brackets of an IPv6 literal are dropped. The port is a field of its own and is
// not looked for here.
[[nodiscard]] ServerText ParseServerText(std::string_view text);

} // namespace vorn::ftp
