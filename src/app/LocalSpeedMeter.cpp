#include "app/LocalSpeedMeter.h"

#include <chrono>
#include <system_error>

namespace vorn {

void LocalSpeedMeter::Start(std::int64_t clockMs)
{
    runStartClock_ = clockMs;
    sampledBytes_ = 0;
    bytesAtPause_ = 0;
    localSpeed_ = 0.0F;
}

void LocalSpeedMeter::Pause()
{
    bytesAtPause_ = sampledBytes_;
}

void LocalSpeedMeter::Resume(std::int64_t clockMs)
{
    runStartClock_ = clockMs;
}

float LocalSpeedMeter::Record(std::uint64_t sampledBytes, std::int64_t clockMs)
{
    sampledBytes_ = sampledBytes;
    // Files can vanish (a compressed run deletes them once archived): never let the
    // difference wrap around into an absurd speed.
    const std::uint64_t bytes = sampledBytes_ > bytesAtPause_ ? sampledBytes_ - bytesAtPause_ : 0;
    const std::int64_t elapsed = clockMs > runStartClock_ ? clockMs - runStartClock_ : 0;
    localSpeed_ = static_cast<float>(static_cast<double>(bytes) * 1000.0 / static_cast<double>(elapsed + 1));
    return localSpeed_;
}

std::uint64_t SumRecentFileBytes(
    const std::filesystem::path& folder, const std::set<std::string>& names, std::time_t since)
{
    namespace fs = std::filesystem;
    if (names.empty())
        return 0;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec)
        return 0;
    const auto sinceFileTime
        = fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(since));
    std::uint64_t total = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const fs::directory_entry& entry = *it;
        if (!names.contains(entry.path().filename().string()))
            continue;
        std::error_code entryError;
        if (!entry.is_regular_file(entryError) || entryError)
            continue;
        const auto written = entry.last_write_time(entryError);
        if (entryError || written < sinceFileTime)
            continue;
        const auto size = entry.file_size(entryError);
        if (!entryError)
            total += size;
    }
    return total;
}

} // namespace vorn
