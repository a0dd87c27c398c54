#include "engine/TransferFigures.h"

#include <algorithm>

namespace vorn {

void TransferFigures::ResetSpeed()
{
    transferSpeed = 0.0f;
    bytesBeforeFile_ = -std::int64_t(progressInfo.bytes.load());
    transferredBytes = 0;
    transferStartClock = 0;
    transferStartClockSet = false;
}

void TransferFigures::ShowProgress()
{
    // The clock starts with the first bytes after a reset, so a pause does not count as time.
    const std::int64_t now = ClockMs();
    if (!transferStartClockSet.exchange(true))
        transferStartClock = now;
    const std::int64_t total
        = std::max<std::int64_t>(0, bytesBeforeFile_ + std::int64_t(progressInfo.bytes.load()));
    transferredBytes = std::uint64_t(total);
    const std::int64_t elapsed = std::max<std::int64_t>(1, now - transferStartClock + 1);
    transferSpeed = float(double(total) * 1000.0 / double(elapsed));
}

void TransferFigures::EndFile()
{
    ShowProgress();
    bytesBeforeFile_ += std::int64_t(progressInfo.bytes.load());
    progressInfo.bytes = 0;
}

} // namespace vorn
