#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// A pattern of a name filter that can match no file, and the form that was probably meant.
struct PatternAdvice {
    std::string pattern; // as typed
    std::string suggestion; // what to type instead
};

// The patterns of `nameFilter` (separated by single blanks) that match no name: one that
// begins with none of ".", "@" and "#", or holds a "*" (no wildcard here). Other tools take
// "*.tmp" for "ends with .tmp"; here that is ".tmp", "tmp*" is "#tmp", "*tmp*" is "@tmp" and
// a bare word "txt" ".txt". Empty patterns (two blanks in a row) are left out. Empty when all is well.
[[nodiscard]] std::vector<PatternAdvice> AdviseNamePatterns(std::string_view nameFilter);

// `nameFilter` with every pattern that AdviseNamePatterns names replaced by its suggestion.
[[nodiscard]] std::string ApplyPatternAdvice(std::string_view nameFilter);

} // namespace vorn
