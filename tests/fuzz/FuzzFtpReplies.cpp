// Feeds arbitrary reply texts to the parsers of 227, 229, 257, FEAT and checksum replies. Besides not
// crashing, what they give back must be what the text can hold: a port is never 0, a folder
// is never empty and comes from the text's own bytes, a feature is upper case and blank-free
// at its ends, a checksum is lower-case hex of its algorithm's length.
#include "ftpclient/FtpReplies.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto port = vorn::ftp::ParsePasvPort(text))
        Require(*port != 0);
    if (const auto port = vorn::ftp::ParseEpsvPort(text))
        Require(*port != 0 && text.find(std::to_string(*port)) != std::string_view::npos);
    if (const auto path = vorn::ftp::ParseQuotedPath(text)) {
        Require(!path->empty() && path->size() <= text.size());
        for (const char c : *path)
            Require(text.find(c) != std::string_view::npos);
    }
    for (const std::string& feature : vorn::ftp::ParseFeatures(text)) {
        Require(!feature.empty() && feature.front() != ' ' && feature.back() != ' ');
        for (const char c : feature)
            Require(std::toupper(static_cast<unsigned char>(c)) == static_cast<unsigned char>(c));
    }
    for (const std::string& name : vorn::ftp::ParseHashAlgorithms(text))
        Require(!name.empty() && name.find(';') == std::string::npos && name.find('*') == std::string::npos);
    const auto lowerHex = [](const std::string& hex) {
        for (const char c : hex)
            Require((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    };
    if (const auto hash = vorn::ftp::ParseHashReply(text)) {
        Require(hash->hex.size() == 8 || hash->hex.size() == 32 || hash->hex.size() == 40
            || hash->hex.size() == 64);
        lowerHex(hash->hex);
    }
    for (const std::size_t length : { std::size_t(8), std::size_t(40) })
        if (const auto hex = vorn::ftp::ParseDigestReply(text, length)) {
            Require(hex->size() == length);
            lowerHex(*hex);
        }
    return 0;
}
