#include "ftpclient/FtpReplies.h"

#include "remote/ContentDigest.h"

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

namespace {

bool IsHex(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    });
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The next blank-separated word of `text` from `at`, which moves past it.
std::string_view NextWord(std::string_view text, std::size_t& at)
{
    at = std::min(text.find_first_not_of(" \r\n", at), text.size());
    const std::size_t end = std::min(text.find_first_of(" \r\n", at), text.size());
    const std::string_view word = text.substr(at, end - at);
    at = end;
    return word;
}

} // namespace

std::vector<std::string> ParseHashAlgorithms(std::string_view text)
{
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = std::min(text.find(';', start), text.size());
        std::string name;
        for (char c : text.substr(start, end - start))
            if (c != '*' && c != ' ' && c != '\r')
                name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!name.empty())
            names.push_back(std::move(name));
        start = end + 1;
    }
    return names;
}

std::optional<HashReply> ParseHashReply(std::string_view text)
{
    std::size_t at = 0;
    const std::string_view algorithm = NextWord(text, at);
    const std::string_view range = NextWord(text, at);
    const std::string_view hex = NextWord(text, at);
    const std::size_t length = remote::DigestHexLength(remote::DigestFromName(algorithm));
    if (length == 0 || range.substr(0, 2) != "0-" || !IsHex(hex) || hex.size() != length)
        return std::nullopt;
    std::string name(algorithm);
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return HashReply { std::move(name), Lower(hex) };
}

std::optional<std::string> ParseDigestReply(std::string_view text, std::size_t hexLength)
{
    std::size_t at = 0;
    std::optional<std::string> shortCrc;
    for (std::string_view word = NextWord(text, at); !word.empty(); word = NextWord(text, at)) {
        if (!IsHex(word))
            continue;
        if (word.size() == hexLength)
            return Lower(word);
        if (hexLength == 8 && word.size() < 8 && !shortCrc)
            shortCrc = std::string(8 - word.size(), '0') + Lower(word);
    }
    return shortCrc;
}

} // namespace vorn::ftp
