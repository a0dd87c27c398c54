#pragma once

#include "remote/TranslateInfo.h"

#include <atomic>
#include <cstdint>

namespace vorn {

// The frequent figures of the active run. The walks write them on the run's threads; the
// displays read them from their timers at any moment, so each is an atomic of its own.
struct TransferFigures {
    // The progress of one session's current file when several sessions transfer at once. The
    // run's bytes and speed are the sum over the lanes, and the percentage shown is that of
    // the files under way taken together.
    struct Lane {
        remote::TranslateInfo info;
        std::atomic<std::uint64_t> counted { 0 }; // of info.wireBytes, already in transferredBytes
        std::int64_t shownBytes = 0; // of info.bytes and info.totalBytes, in the files under way
        std::int64_t shownTotal = 0;
    };

    remote::TranslateInfo progressInfo; // percentage of the current file
    // Bytes per second since the speed clock started (the run's start, or the last Pause or
    // Resume), counting only the bytes that came after it.
    std::atomic<float> transferSpeed { 0.0f };
    // Bytes that crossed the wire since the run's start, those of the current file so far
    // included: a file that failed counts only the bytes that really came, a continued file
    // only the part fetched again, and a Pause or Resume changes nothing here.
    std::atomic<std::uint64_t> transferredBytes { 0 };
    std::atomic<std::int64_t> transferStartClock { 0 }; // ms of the steady clock
    std::atomic<bool> transferStartClockSet { false };
    std::atomic<int> runMode { 0 }; // ftptype of the running project

    // A run starts: every figure from 0.
    void ResetRun();
    // Pause and Resume: the speed starts again from the bytes that come after it; the run's
    // byte count goes on.
    void ResetSpeed();
    // Brings transferredBytes and transferSpeed up to date with the current file's bytes so
    // far. Called on the transferring thread, during a transfer and after it.
    void ShowProgress();
    // The current file is over, copied or not: its bytes stay counted, the next file's start
    // from 0.
    void EndFile();
    // The same for a lane, from the lane's transferring thread.
    void ShowProgress(Lane& lane);
    void EndFile(Lane& lane);
    // A file starts: its bytes count from 0, and the speed clock starts with the first file.
    void StartFile(Lane* lane = nullptr);

private:
    // Adds the bytes of `info` that came since the last count and brings the speed up to date.
    void Count(const remote::TranslateInfo& info, std::atomic<std::uint64_t>& counted);

    // Of progressInfo.wireBytes, already in transferredBytes.
    std::atomic<std::uint64_t> counted_ { 0 };
    // transferredBytes when the speed clock started.
    std::atomic<std::uint64_t> speedBase_ { 0 };
    // Bytes so far and sizes of the files the lanes have under way.
    std::atomic<std::int64_t> underWayBytes_ { 0 };
    std::atomic<std::int64_t> underWayTotal_ { 0 };
};

// Milliseconds of the process's steady clock.
[[nodiscard]] std::int64_t ClockMs();

} // namespace vorn
