#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

// A TCP port read from a stored or typed text.
struct PortText {
    std::uint16_t port = 0; // 0 when the text is not a port
    std::string error; // why not, naming the text; empty for a port
    explicit operator bool() const { return error.empty(); }
};

// The one reading of a port for the run, the editor and the panes: digits only (no sign, no
// blank), 1 to 65535. Anything else is refused rather than wrapped into another port, so a
// login never goes to a port the user did not type.
[[nodiscard]] PortText ParsePort(std::string_view text);

} // namespace vorn
