#include "common/TimeText.h"

namespace vorn {

std::tm LocalTm(std::time_t when)
{
    std::tm tm{};
    localtime_r(&when, &tm);
    return tm;
}

std::string FormatLocalTime(std::time_t when, const char* format)
{
    const std::tm tm = LocalTm(when);
    char buffer[128];
    const std::size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, n);
}

std::string FormatLocalNow(const char* format)
{
    return FormatLocalTime(std::time(nullptr), format);
}

} // namespace vorn
