#pragma once

#include <string>

namespace vorn {

// The outcome of an operation that the caller may take as a yes or no: true when it worked,
// else false with one line saying why, in the user's terms (the server's own words where
// there are some). Callers that only need the yes or no keep writing `if (!Op(...))`.
struct [[nodiscard]] OpResult {
    bool ok = true;
    std::string message;

    explicit operator bool() const { return ok; }
    [[nodiscard]] static OpResult Failure(std::string why) { return { false, std::move(why) }; }
};

} // namespace vorn
