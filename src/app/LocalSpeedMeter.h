#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

namespace vorn {

// The local half of the speed shown during an Ftp->Local run: how fast files appear in the
// destination folder, measured every few seconds from the sizes of files written since the
// run started. Plain arithmetic; the caller supplies the byte sums and the clock.
class LocalSpeedMeter {
public:
    void Start(std::int64_t clockMs);
    // Bytes found so far stay the baseline while paused; timing restarts on resume, so the
    // time spent paused does not dilute the speed.
    void Pause();
    void Resume(std::int64_t clockMs);
    // Records a new byte sum and returns the speed in bytes per second.
    float Record(std::uint64_t sampledBytes, std::int64_t clockMs);

    [[nodiscard]] float speed() const { return localSpeed_; }
    [[nodiscard]] std::uint64_t sampledBytes() const { return sampledBytes_; }

private:
    std::int64_t runStartClock_ = 0;
    std::uint64_t sampledBytes_ = 0;
    std::uint64_t bytesAtPause_ = 0;
    float localSpeed_ = 0.0F;
};

// Sum of the sizes of the regular files directly in `folder` whose names are in `names` and
// whose modification time is at or after `since`. Errors count as nothing found.
[[nodiscard]] std::uint64_t SumRecentFileBytes(
    const std::filesystem::path& folder, const std::set<std::string>& names, std::time_t since);

} // namespace vorn
