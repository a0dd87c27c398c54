#include "support/WaitFor.h"

#include <thread>

namespace vorn::test {

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // One last look, so a predicate that became true during the final pause still counts.
    return predicate();
}

} // namespace vorn::test
