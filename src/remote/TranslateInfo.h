#pragma once

#include <atomic>
#include <cstdint>

namespace vorn::remote {

// Progress of the file being transferred. A transfer writes it; display threads read it at
// any time, so every field is an atomic of its own.
struct TranslateInfo {
    std::atomic<float> percent { 0.0f }; // 0 to 100 of the current file
    std::atomic<std::uint64_t> bytes { 0 }; // bytes of the current file so far
    std::atomic<std::uint64_t> totalBytes { 0 }; // size of the current file; 0 when unknown

    void Reset()
    {
        percent = 0.0f;
        bytes = 0;
        totalBytes = 0;
    }
};

} // namespace vorn::remote
