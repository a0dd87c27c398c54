#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// The outcome of a recorded run as the History dialog and the `history` command show it:
// the stored status, and for a "Success" run that left files or folders behind, how many
// ("Success, 1 failed"), so a run with failures never reads as a clean one.
[[nodiscard]] std::string OutcomeText(
    const std::string& status, std::uint64_t filesFailed, std::uint64_t foldersFailed);

} // namespace vorn
