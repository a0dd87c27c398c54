#pragma once

#include "store/ProjectOptions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

class ProjectDb;

// The alert options of project `ftpid`; the defaults when it has no row or the read fails.
[[nodiscard]] AlertOptions LoadAlertOptions(ProjectDb* db, std::int64_t ftpid);

// Writes the alert options of the project `name` inside the caller's transaction.
[[nodiscard]] bool SaveAlertOptions(ProjectDb* db, const std::string& name, const AlertOptions& alerts);

// Applies the option `name`=`value` when `name` is an alert option: nullopt when it is none
// of them, "" when taken, else why the value was refused (`alerts` then unchanged).
[[nodiscard]] std::optional<std::string> ApplyAlertOption(
    std::string_view name, std::string_view value, AlertOptions& alerts);

// The alert options as "name=value" lines, in a fixed order.
[[nodiscard]] std::vector<std::string> FormatAlertOptions(const AlertOptions& alerts);

[[nodiscard]] std::string_view NotifyWhenText(NotifyWhen when);
[[nodiscard]] std::optional<NotifyWhen> NotifyWhenFromText(std::string_view text);

} // namespace vorn
