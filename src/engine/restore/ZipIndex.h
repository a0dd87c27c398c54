#pragma once

#include "common/Result.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

// One entry of a zip archive's central directory.
struct ZipIndexEntry {
    std::string name;
    std::uint64_t size = 0; // uncompressed
    std::uint64_t compressedSize = 0;
    std::uint64_t localOffset = 0; // of the entry's local header
    std::uint32_t crc = 0;
    bool encrypted = false;
    // False for AES entries of the second kind, which store no CRC: their HMAC guards the data.
    bool hasCrc = true;
    std::uint32_t dosTime = 0; // date in the high 16 bits, time in the low 16
    std::uint16_t method = 0; // 0 stored, 8 deflated, 99 AES (the real method in aesMethod)
    std::uint8_t aesStrength = 0; // 1, 2, 3: AES-128, -192, -256; 0 without AES
    std::uint16_t aesMethod = 0;
    std::int64_t mtime = -1; // seconds (UTC) of its extended timestamp; -1 without one
};

// Reads the central directory at the end of the zip archive `path` (Zip64 records
// included) without reading the entries' data, so even a very large archive is indexed in
// a few small reads. The entries come in the order of their data in the file.
[[nodiscard]] Result<std::vector<ZipIndexEntry>> ReadZipIndex(const std::string& path);

} // namespace vorn
