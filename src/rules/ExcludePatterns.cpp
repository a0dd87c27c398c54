#include "rules/ExcludePatterns.h"

#include <fnmatch.h>

namespace vorn {

namespace {

std::vector<std::string> SplitPath(std::string_view path)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start)
            parts.emplace_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

bool SegmentMatches(const std::string& pattern, const std::string& name)
{
    return ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

// Segments from `p` on against path parts from `n` on; "**" takes none or more parts. The
// recursion is bounded by the number of "**" segments times the path's depth.
bool MatchFrom(const std::vector<std::string>& segments, std::size_t p, const std::vector<std::string>& parts,
    std::size_t n)
{
    for (; p < segments.size(); ++p, ++n) {
        if (segments[p] == "**") {
            for (std::size_t skip = n; skip <= parts.size(); ++skip)
                if (MatchFrom(segments, p + 1, parts, skip))
                    return true;
            return false;
        }
        if (n >= parts.size() || !SegmentMatches(segments[p], parts[n]))
            return false;
    }
    return n == parts.size();
}

} // namespace

std::vector<ExcludePattern> ParseExcludePatterns(std::string_view text)
{
    std::vector<ExcludePattern> patterns;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t space = std::min(text.find_first_of(" \t\n", start), text.size());
        const std::string_view word = text.substr(start, space - start);
        start = space + 1;
        ExcludePattern pattern;
        pattern.foldersOnly = !word.empty() && word.back() == '/';
        const std::string_view body = pattern.foldersOnly ? word.substr(0, word.size() - 1) : word;
        pattern.anchored = body.find('/') != std::string_view::npos;
        pattern.segments = SplitPath(body);
        if (pattern.segments.empty())
            continue;
        if (!pattern.anchored)
            pattern.segments.insert(pattern.segments.begin(), "**");
        patterns.push_back(std::move(pattern));
    }
    return patterns;
}

bool IsExcluded(const std::vector<ExcludePattern>& patterns, std::string_view relative, bool folder)
{
    if (patterns.empty())
        return false;
    const std::vector<std::string> parts = SplitPath(relative);
    for (const ExcludePattern& pattern : patterns)
        if ((folder || !pattern.foldersOnly) && MatchFrom(pattern.segments, 0, parts, 0))
            return true;
    return false;
}

} // namespace vorn
