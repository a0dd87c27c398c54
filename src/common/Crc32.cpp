#include "common/Crc32.h"

#include <array>

namespace vorn {

namespace {

// Eight tables: the CRC of a byte followed by 0 to 7 zero bytes, so that eight bytes are
// folded in per step (slicing-by-8) instead of one.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables MakeTables()
{
    Tables tables {};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (std::size_t t = 1; t < 8; ++t)
        for (std::uint32_t n = 0; n < 256; ++n)
            tables[t][n] = (tables[t - 1][n] >> 8) ^ tables[0][tables[t - 1][n] & 0xffu];
    return tables;
}

constexpr Tables kTables = MakeTables();

std::uint32_t Le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
        | std::uint32_t(p[3]) << 24;
}

} // namespace

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    const auto& t = kTables;
    crc = ~crc;
    for (; length >= 8; bytes += 8, length -= 8) {
        const std::uint32_t low = Le32(bytes) ^ crc;
        const std::uint32_t high = Le32(bytes + 4);
        crc = t[7][low & 0xffu] ^ t[6][(low >> 8) & 0xffu] ^ t[5][(low >> 16) & 0xffu] ^ t[4][low >> 24]
            ^ t[3][high & 0xffu] ^ t[2][(high >> 8) & 0xffu] ^ t[1][(high >> 16) & 0xffu] ^ t[0][high >> 24];
    }
    for (; length > 0; ++bytes, --length)
        crc = t[0][(crc ^ *bytes) & 0xffu] ^ (crc >> 8);
    return ~crc;
}

} // namespace vorn
