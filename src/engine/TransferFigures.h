#pragma once

#include "ftpclient/TranslateInfo.h"

#include <atomic>
#include <cstdint>

namespace vorn {

// The frequent figures of the active run. The walks write them on the run's thread; the
// displays read them from their timers at any moment, so each is an atomic of its own.
struct TransferFigures {
    sf::TranslateInfo progressInfo; // percentage of the current file
    std::atomic<float> transferSpeed { 0.0f }; // transferredBytes per second since the start clock
    // Bytes that came since the run's start (or the last reset), those of the current file so
    // far included; a file that failed counts only the bytes that really came.
    std::atomic<std::uint64_t> transferredBytes { 0 };
    std::atomic<std::int64_t> transferStartClock { 0 }; // ms of the steady clock
    std::atomic<bool> transferStartClockSet { false };
    std::atomic<int> runMode { 0 }; // ftptype of the running project

    // What a run and Pause/Resume reset. A reset in the middle of a file counts only that
    // file's bytes that come after it.
    void ResetSpeed();
    // Brings transferredBytes and transferSpeed up to date with the current file's bytes so
    // far. Called on the transferring thread, during a transfer and after it.
    void ShowProgress();
    // The current file is over, copied or not: its bytes stay counted, the next file's start
    // from 0.
    void EndFile();

private:
    // transferredBytes minus the bytes of the current file so far.
    std::atomic<std::int64_t> bytesBeforeFile_ { 0 };
};

// Milliseconds of the process's steady clock.
[[nodiscard]] std::int64_t ClockMs();

} // namespace vorn
