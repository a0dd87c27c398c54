#include "engine/TransferFigures.h"

#include <algorithm>

namespace vorn {

void TransferFigures::ResetSpeed()
{
    transferSpeed = 0.0f;
    // Only the bytes that come after the reset count, also those of the current file.
    counted_ = progressInfo.bytes.load();
    transferredBytes = 0;
    transferStartClock = 0;
    transferStartClockSet = false;
}

void TransferFigures::Count(const remote::TranslateInfo& info, std::atomic<std::uint64_t>& counted)
{
    // The clock starts with the first bytes after a reset, so a pause does not count as time.
    const std::int64_t now = ClockMs();
    if (!transferStartClockSet.exchange(true))
        transferStartClock = now;
    const std::uint64_t bytes = info.bytes.load();
    const std::uint64_t before = counted.exchange(bytes);
    if (bytes > before)
        transferredBytes += bytes - before;
    const std::int64_t elapsed = std::max<std::int64_t>(1, now - transferStartClock + 1);
    transferSpeed = float(double(transferredBytes.load()) * 1000.0 / double(elapsed));
}

void TransferFigures::ShowProgress()
{
    Count(progressInfo, counted_);
}

void TransferFigures::EndFile()
{
    ShowProgress();
    counted_ = 0;
    progressInfo.bytes = 0;
}

void TransferFigures::ShowProgress(Lane& lane)
{
    Count(lane.info, lane.counted);
    const auto bytes = std::int64_t(lane.info.bytes.load());
    const auto total = std::int64_t(lane.info.totalBytes.load());
    const std::int64_t allBytes = underWayBytes_ += bytes - lane.shownBytes;
    const std::int64_t allTotal = underWayTotal_ += total - lane.shownTotal;
    lane.shownBytes = bytes;
    lane.shownTotal = total;
    if (allTotal > 0)
        progressInfo.percent = float(std::min(100.0, double(allBytes) * 100.0 / double(allTotal)));
}

void TransferFigures::EndFile(Lane& lane)
{
    Count(lane.info, lane.counted);
    underWayBytes_ -= lane.shownBytes;
    underWayTotal_ -= lane.shownTotal;
    lane.shownBytes = lane.shownTotal = 0;
    lane.counted = 0;
    lane.info.bytes = 0;
}

void TransferFigures::StartFile(Lane* lane)
{
    if (lane != nullptr) {
        lane->info.Reset();
        lane->counted = 0;
    } else {
        progressInfo.Reset();
        counted_ = 0;
    }
    if (!transferStartClockSet.exchange(true))
        transferStartClock = ClockMs();
}

} // namespace vorn
