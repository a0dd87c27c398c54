#include "ftpclient/ServerText.h"

#include <cctype>

namespace vorn::ftp {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    }
    return true;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

} // namespace

ServerText ParseServerText(std::string_view text)
{
    ServerText result;
    text = Trim(text);
    struct Scheme {
        std::string_view prefix;
        Security security;
    };
    static constexpr Scheme schemes[] = {
        { "ftpes://", Security::ExplicitTls },
        { "ftps://", Security::ImplicitTls },
        { "ftp://", Security::Plain },
    };
    bool hadScheme = false;
    for (const auto& scheme : schemes) {
        if (StartsWithNoCase(text, scheme.prefix)) {
            result.security = scheme.security;
            text.remove_prefix(scheme.prefix.size());
            hadScheme = true;
            break;
        }
    }
    // Only a URL has a path; a bare host is taken as typed.
    if (hadScheme) {
        const auto slash = text.find('/');
        if (slash != std::string_view::npos)
            text = text.substr(0, slash);
    }
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    result.host = std::string(text);
    return result;
}

} // namespace vorn::ftp
