#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// Whether iconv converts between `charset` and UTF-8 both ways. "" (no conversion) is known;
// a name with "/" is not (iconv reads "//TRANSLIT" and "//IGNORE" as changes of behaviour).
[[nodiscard]] bool IsKnownCharset(std::string_view charset);

// Converts names between a server's code page and UTF-8 through iconv (glibc). A codec made
// with "" converts nothing. Safe to use from several threads: every call opens its own
// conversion state.
// The NFC form of a UTF-8 name (composed characters, as most systems write them); nothing when
// the text is not valid UTF-8. Listings that give "é" as e + combining accent (NFD, as macOS
// writes names) are told from the composed form by this.
[[nodiscard]] std::optional<std::string> NfcForm(std::string_view utf8);

class NameCodec {
public:
    NameCodec() = default;
    explicit NameCodec(std::string charset);

    [[nodiscard]] bool active() const { return !charset_.empty(); }
    [[nodiscard]] const std::string& charset() const { return charset_; }

    // A name from the server in UTF-8; nothing when its bytes are not valid in the code page.
    [[nodiscard]] std::optional<std::string> ToUtf8(std::string_view raw) const;
    // A UTF-8 name in the code page; nothing when the code page cannot write it.
    [[nodiscard]] std::optional<std::string> FromUtf8(std::string_view text) const;
    // A name whose bytes do not convert, as a local name: what converts is kept, and every
    // byte that does not, and every "%", is written "%XX" (two upper-case hex digits).
    [[nodiscard]] std::string Escaped(std::string_view raw) const;

private:
    std::string charset_;
};

} // namespace vorn
