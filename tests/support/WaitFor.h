#pragma once

#include <chrono>
#include <functional>

namespace vorn::test {

// Polls `predicate` every few milliseconds until it holds or `timeout` passes; true when it
// held. Tests use it instead of sleeping for a guessed time.
[[nodiscard]] bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

} // namespace vorn::test
