#pragma once

#include "ftpclient/TranslateInfo.h"

#include <atomic>
#include <cstdint>

namespace vorn {

// The frequent figures of the active run. The walks write them on the run's thread; the
// displays read them from their timers at any moment, so each is an atomic of its own.
struct TransferFigures {
    sf::TranslateInfo progressInfo; // percentage of the current file
    std::atomic<float> transferSpeed { 0.0f }; // bytes per second counted by the walks
    std::atomic<std::uint64_t> transferredBytes { 0 }; // listed sizes of the files handled
    std::atomic<std::int64_t> transferStartClock { 0 }; // ms of the steady clock
    std::atomic<bool> transferStartClockSet { false };
    std::atomic<int> runMode { 0 }; // ftptype of the running project

    // What a run and Pause/Resume reset.
    void ResetSpeed()
    {
        transferSpeed = 0.0f;
        transferredBytes = 0;
        transferStartClock = 0;
        transferStartClockSet = false;
    }
};

// Milliseconds of the process's steady clock.
[[nodiscard]] std::int64_t ClockMs();

} // namespace vorn
