#include "ftpclient/FtpReplies.h"

#include <algorithm>
#include <cctype>

namespace vorn::ftp {

namespace {

bool IsDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

} // namespace

std::optional<std::uint16_t> ParsePasvPort(std::string_view text)
{
    for (std::size_t start = 0; start < text.size(); ++start) {
        if (!IsDigit(text[start]))
            continue;
        int numbers[6];
        int count = 0;
        std::size_t i = start;
        while (count < 6 && i < text.size() && IsDigit(text[i])) {
            int value = 0;
            while (i < text.size() && IsDigit(text[i]) && value <= 255)
                value = value * 10 + (text[i++] - '0');
            if (value > 255)
                break;
            numbers[count++] = value;
            if (count < 6) {
                if (i >= text.size() || text[i] != ',')
                    break;
                ++i;
            }
        }
        if (count == 6) {
            const int port = numbers[4] * 256 + numbers[5];
            if (port == 0)
                return std::nullopt;
            return static_cast<std::uint16_t>(port);
        }
        // Skip the rest of this run of digits and commas.
        while (start + 1 < text.size() && (IsDigit(text[start + 1]) || text[start + 1] == ','))
            ++start;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> ParseEpsvPort(std::string_view text)
{
    const auto open = text.find('(');
    if (open == std::string_view::npos || open + 4 >= text.size())
        return std::nullopt;
    const char delimiter = text[open + 1];
    if (IsDigit(delimiter) || delimiter <= ' ' || delimiter > '~' || text[open + 2] != delimiter
        || text[open + 3] != delimiter)
        return std::nullopt;
    int port = 0;
    std::size_t i = open + 4;
    for (; i < text.size() && IsDigit(text[i]) && port <= 65535; ++i)
        port = port * 10 + (text[i] - '0');
    if (i >= text.size() || text[i] != delimiter || port <= 0 || port > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

std::optional<std::string> ParseQuotedPath(std::string_view text)
{
    const auto open = text.find('"');
    if (open == std::string_view::npos) {
        // Some servers give the path bare.
        const auto end = text.find_first_of(" \r\n");
        const std::string_view path = text.substr(0, end);
        if (path.empty())
            return std::nullopt;
        return std::string(path);
    }
    std::string path;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] != '"') {
            path += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            path += '"';
            ++i;
        } else {
            if (path.empty())
                return std::nullopt;
            return path;
        }
    }
    return std::nullopt; // the quote was never closed: the path may be cut off
}

std::set<std::string> ParseFeatures(std::string_view text)
{
    std::set<std::string> features;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        // Feature lines begin with a blank; the first and last lines are prose.
        if (line.empty() || line[0] != ' ')
            continue;
        // Some servers indent by more than one blank.
        const std::size_t first = std::min(line.find_first_not_of(' '), line.size());
        std::string name;
        for (std::size_t i = first; i < line.size() && line[i] != ' ' && line[i] != '\r'; ++i)
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
        if (!name.empty())
            features.insert(name);
        // A feature with its argument too ("REST STREAM"), for the ones that name a variant.
        std::string whole;
        for (std::size_t i = first; i < line.size() && line[i] != '\r'; ++i)
            whole += static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
        while (!whole.empty() && whole.back() == ' ')
            whole.pop_back();
        if (whole.size() > name.size())
            features.insert(whole);
    }
    return features;
}

} // namespace vorn::ftp
