#pragma once

#include <string>
#include <string_view>

namespace vorn::remote {

// The server text a user typed, taken apart: "ftpes://host", "ftps://host", "sftp://host",
// "ftp://host" or a bare host (which means plain FTP).
struct ServerAddress {
    std::string scheme = "ftp"; // lower case, without "://"
    std::string host; // a name or an address, without scheme, path or brackets
};

// The scheme is matched without regard to case; surrounding blanks, a trailing path and the
// brackets of an IPv6 literal are dropped. The port is a field of its own and is not looked
// for here. Any other "name://" is no scheme: the text is a bare host, taken as typed, so a
// connection to it fails visibly.
[[nodiscard]] ServerAddress ParseServerAddress(std::string_view text);

} // namespace vorn::remote
