#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// One pattern of a project's `exclude` option, split at "/" into segments.
struct ExcludePattern {
    std::vector<std::string> segments; // "**" is a segment of its own: any number of folders
    bool foldersOnly = false; // the pattern ended in "/"
    bool anchored = false; // it held a "/" before its end: matched from the project's folder

    bool operator==(const ExcludePattern&) const = default;
};

// The patterns of an `exclude` text: separated by spaces. A pattern without "/" (but for a
// trailing one) matches a name at any depth; one with a "/" is matched from the project's
// folder (a leading "/" changes nothing). `*` and `?` stay within a name (fnmatch without
// crossing "/"), `**` as a whole segment matches any number of folders, and a trailing "/"
// matches folders only. Empty segments ("a//b") are dropped.
[[nodiscard]] std::vector<ExcludePattern> ParseExcludePatterns(std::string_view text);

// Whether `relative` (the path below the project's folder, "a/b/c", no leading "/") is left
// out by one of `patterns`. `folder` says whether the entry is a folder.
[[nodiscard]] bool IsExcluded(
    const std::vector<ExcludePattern>& patterns, std::string_view relative, bool folder);

} // namespace vorn
