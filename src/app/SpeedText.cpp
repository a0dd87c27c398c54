#include "app/SpeedText.h"

#include "store/BackupProject.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace vorn {

namespace {

// Add 0.5 and drop the fraction; negative, NaN and huge speeds are clamped so the conversion
// stays defined.
std::int64_t RoundHalfUp(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= 9.0e18)
        return INT64_MAX;
    return static_cast<std::int64_t>(value + 0.5);
}

} // namespace

double ChooseDisplaySpeed(int runMode, float transferSpeed, float localSpeed)
{
    const FtpType type = FtpTypeOf(runMode);
    if (type == FtpType::FtpToFtp)
        return transferSpeed > 0.0F ? transferSpeed : 0.0;
    if (type != FtpType::FtpToLocal)
        return 0.0;
    const std::int64_t walk = RoundHalfUp(transferSpeed);
    const std::int64_t local = RoundHalfUp(localSpeed);
    if (walk > 0 && local > 0)
        return (static_cast<double>(transferSpeed) + static_cast<double>(localSpeed)) * 0.5;
    if (local > 0)
        return localSpeed;
    if (walk > 0)
        return transferSpeed;
    return 0.0;
}

std::string FormatSpeedText(double bytesPerSecond)
{
    const double v = bytesPerSecond > 0.0 ? bytesPerSecond : 0.0;
    const std::int64_t n = RoundHalfUp(v);
    char number[64];
    if (n <= 1023)
        std::snprintf(number, sizeof number, "%lldB/S", static_cast<long long>(std::floor(v)));
    else if (n < 1048576)
        std::snprintf(number, sizeof number, "%.1fKB/S", v / 1024.0);
    else
        std::snprintf(number, sizeof number, "%.1fMB/S", v / 1048576.0);
    return std::string("Current Transmission Speed: ") + number;
}

} // namespace vorn
