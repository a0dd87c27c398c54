#include "support/ScopedZone.h"

#include <cstdlib>
#include <ctime>

namespace vorn::test {

ScopedZone::ScopedZone(const char* zone)
{
    if (const char* old = std::getenv("TZ"))
        previous_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
}

ScopedZone::~ScopedZone()
{
    previous_ ? ::setenv("TZ", previous_->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

} // namespace vorn::test
