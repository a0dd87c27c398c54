#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace vorn {

// Placeholder addresses until the product has a real site; the manual says so.
inline constexpr const char* kHomePageUrl = "https://vornbackup.example/";
inline constexpr const char* kSupportEmail = "support@vornbackup.example";
// Status-bar text when no copy of the manual is found: nothing is opened then.
inline constexpr const char* kManualMissingText
    = "The manual (index.html) was not found beside the program, in its share folders or in its source "
      "folder.";

enum class HelpPage { Home, Tutorial, ErrorReporting, Restoring };

// Where the user manual (index.html) may be, in the order it is looked for: docs/ below the
// start-up folder (a checkout) and beside the program (a build), the share folders of an
// installed program relative to it, then the desktop's data folders (XDG_DATA_HOME,
// XDG_DATA_DIRS), so a copy installed under another prefix is found too, and last docs/ in
// `sourceFolder`, the source folder a program run out of its build folder was built from.
[[nodiscard]] QStringList ManualCandidates(
    const QString& startupFolder, const QString& programFolder, const QString& sourceFolder = {});

// The first candidate that is a file, as a canonical path; empty when there is none.
[[nodiscard]] QString FindManual(
    const QString& startupFolder, const QString& programFolder, const QString& sourceFolder = {});

// The page in the manual file, or on the home page when `manualFile` is empty.
[[nodiscard]] QUrl HelpPageUrl(HelpPage page, const QString& manualFile);

} // namespace vorn
