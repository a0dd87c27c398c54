#pragma once

#include <cstdlib>
#include <gtest/gtest.h>

namespace vorn::test {

// Continuous integration sets CI; there every test must run, so a missing tool or
// privilege is a failure there and a skip (listed by scripts/test) elsewhere.
inline bool InContinuousIntegration()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0';
}

} // namespace vorn::test

// Skips the current test when `condition` does not hold, or fails it in CI.
#define VORN_REQUIRE(condition, what)                                                                        \
    if (!(condition)) {                                                                                      \
        if (vorn::test::InContinuousIntegration())                                                           \
            FAIL() << "needed in CI: " << (what);                                                            \
        else                                                                                                 \
            GTEST_SKIP() << "needs " << (what);                                                              \
    }
