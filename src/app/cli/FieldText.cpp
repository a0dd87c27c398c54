#include "app/cli/FieldText.h"

namespace vorn {

std::string EscapeField(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            // Other control bytes (ESC above all) would reach the terminal as commands: a
            // server could move the cursor, rewrite earlier lines or retitle the window.
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                static constexpr char hex[] = "0123456789abcdef";
                escaped += "\\x";
                escaped += hex[(static_cast<unsigned char>(c) >> 4) & 0xf];
                escaped += hex[static_cast<unsigned char>(c) & 0xf];
            } else {
                escaped += c;
            }
        }
    }
    return escaped;
}

} // namespace vorn
