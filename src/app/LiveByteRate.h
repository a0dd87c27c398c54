#pragma once

#include <cstdint>
#include <deque>

namespace vorn {

// The speed of the bytes moving now, worked out by the display from the figures a run keeps:
// the current file's byte count, which starts again from 0 with every file, and the run's
// transferred total, which moves as bytes come or only when a file ends. The total catches
// the files that began and ended between two looks. Plain arithmetic; the caller supplies
// the clock.
class LiveByteRate {
public:
    // Counting starts afresh: bytes the figures already hold do not count.
    void Start(std::int64_t clockMs, std::uint64_t fileBytes, std::uint64_t runBytes);
    // One look at the figures; the rate covers about the last two seconds.
    void Observe(std::int64_t clockMs, std::uint64_t fileBytes, std::uint64_t runBytes);

    [[nodiscard]] double bytesPerSecond() const { return rate_; }
    [[nodiscard]] std::uint64_t movedBytes() const { return moved_; }

private:
    struct Sample {
        std::int64_t clockMs;
        std::uint64_t moved;
    };

    std::deque<Sample> samples_;
    std::uint64_t moved_ = 0;
    std::uint64_t lastFileBytes_ = 0;
    std::uint64_t lastRunBytes_ = 0;
    // What to add to the run's total to count from where this count stands.
    std::int64_t runOffset_ = 0;
    double rate_ = 0.0;
};

} // namespace vorn
