#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// Continues the zip format's CRC-32 (polynomial 0xEDB88320) of earlier bytes `crc` over
// `length` more bytes; start with 0.
[[nodiscard]] std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t length);

} // namespace vorn
