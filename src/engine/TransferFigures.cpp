#include "engine/TransferFigures.h"

#include <algorithm>

namespace vorn {

void TransferFigures::ResetRun()
{
    progressInfo.StartOver();
    counted_ = 0;
    transferredBytes = 0;
    ResetSpeed();
}

void TransferFigures::ResetSpeed()
{
    // The bytes that come after this count towards the speed; those before stay in the run's
    // count, so the history of a paused run holds all of them.
    speedBase_ = transferredBytes.load();
    transferSpeed = 0.0f;
    transferStartClock = 0;
    transferStartClockSet = false;
}

void TransferFigures::Count(const remote::TranslateInfo& info, std::atomic<std::uint64_t>& counted)
{
    // The clock starts with the first bytes after a reset, so a pause does not count as time.
    const std::int64_t now = ClockMs();
    if (!transferStartClockSet.exchange(true))
        transferStartClock = now;
    const std::uint64_t bytes = info.wireBytes.load();
    const std::uint64_t before = counted.exchange(bytes);
    if (bytes > before)
        transferredBytes += bytes - before;
    const std::uint64_t total = transferredBytes.load();
    const std::uint64_t base = std::min(total, speedBase_.load());
    const std::int64_t elapsed = std::max<std::int64_t>(1, now - transferStartClock + 1);
    transferSpeed = float(double(total - base) * 1000.0 / double(elapsed));
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
    progressInfo.wireBytes = 0;
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
    lane.info.wireBytes = 0;
}

void TransferFigures::StartFile(Lane* lane)
{
    if (lane != nullptr) {
        lane->info.StartOver();
        lane->counted = 0;
    } else {
        progressInfo.StartOver();
        counted_ = 0;
    }
    if (!transferStartClockSet.exchange(true))
        transferStartClock = ClockMs();
}

} // namespace vorn
