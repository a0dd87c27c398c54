#include "app/cli/FieldText.h"

namespace vorn {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendHexByte(std::string& out, const char* prefix, unsigned char byte)
{
    out += prefix;
    out += kHex[(byte >> 4) & 0xf];
    out += kHex[byte & 0xf];
}

// The length of the well-formed UTF-8 sequence at the start of `text` (lead byte at least
// 0x80), 0 when the bytes there are not one.
std::size_t Utf8SequenceLength(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf; // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2;
    else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80; // no overlong forms
        high = lead == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    }
    if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    return length;
}

// Copies the bytes from 0x80 up at the start of `text` and returns how many it took. The C1
// controls (U+0080 to U+009F, U+009B being a terminal's CSI) are escaped as \u00NN, and so
// is a raw byte 0x80 to 0x9F outside a UTF-8 sequence (\xNN), which an 8-bit terminal takes
// for the same controls; any other byte is kept, so names in other code pages stay readable.
std::size_t AppendHighBytes(std::string& out, std::string_view text)
{
    const std::size_t length = Utf8SequenceLength(text);
    const auto lead = static_cast<unsigned char>(text[0]);
    if (length == 0) {
        if (lead <= 0x9f)
            AppendHexByte(out, "\\x", lead);
        else
            out += text[0];
        return 1;
    }
    if (lead == 0xc2 && static_cast<unsigned char>(text[1]) <= 0x9f)
        AppendHexByte(out, "\\u00", static_cast<unsigned char>(text[1]));
    else
        out.append(text.substr(0, length));
    return length;
}

} // namespace

std::string EscapeField(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            i += AppendHighBytes(escaped, text.substr(i)) - 1;
            continue;
        }
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
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                AppendHexByte(escaped, "\\x", static_cast<unsigned char>(c));
            else
                escaped += c;
        }
    }
    return escaped;
}

} // namespace vorn
