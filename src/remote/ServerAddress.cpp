#include "remote/ServerAddress.h"

#include <cctype>

namespace vorn::remote {
namespace {

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// The known scheme `text` begins with ("ftpes" for "FTPES://host"), else "".
std::string SchemeOf(std::string_view text)
{
    static constexpr std::string_view schemes[] = { "ftpes", "ftps", "ftp", "sftp" };
    for (const auto scheme : schemes) {
        if (text.size() < scheme.size() + 3 || text.substr(scheme.size(), 3) != "://")
            continue;
        std::string lower;
        for (const char c : text.substr(0, scheme.size()))
            lower += char(std::tolower(static_cast<unsigned char>(c)));
        if (lower == scheme)
            return lower;
    }
    return {};
}

} // namespace

ServerAddress ParseServerAddress(std::string_view text)
{
    ServerAddress result;
    text = Trim(text);
    // Only a URL has a path; a bare host is taken as typed.
    if (std::string scheme = SchemeOf(text); !scheme.empty()) {
        text.remove_prefix(scheme.size() + 3);
        result.scheme = std::move(scheme);
        const auto slash = text.find('/');
        if (slash != std::string_view::npos)
            text = text.substr(0, slash);
    }
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    result.host = std::string(text);
    return result;
}

} // namespace vorn::remote
