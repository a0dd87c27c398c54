#include "rules/PatternAdvice.h"

#include <algorithm>

namespace vorn {

namespace {

std::vector<std::string_view> SplitAtBlanks(std::string_view text)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t at = text.find(' '); at != std::string_view::npos; at = text.find(' ', start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool MatchesNothing(std::string_view pattern)
{
    if (pattern.empty())
        return false; // a doubled blank: harmless, and not what the user typed as a pattern
    const char marker = pattern.front();
    return (marker != '.' && marker != '@' && marker != '#') || pattern.find('*') != std::string_view::npos;
}

std::string Suggest(std::string_view pattern)
{
    const bool leadingStar = pattern.front() == '*';
    const bool trailingStar = pattern.size() > 1 && pattern.back() == '*';
    std::string core(pattern);
    core.erase(std::remove(core.begin(), core.end(), '*'), core.end());
    if (!core.empty() && (core.front() == '@' || core.front() == '#'))
        return core; // "@log*" or "#img*": the marker was right, the star is not needed
    if (core.empty())
        return "."; // "*" or "*.*": every name
    if (core.front() == '.')
        return trailingStar && !leadingStar ? "#" + core : core; // "*.tmp" ends with ".tmp"
    if (leadingStar && !trailingStar)
        return "." + core; // "*tmp": ends with
    if (trailingStar && !leadingStar)
        return "#" + core; // "tmp*": begins with
    if (leadingStar && trailingStar)
        return "@" + core; // "*tmp*": contains
    return "." + core; // a bare word, "txt" for most: ends with
}

} // namespace

std::vector<PatternAdvice> AdviseNamePatterns(std::string_view nameFilter)
{
    std::vector<PatternAdvice> advice;
    for (const std::string_view pattern : SplitAtBlanks(nameFilter))
        if (MatchesNothing(pattern))
            advice.push_back({ std::string(pattern), Suggest(pattern) });
    return advice;
}

std::string ApplyPatternAdvice(std::string_view nameFilter)
{
    std::string result;
    bool first = true;
    for (const std::string_view pattern : SplitAtBlanks(nameFilter)) {
        if (!first)
            result += ' ';
        first = false;
        result += MatchesNothing(pattern) ? Suggest(pattern) : std::string(pattern);
    }
    return result;
}

} // namespace vorn
