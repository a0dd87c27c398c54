#pragma once

#include <QIcon>
#include <QString>
#include <optional>
#include <vector>

namespace vorn {

// The toolbar's eight button icons (New, Modify, Delete, Run, Pause, Stop, Home Page, About)
// from "images/New.ico" ... "images/about.ico" below `folder`. All or nothing: nullopt as soon
// as one file is missing or unreadable, so the toolbar never mixes two sets.
[[nodiscard]] std::optional<std::vector<QIcon>> LoadToolbarIconFiles(const QString& folder);

// The same eight icons compiled into the program.
[[nodiscard]] std::vector<QIcon> BuiltinToolbarIcons();

} // namespace vorn
