#pragma once

#include <QString>
#include <QUrl>

namespace vorn {

// Placeholder addresses until the product has a real site; the manual says so.
inline constexpr const char* kHomePageUrl = "https://vornbackup.example/";
inline constexpr const char* kSupportEmail = "support@vornbackup.example";

enum class HelpPage { Home, Tutorial, ErrorReporting };

// The page of the user manual that ships with the program (docs/index.html), looked up below
// the start-up folder first, then beside the program and in its share/doc folder; the home
// page when no copy is found.
[[nodiscard]] QUrl ManualUrl(HelpPage page, const QString& startupFolder);

} // namespace vorn
