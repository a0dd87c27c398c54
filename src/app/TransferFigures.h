#pragma once

#include <atomic>
#include <cstdint>

namespace vorn {

// The figures a run writes from its worker thread and the main window's display timers read
// on the GUI thread. Each is a whole value; none needs to agree with another at any instant.
struct TransferFigures {
    std::atomic<int> runState { 0 }; // 0 idle, 1 running, 2 paused
    std::atomic<int> runMode { 0 }; // ftptype of the project last run or last clicked
    std::atomic<float> percent { 0.0F }; // progress of the file being transferred
    std::atomic<float> transferSpeed { 0.0F }; // bytes per second counted by the walks
    std::atomic<std::uint64_t> transferredBytes { 0 };
};

} // namespace vorn
