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
    // Bytes that crossed the data connection for the current file, every try together. A try
    // that continues a cut file starts `bytes` at the offset, but adds here only what it
    // receives; only StartOver clears it.
    std::atomic<std::uint64_t> wireBytes { 0 };

    // A try of the current file begins: its position starts again.
    void Reset()
    {
        percent = 0.0f;
        bytes = 0;
        totalBytes = 0;
    }
    // The next file begins.
    void StartOver()
    {
        Reset();
        wireBytes = 0;
    }
};

} // namespace vorn::remote
