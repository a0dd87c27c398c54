#include "common/OutcomeText.h"

namespace vorn {

std::string OutcomeText(const std::string& status, std::uint64_t filesFailed, std::uint64_t foldersFailed)
{
    const std::uint64_t failed = filesFailed + foldersFailed;
    if (status != "Success" || failed == 0)
        return status;
    return status + ", " + std::to_string(failed) + " failed";
}

} // namespace vorn
