#include "common/NameCodec.h"

#include <cerrno>
#include <iconv.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <vector>

namespace vorn {

namespace {

// One iconv conversion state, closed on every path.
class Converter {
public:
    Converter(const std::string& to, const std::string& from)
        : handle_(::iconv_open(to.c_str(), from.c_str()))
    {
    }
    ~Converter()
    {
        if (ok())
            ::iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    [[nodiscard]] bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

    // Converts as much of `in` as it can into `out`; returns the bytes of `in` left (0 when
    // all converted). Stops at the first byte sequence that is not valid or cannot be written.
    std::size_t Convert(std::string_view in, std::string& out)
    {
        char* input = const_cast<char*>(in.data());
        std::size_t inputLeft = in.size();
        char buffer[256];
        while (inputLeft > 0) {
            char* output = buffer;
            std::size_t outputLeft = sizeof buffer;
            const std::size_t done = ::iconv(handle_, &input, &inputLeft, &output, &outputLeft);
            out.append(buffer, std::size_t(output - buffer));
            if (done == std::size_t(-1) && errno != E2BIG)
                break;
        }
        if (inputLeft == 0) {
            char* output = buffer;
            std::size_t outputLeft = sizeof buffer;
            (void)::iconv(handle_, nullptr, nullptr, &output, &outputLeft); // the shift back, if any
            out.append(buffer, std::size_t(output - buffer));
        }
        return inputLeft;
    }

private:
    iconv_t handle_;
};

std::optional<std::string> ConvertAll(std::string_view in, const std::string& to, const std::string& from)
{
    Converter converter(to, from);
    std::string out;
    if (!converter.ok() || converter.Convert(in, out) != 0)
        return std::nullopt;
    return out;
}

void AppendEscape(std::string& out, unsigned char byte)
{
    constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
}

} // namespace

std::optional<std::string> NfcForm(std::string_view utf8)
{
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
    std::vector<UChar> wide(utf8.size() + 1);
    int32_t wideLength = 0;
    u_strFromUTF8(wide.data(), int32_t(wide.size()), &wideLength, utf8.data(), int32_t(utf8.size()), &status);
    if (U_FAILURE(status))
        return std::nullopt;
    // Composition never lengthens text by more than a factor of three.
    std::vector<UChar> composed(std::size_t(wideLength) * 3 + 1);
    const int32_t composedLength
        = unorm2_normalize(nfc, wide.data(), wideLength, composed.data(), int32_t(composed.size()), &status);
    if (U_FAILURE(status))
        return std::nullopt;
    std::string out(std::size_t(composedLength) * 3, '\0');
    int32_t outLength = 0;
    u_strToUTF8(out.data(), int32_t(out.size()), &outLength, composed.data(), composedLength, &status);
    if (U_FAILURE(status))
        return std::nullopt;
    out.resize(std::size_t(outLength));
    return out;
}

bool IsKnownCharset(std::string_view charset)
{
    if (charset.empty())
        return true;
    if (charset.find('/') != std::string_view::npos)
        return false;
    const std::string name(charset);
    return Converter("UTF-8", name).ok() && Converter(name, "UTF-8").ok();
}

NameCodec::NameCodec(std::string charset)
    : charset_(std::move(charset))
{
}

std::optional<std::string> NameCodec::ToUtf8(std::string_view raw) const
{
    if (!active())
        return std::string(raw);
    return ConvertAll(raw, "UTF-8", charset_);
}

std::optional<std::string> NameCodec::FromUtf8(std::string_view text) const
{
    if (!active())
        return std::string(text);
    return ConvertAll(text, charset_, "UTF-8");
}

std::string NameCodec::Escaped(std::string_view raw) const
{
    std::string out;
    // Converted piece by piece: a run of good bytes, then one bad byte escaped, and on.
    while (!raw.empty()) {
        const std::size_t percent = raw.find('%');
        const std::string_view piece = raw.substr(0, percent);
        std::string converted;
        Converter converter("UTF-8", active() ? charset_ : std::string("UTF-8"));
        const std::size_t left = converter.ok() ? converter.Convert(piece, converted) : piece.size();
        out += converted;
        const std::size_t used = piece.size() - left;
        if (used < piece.size() || percent != std::string_view::npos) {
            AppendEscape(out, static_cast<unsigned char>(raw[used]));
            raw.remove_prefix(used + 1);
        } else {
            raw.remove_prefix(used);
        }
    }
    return out;
}

} // namespace vorn
