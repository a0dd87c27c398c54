#include "common/PortText.h"

namespace vorn {

PortText ParsePort(std::string_view text)
{
    std::uint32_t value = 0;
    bool digitsOnly = !text.empty();
    for (const char c : text) {
        if (c < '0' || c > '9') {
            digitsOnly = false;
            break;
        }
        if (value <= 65535) // stays above the range once past it, without overflowing
            value = value * 10 + std::uint32_t(c - '0');
    }
    if (!digitsOnly || value < 1 || value > 65535)
        return { 0, "The port \"" + std::string(text) + "\" is not a port number (1-65535)." };
    return { std::uint16_t(value), {} };
}

} // namespace vorn
