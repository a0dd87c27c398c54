#include "app/LiveByteRate.h"

#include <algorithm>

namespace vorn {

namespace {

constexpr std::int64_t kWindowMs = 2000;
constexpr std::int64_t kSampleStepMs = 100;
// Less than this gives a rate from too few bytes to mean anything.
constexpr std::int64_t kShortestSpanMs = 250;

} // namespace

void LiveByteRate::Start(std::int64_t clockMs, std::uint64_t fileBytes, std::uint64_t runBytes)
{
    samples_.assign(1, Sample { clockMs, 0 });
    moved_ = 0;
    lastFileBytes_ = fileBytes;
    lastRunBytes_ = runBytes;
    runOffset_ = -std::int64_t(runBytes);
    rate_ = 0.0;
}

void LiveByteRate::Observe(std::int64_t clockMs, std::uint64_t fileBytes, std::uint64_t runBytes)
{
    // A smaller count than last time is the next file, counted from its 0.
    moved_ += fileBytes >= lastFileBytes_ ? fileBytes - lastFileBytes_ : fileBytes;
    lastFileBytes_ = fileBytes;
    // A smaller total: the run's figures were reset (Pause, Resume); go on from this count.
    if (runBytes < lastRunBytes_)
        runOffset_ = std::int64_t(moved_) - std::int64_t(runBytes);
    lastRunBytes_ = runBytes;
    moved_ = std::max<std::int64_t>(std::int64_t(moved_), std::int64_t(runBytes) + runOffset_);

    if (samples_.empty() || clockMs - samples_.back().clockMs >= kSampleStepMs)
        samples_.push_back(Sample { clockMs, moved_ });
    while (samples_.size() > 1 && clockMs - samples_[1].clockMs >= kWindowMs)
        samples_.pop_front();
    const Sample& oldest = samples_.front();
    const std::int64_t span = clockMs - oldest.clockMs;
    rate_ = span >= kShortestSpanMs ? double(moved_ - oldest.moved) * 1000.0 / double(span) : 0.0;
}

} // namespace vorn
