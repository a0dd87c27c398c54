#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

// The plain decimal conversion used for every number stored or listed as text: optional
// leading blanks, an optional sign, then the leading run of digits; 0 when there are none.
// Never throws; saturates instead of overflowing.
[[nodiscard]] std::int64_t ParseDecimal(std::string_view text);

// The same, read as a 32-bit value (saturated).
[[nodiscard]] std::int32_t ParseDecimal32(std::string_view text);

// Non-negative byte counts (sizes from listings): digits only, 0 when none, saturated.
[[nodiscard]] std::uint64_t ParseByteCount(std::string_view text);

} // namespace vorn
