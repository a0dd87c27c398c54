#pragma once

#include <string>

namespace sf {

// The server to connect to, as typed: a host name or a numeric address. Names are resolved
// when connecting, under the connection's time-out, never here.
class IPAddress {
public:
    IPAddress() = default;
    IPAddress(std::string host);
    IPAddress(const char* host);

    // False for an empty text or one with blanks or control characters.
    [[nodiscard]] bool IsValid() const;
    // True for a dotted IPv4 or an IPv6 literal.
    [[nodiscard]] bool IsNumeric() const;
    [[nodiscard]] const std::string& ToString() const { return host_; }

private:
    std::string host_;
};

} // namespace sf
